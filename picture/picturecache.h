#pragma once

#include "picture/pictureformat.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <deque>

// One converted picture, found again by the path exactly as it was asked for.
struct CachedPicture
{
    QByteArray jpeg;
    QString path;
};

// Converts pictures for the television described by the format and keeps the last 20.
//
// convertedPicture() returns the JPEG bytes, or an empty (null) QByteArray when the file
// cannot be loaded as a picture or the result cannot be encoded. A successful conversion is
// never empty, so an empty answer means: serve the file's own bytes, unconverted. Nothing
// is cached for a failure; the next request tries again.
class PictureCache : public QObject
{
    Q_OBJECT

public:
    static constexpr int capacity = 20;

    explicit PictureCache(const PictureFormat &format);
    ~PictureCache() override;

    QByteArray convertedPicture(const QString &path);

    const PictureFormat &format() const { return pictureFormat; }
    int cachedCount() const { return int(cache.size()); }

public slots:
    // Always empties the cache, even when nothing changed.
    void setFormat(const PictureFormat &format);

private:
    PictureFormat pictureFormat;
    // Oldest first; a hit does not move a record.
    std::deque<CachedPicture> cache;
};
