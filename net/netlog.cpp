#include "net/netlog.h"

Q_LOGGING_CATEGORY(lcNet, "hearth.net", QtWarningMsg)
Q_LOGGING_CATEGORY(lcDiscovery, "hearth.discovery", QtWarningMsg)
