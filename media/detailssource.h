#pragma once

#include "media/mediadetails.h"

#include <QObject>
#include <QString>

// What reads media files for MediaInfo: the probe worker, or a stand-in in tests. It reads in
// its own time and says so once per file asked for, from the event loop, never inside probe().
class DetailsSource : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Read,
        // Not a media file, or it could not be opened.
        Unreadable,
        // It took too long: not to be tried again until it changes.
        GaveUp,
    };
    Q_ENUM(Outcome)

    using QObject::QObject;

    // `urgent`: a client waits for it; goes before what was asked without.
    virtual void probe(const QString &path, bool urgent) = 0;

signals:
    void probed(const QString &path, const MediaDetails &details, DetailsSource::Outcome outcome);
};
