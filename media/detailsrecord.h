#pragma once

#include "media/mediadetails.h"

#include <QByteArray>

// The compact form the media cache keeps details in, in memory and on disk: every field but
// the thumbnail (kept apart, read only when asked for), text as UTF-8, small numbers in a
// byte. About 120 bytes for a tagged song, where the decoded struct takes several times that.
namespace DetailsRecord {

QByteArray encode(const MediaDetails &details);
// False when `bytes` is not a whole record (then `details` is left default).
bool decode(const QByteArray &bytes, MediaDetails *details);

} // namespace DetailsRecord
