#include "upnp/upnplog.h"

Q_LOGGING_CATEGORY(lcUpnp, "hearth.upnp", QtWarningMsg)
