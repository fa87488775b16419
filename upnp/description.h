#pragma once

#include "upnp/upnppaths.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The device description: friendlyName and UDN are the only parts that vary.
QByteArray deviceDescription(const QString &friendlyName, const QString &udn);
// A service's SCPD.
QByteArray serviceDescription(UpnpService service);
// The icon a path under UpnpPaths::iconsPrefix names, with its MIME type; empty when none.
QByteArray iconData(QByteArrayView path, QByteArray *mimeType);
// The SERVER word of SSDP messages and HTTP answers: system, UPnP and DLNA versions, product.
QByteArray serverWord();
