#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Placeholder until the picture conversion lands; converts nothing.
class PictureCache : public QObject
{
    Q_OBJECT

public:
    PictureCache(uint width, uint height, double screen_ratio, bool scale, bool square_pixels,
        bool compress, uint compress_min, uint compress_max);

    // Converted JPEG bytes, or an empty array when the file cannot be read as an image.
    QByteArray convertedPicture(const QString &path);

public slots:
    void setFormat(uint width, uint height, double screen_ratio, bool scale, bool square_pixels,
        bool compress, uint compress_min, uint compress_max);
};
