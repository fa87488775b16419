#pragma once

#include "upnp/soap.h"

// ConnectionManager: this server only sends, over HTTP GET, on no managed connections.
SoapReply connectionManagerControl(const SoapAction &action);
