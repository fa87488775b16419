#pragma once

#include "convert/conversionplan.h"
#include "media/mediainfo.h"

#include <QByteArray>
#include <QByteArrayView>

class DidlWriter;
struct ObjectId;

// A video converted for a client as it is sent: how Browse offers it and how its URL, its
// DLNA features and its time seeking read. "/convert/<plan key>/<object id>.<ext>".
namespace ConvertedResource {

// The plan a video is offered and served with, or Original. For now one rule for every client
// (InterimPlan); the decision per client replaces it here.
ConversionPlan planFor(const MediaDetails &details);

QByteArray path(const QByteArray &id, const ConversionPlan &plan);
// From what follows the prefix; false when it names nothing.
bool fromPath(QByteArrayView rest, QByteArray *key, ObjectId *id);

// The fourth field of protocolInfo and the contentFeatures.dlna.org header: seeking by time
// only (the bytes do not exist before they are made), converted, streamed.
QByteArray features(const ConversionPlan &plan);

// A res after the original's when the video has a conversion (details known), with the
// original's duration.
void write(DidlWriter &xml, const QByteArray &baseUrl, const QByteArray &id,
    const MediaInfo::Answer &known);

// A TimeSeekRange.dlna.org header: "npt=<start>-[<end>]", times in seconds ("10.5") or
// "h:mm:ss[.fff]".
struct TimeSeek
{
    bool asked = false;
    bool valid = true;
    double start = 0;
    // < 0: to the end.
    double end = -1;

    static TimeSeek parse(const QByteArray &header);
    // The answer's TimeSeekRange.dlna.org: "npt=10.000-5400.000/5400.000" ("*" for a duration
    // not known).
    QByteArray answer(qint64 durationMs) const;
};

} // namespace ConvertedResource
