#pragma once

#include "media/mediadetails.h"

#include <QByteArray>
#include <QString>

// The DLNA media format profile (DLNA.ORG_PN) a file meets, judged from its streams as the
// probe read them, and the MIME type that goes with it. Many files meet none: then `name` is
// empty (allowed: the TV decides by the MIME type), and `mimeType` is the container's usual
// type, or empty where the streams say nothing the file name does not (the caller then goes
// by the extension).
struct DlnaProfile
{
    QByteArray name;
    QByteArray mimeType;

    // `fileName` tells an MPEG transport stream of 192-byte packets (.m2ts, .mts) from one of
    // 188, which the streams do not show.
    static DlnaProfile forMedia(const MediaDetails &details, const QString &fileName);
};
