#pragma once

#include <QLoggingCategory>

// Silent but for warnings unless asked for (--verbose, or QT_LOGGING_RULES="hearth.net.info=true"):
// then one line per request answered and per discovery question answered.
Q_DECLARE_LOGGING_CATEGORY(lcNet)
Q_DECLARE_LOGGING_CATEGORY(lcDiscovery)
