#pragma once

#include <QByteArray>

// The three services the media server offers.
enum class UpnpService { ContentDirectory, ConnectionManager, MediaReceiverRegistrar };

// The HTTP paths of the device: the description names them, the server routes by them.
namespace UpnpPaths {
inline const QByteArray description = QByteArrayLiteral("/description.xml");

inline const QByteArray contentDirectoryScpd = QByteArrayLiteral("/ContentDirectory/scpd.xml");
inline const QByteArray contentDirectoryControl = QByteArrayLiteral("/ContentDirectory/control");
inline const QByteArray contentDirectoryEvent = QByteArrayLiteral("/ContentDirectory/event");

inline const QByteArray connectionManagerScpd = QByteArrayLiteral("/ConnectionManager/scpd.xml");
inline const QByteArray connectionManagerControl = QByteArrayLiteral("/ConnectionManager/control");
inline const QByteArray connectionManagerEvent = QByteArrayLiteral("/ConnectionManager/event");

inline const QByteArray registrarScpd = QByteArrayLiteral("/X_MS_MediaReceiverRegistrar/scpd.xml");
inline const QByteArray registrarControl
    = QByteArrayLiteral("/X_MS_MediaReceiverRegistrar/control");
inline const QByteArray registrarEvent = QByteArrayLiteral("/X_MS_MediaReceiverRegistrar/event");

// Everything below serves the device's icons.
inline const QByteArray iconsPrefix = QByteArrayLiteral("/icons/");

// Media: "/media/<object id>" the file itself, "/fitted/<size>/<id>" a picture converted to
// one of DLNA's sizes ("large", "medium", "small"), "/thumb/<id>" its thumbnail. An optional ".ext"
// after the id is ignored (some players look at the URL's extension).
inline const QByteArray mediaPrefix = QByteArrayLiteral("/media/");
inline const QByteArray fittedPrefix = QByteArrayLiteral("/fitted/");
inline const QByteArray thumbnailPrefix = QByteArrayLiteral("/thumb/");
// "/art/<id>.jpg": a song's or video's album art within 160x160, its own cover or frame, else
// its folder's cover picture.
inline const QByteArray artPrefix = QByteArrayLiteral("/art/");
// "/subtitle/<video id>/<n>.<ext>": the n-th subtitle file beside a video (from 0).
inline const QByteArray subtitlePrefix = QByteArrayLiteral("/subtitle/");
// "/convert/<plan>/<id>.<ext>": a video converted by ffmpeg as it is sent.
inline const QByteArray convertPrefix = QByteArrayLiteral("/convert/");
} // namespace UpnpPaths
