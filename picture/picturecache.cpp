#include "picture/picturecache.h"

#include "picture/pictureconverter.h"
#include "picture/picturelog.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <mutex>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

struct PictureCache::Mailbox
{
    std::mutex mutex;
    PictureCache *owner = nullptr;
};

namespace {

// Null size for a file that cannot be looked at: nothing is remembered for it.
FileStamp stampOf(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    return { info.size(), info.lastModified() };
}

FileStamp stampOf(int fd)
{
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return {};
    return { file.size(), file.fileTime(QFileDevice::FileModificationTime) };
}

} // namespace

// The worker's own copy of a requester's descriptor, closed whether or not the conversion
// runs; the requester may close its own meanwhile.
class PictureCache::DescriptorCopy
{
public:
    explicit DescriptorCopy(int fd)
#ifdef Q_OS_WIN
        : fd(::_dup(fd))
#else
        : fd(::dup(fd))
#endif
    { }
    DescriptorCopy(const DescriptorCopy &) = delete;
    DescriptorCopy &operator=(const DescriptorCopy &) = delete;
    ~DescriptorCopy()
    {
#ifdef Q_OS_WIN
        if (fd >= 0)
            ::_close(fd);
#else
        if (fd >= 0)
            ::close(fd);
#endif
    }

    int get() const
    {
        return fd;
    }

private:
    int fd;
};

namespace {

void answerLater(QObject *context, PictureCache::Answer done, const QByteArray &jpeg)
{
    // Queued even when known, so a requester never sees its answer inside its own call.
    QMetaObject::invokeMethod(
        context, [done = std::move(done), jpeg] { done(jpeg); }, Qt::QueuedConnection);
}

} // namespace

PictureCache::PictureCache(const PictureFormat &format, int records, int threads)
    : pictureFormat(format)
    , records(std::max(1, records))
    , mailbox(std::make_shared<Mailbox>())
{
    mailbox->owner = this;
    // One conversion per core at most, so memory stays within cores x one conversion.
    workers.setMaxThreadCount(threads > 0 ? threads : std::max(1, QThread::idealThreadCount()));
}

PictureCache::~PictureCache()
{
    {
        const std::lock_guard<std::mutex> lock(mailbox->mutex);
        mailbox->owner = nullptr;
    }
    for (Conversion &conversion : running)
        conversion.stop->store(true);
    workers.clear();
    // Stopped conversions stop reading at once and skip the steps after decoding.
    workers.waitForDone();
}

void PictureCache::requestPicture(const QString &path, QObject *context, Answer done)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        answerLater(context, std::move(done), QByteArray());
        return;
    }
    requestPicture(path, file.handle(), context, std::move(done));
}

void PictureCache::requestPicture(const QString &path, int fd, QObject *context, Answer done)
{
    Q_ASSERT(context && context->thread() == thread());
    const FileStamp stamp = stampOf(fd);
    const CachedPicture *hit = stamp.size >= 0 ? lookUp(path, stamp) : nullptr;
    if (stamp.size < 0 || hit) {
        answerLater(context, std::move(done), hit ? hit->jpeg : QByteArray());
        return;
    }

    auto conversion = std::find_if(running.begin(), running.end(), [&](const Conversion &c) {
        return c.path == path && c.stamp == stamp && c.generation == generation && !c.stop->load();
    });
    if (conversion == running.end()) {
        auto source = std::make_shared<DescriptorCopy>(fd);
        if (source->get() < 0) {
            // No descriptor left to read it with: sent as stored this time, nothing remembered.
            answerLater(context, std::move(done), QByteArray());
            return;
        }
        running.push_back(
            { ++lastId, path, stamp, generation, std::make_shared<std::atomic<bool>>(false), {} });
        conversion = std::prev(running.end());
        startConversion(*conversion, std::move(source));
    }
    const quint64 id = conversion->id;
    const QMetaObject::Connection watch = connect(
        context, &QObject::destroyed, this, [this, id, context] { requesterGone(id, context); });
    conversion->waiters.push_back({ context, std::move(done), watch });
}

QByteArray PictureCache::convertedPicture(const QString &path)
{
    const FileStamp stamp = stampOf(path);
    if (stamp.size < 0)
        return {};
    if (const CachedPicture *hit = lookUp(path, stamp))
        return hit->jpeg;
    const QByteArray jpeg = convertPicture(path, pictureFormat);
    remember(path, stamp, jpeg);
    return jpeg;
}

void PictureCache::setFormat(const PictureFormat &format)
{
    pictureFormat = format;
    ++generation;
    cache.clear();
}

const CachedPicture *PictureCache::lookUp(const QString &path, const FileStamp &stamp)
{
    const auto record = std::find_if(
        cache.begin(), cache.end(), [&](const CachedPicture &r) { return r.path == path; });
    if (record == cache.end())
        return nullptr;
    if (record->stamp == stamp)
        return &*record;
    // The file was replaced or changed: its old answer is of no more use.
    cache.erase(record);
    return nullptr;
}

void PictureCache::remember(const QString &path, const FileStamp &stamp, const QByteArray &jpeg)
{
    // Said once per state of the file: the failure is remembered like a picture.
    if (jpeg.isEmpty())
        qCWarning(lcPicture).noquote() << "could not convert" << path << "- sent as stored";
    cache.erase(std::remove_if(cache.begin(), cache.end(),
                    [&](const CachedPicture &r) { return r.path == path; }),
        cache.end());
    cache.push_back({ jpeg, path, stamp });
    if (cache.size() > size_t(records))
        cache.pop_front();
}

void PictureCache::startConversion(Conversion &conversion, std::shared_ptr<DescriptorCopy> source)
{
    // The worker holds copies and shared state only, never the cache itself.
    workers.start([mailbox = mailbox, id = conversion.id, source = std::move(source),
                      format = pictureFormat, stop = conversion.stop] {
        const QByteArray jpeg
            = stop->load() ? QByteArray() : convertPicture(source->get(), format, stop.get());
        const std::lock_guard<std::mutex> lock(mailbox->mutex);
        if (PictureCache *owner = mailbox->owner) {
            QMetaObject::invokeMethod(
                owner, [owner, id, jpeg] { owner->conversionFinished(id, jpeg); },
                Qt::QueuedConnection);
        }
    });
}

void PictureCache::conversionFinished(quint64 id, const QByteArray &jpeg)
{
    const auto found = std::find_if(
        running.begin(), running.end(), [id](const Conversion &c) { return c.id == id; });
    if (found == running.end())
        return;
    Conversion finished = std::move(*found);
    running.erase(found);
    // A stopped conversion's empty answer says nothing about the file; one made in an earlier
    // format does not belong in the cache of this one.
    if (finished.generation == generation && !finished.stop->load())
        remember(finished.path, finished.stamp, jpeg);
    for (const Waiter &waiter : finished.waiters)
        disconnect(waiter.watch);
    // An answer may destroy the cache: nothing of it is touched from here on.
    for (const Waiter &waiter : finished.waiters) {
        if (waiter.context)
            waiter.done(jpeg);
    }
}

void PictureCache::requesterGone(quint64 id, const QObject *gone)
{
    const auto found = std::find_if(
        running.begin(), running.end(), [id](const Conversion &c) { return c.id == id; });
    if (found == running.end())
        return;
    const bool wanted = std::any_of(found->waiters.begin(), found->waiters.end(),
        [gone](const Waiter &w) { return w.context && w.context != gone; });
    if (!wanted)
        found->stop->store(true);
}
