#include "media/probersource.h"

#include "media/mediaprober.h"

namespace {

DetailsSource::Outcome outcomeOf(MediaProber::Outcome outcome)
{
    switch (outcome) {
    case MediaProber::Outcome::Read:
        return DetailsSource::Outcome::Read;
    case MediaProber::Outcome::GaveUp:
        return DetailsSource::Outcome::GaveUp;
    case MediaProber::Outcome::Unreadable:
        break;
    }
    return DetailsSource::Outcome::Unreadable;
}

} // namespace

ProberSource::ProberSource(MediaProber &prober, QObject *parent)
    : DetailsSource(parent)
    , prober(prober)
{
    connect(&prober, &MediaProber::probed, this,
        [this](const QString &path, const MediaDetails &details, MediaProber::Outcome outcome) {
            emit probed(path, details, outcomeOf(outcome));
        });
}

void ProberSource::probe(const QString &path, bool urgent)
{
    prober.probe(path, urgent);
}
