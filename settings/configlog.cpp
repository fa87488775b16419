#include "settings/configlog.h"

Q_LOGGING_CATEGORY(lcConfig, "hearth.config", QtWarningMsg)
