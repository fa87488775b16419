#include "library/itemicons.h"

#include "library/mediatype.h"

#include <QString>

namespace ItemIcons {

const QIcon &file(int mediaType, bool live)
{
    // Indexed by media type; any other code takes the generic icon at NoMedia.
    static const QIcon plain[4] = {
        QIcon(QStringLiteral(":/images/icon_media_file.png")),
        QIcon(QStringLiteral(":/images/icon_media_file_video.png")),
        QIcon(QStringLiteral(":/images/icon_media_file_audio.png")),
        QIcon(QStringLiteral(":/images/icon_media_file_picture.png")),
    };
    static const QIcon inLiveFolder[4] = {
        QIcon(QStringLiteral(":/images/icon_media_livefile.png")),
        QIcon(QStringLiteral(":/images/icon_media_livefile_video.png")),
        QIcon(QStringLiteral(":/images/icon_media_livefile_audio.png")),
        QIcon(QStringLiteral(":/images/icon_media_livefile_picture.png")),
    };
    const int index = (mediaType >= VideoMedia && mediaType <= PictureMedia) ? mediaType : NoMedia;
    return live ? inLiveFolder[index] : plain[index];
}

const QIcon &folder(bool live, bool open)
{
    static const QIcon icons[4] = {
        QIcon(QStringLiteral(":/images/icon_media_folder.png")),
        QIcon(QStringLiteral(":/images/icon_media_folder_open.png")),
        QIcon(QStringLiteral(":/images/icon_media_livefolder.png")),
        QIcon(QStringLiteral(":/images/icon_media_livefolder_open.png")),
    };
    return icons[(live ? 2 : 0) + (open ? 1 : 0)];
}

} // namespace ItemIcons
