#pragma once

#include "convert/clientprofile.h"
#include "convert/conversionplan.h"
#include "convert/decision.h"
#include "media/mediainfo.h"

#include <QByteArray>
#include <QByteArrayView>

class DidlWriter;
struct ObjectId;

// A video converted for a client as it is sent: how Browse offers it and how its URL, its
// DLNA features and its time seeking read. "/convert/<plan key>/<object id>.<ext>".
namespace ConvertedResource {

// The plan a file is offered and served with to a client of `profile`, or Original.
// `subtitle`, the chosen subtitle file beside a video (empty: none), is burnt into the picture
// for a client that shows none, where the picture is converted anyway.
ConversionPlan planFor(const MediaDetails &details, const QString &fileName,
    const ClientProfile &profile, const DecisionOptions &options,
    const QString &subtitle = QString());

// "/convert/<profile id>/<object id>.<ext>": the plan is made again from the profile named, so
// the URL serves the same bytes whichever client asks for it and whatever it sends.
QByteArray path(const QByteArray &id, const ClientProfile &profile, const ConversionPlan &plan);
// From what follows the prefix; false when it names nothing.
bool fromPath(QByteArrayView rest, QByteArray *profileId, ObjectId *id);

// The fourth field of protocolInfo and the contentFeatures.dlna.org header: seeking by time
// only (the bytes do not exist before they are made), converted, streamed.
QByteArray features(const ConversionPlan &plan);

// The converted res of a plan, with the original's duration.
void write(DidlWriter &xml, const QByteArray &baseUrl, const QByteArray &id,
    const MediaDetails &details, const ClientProfile &profile, const ConversionPlan &plan);

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
