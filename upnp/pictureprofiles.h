#pragma once

#include "library/entryinfo.h"
#include "picture/pictureformat.h"
#include "picture/pictureheader.h"

#include <QByteArray>
#include <QCache>
#include <QList>
#include <QSize>
#include <QString>

// The JPEG sizes DLNA names, smallest first. Clients have square pixels and full range, so
// these are made apart from the players' television format.
enum class PictureSize { Thumbnail, Small, Medium, Large };

struct PictureProfile
{
    PictureSize size;
    const char *name; // DLNA.ORG_PN
    const char *word; // in the URL: /fitted/<word>/<id>.jpg
    QSize bound;
};

const PictureProfile &pictureProfile(PictureSize size);
// The profile a URL word names; false for any other word.
bool pictureSizeOfWord(QByteArrayView word, PictureSize *size);
// Fitted within the profile's bound, never enlarged, no frame, colours untouched.
PictureFormat pictureFormat(PictureSize size);

// One res of a picture: the file as stored, or a conversion to `size`.
struct PictureResource
{
    PictureSize size = PictureSize::Large;
    QSize resolution; // invalid when the file's headers cannot be read
    bool original = false;
    bool named = false; // carries the profile's name: the file itself only when it meets it

    bool operator==(const PictureResource &other) const
    {
        return size == other.size && resolution == other.resolution && original == other.original
            && named == other.named;
    }
};

// What a picture is offered as, the largest first and the thumbnail last: one conversion per
// profile whose size is not already offered (a small picture is never enlarged), the file
// itself in the place of a profile it meets as a plain JPEG, else after the conversions. A
// file whose headers cannot be read is offered as stored only.
QList<PictureResource> pictureResources(const PictureHeader &header);

// Headers of the pictures that Browse describes, read once per state of each file (size and
// modification time), the last few thousand kept.
class PictureHeaders
{
public:
    explicit PictureHeaders(int records = 4096);

    // Read from the entry opened as a request would open it (below a live folder, no link
    // followed), never by a path that may name something else by then.
    PictureHeader header(const EntryInfo &entry);

private:
    struct Record
    {
        qint64 size = -1;
        qint64 modified = 0;
        PictureHeader header;
    };
    QCache<QString, Record> cache;
};
