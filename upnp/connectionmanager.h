#pragma once

#include "upnp/soap.h"

// ConnectionManager: this server only sends, over HTTP GET, on no managed connections.
SoapReply connectionManagerControl(const SoapAction &action);
// What GetProtocolInfo answers as Source, and SourceProtocolInfo carries in events.
QByteArray sourceProtocolInfo();
