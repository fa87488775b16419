#include "swapper.h"

#include <QFile>

#ifdef Q_OS_LINUX
#include <cstdio>
#include <fcntl.h>
#endif

Swapper::Swapper(const QString &first, const QString &second)
{
#ifdef Q_OS_LINUX
    const QByteArray a = QFile::encodeName(first);
    const QByteArray b = QFile::encodeName(second);
    const auto exchange = [a, b] {
        return ::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_EXCHANGE) == 0;
    };
    // Twice, so the entries start where they were.
    exchanging = exchange() && exchange();
    if (!exchanging)
        return;
    thread = std::thread([this, exchange] {
        while (!stop.load(std::memory_order_relaxed)) {
            if (exchange())
                count.fetch_add(1, std::memory_order_relaxed);
        }
        // An even number of exchanges leaves each entry as it was.
        if (count.load() % 2 != 0)
            exchange();
    });
#else
    Q_UNUSED(first);
    Q_UNUSED(second);
#endif
}

Swapper::~Swapper()
{
    stop = true;
    if (thread.joinable())
        thread.join();
}
