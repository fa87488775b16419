#include "convert/conversions.h"

#include "convert/conversion.h"
#include "convert/ffmpegcommand.h"

#include <QThread>

#include <algorithm>

Conversions::Conversions(QObject *parent)
    : QObject(parent)
    , most(defaultLimit())
    , ffmpeg(FfmpegCommand::program())
{ }

int Conversions::defaultLimit()
{
    return std::max(1, QThread::idealThreadCount() / 2);
}

void Conversions::setLimit(int limit)
{
    most = std::max(1, limit);
}

Conversion *Conversions::create(QObject *parent)
{
    if (running >= most) {
        qCInfo(lcConvert, "refused: %d conversions run already", running);
        return nullptr;
    }
    auto *conversion = new Conversion(parent);
    ++running;
    // Counted while its process runs: one that has ended leaves room at once, before its
    // answer is done with it.
    connect(conversion, &Conversion::over, this, [this] {
        --running;
        emit countChanged(running);
    });
    emit countChanged(running);
    return conversion;
}
