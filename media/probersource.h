#pragma once

#include "media/detailssource.h"

class MediaProber;

// MediaInfo's reader is hearth-probe: hands files to the MediaProber and its answers back.
class ProberSource final : public DetailsSource
{
    Q_OBJECT

public:
    // `prober` is not owned and must outlive this.
    explicit ProberSource(MediaProber &prober, QObject *parent = nullptr);

    void probe(const QString &path, bool urgent) override;

private:
    MediaProber &prober;
};
