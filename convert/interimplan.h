#pragma once

#include "convert/conversionplan.h"
#include "media/mediadetails.h"

#include <QByteArray>

// A stand-in for the decision until client profiles exist: one rule for every client. A
// video that is not H.264 with AAC (or no sound) in MPEG-TS or MP4 gets an MPEG-TS with its
// H.264 copied, else converted, and its sound copied where TVs commonly play it, else AC-3.
// To be replaced by the decision; nothing else depends on the rule.
namespace InterimPlan {

// Original when the file plays as it is, or is no video.
ConversionPlan forMedia(const MediaDetails &details);

// A short word naming the plan in its URL ("remux", "audio", "video", "full"), and back.
QByteArray key(const ConversionPlan &plan);

} // namespace InterimPlan
