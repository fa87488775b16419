#pragma once

#include "media/musicindex.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The id of a music view's container or of a track in one: "<library>:<container path>", and
// for a track ":<its library path in base64url>" after it. ObjectId never writes a ":", so
// the two kinds cannot meet; both come from names alone and stay the same across restarts.
struct MusicId
{
    int library = -1;
    MusicContainer container;
    // Empty for the container itself.
    QString trackKey;

    // False when the text is no id of this kind.
    static bool parse(QByteArrayView text, MusicId *id);
    static QByteArray containerId(int library, const MusicContainer &container);
    static QByteArray trackId(const QByteArray &containerId, const QString &key);
    QByteArray toByteArray() const;
    // A view's parent is its library; a group's, its view; an album's below a group, the group.
    QByteArray parentId() const;
};
