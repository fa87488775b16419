#include "convert/convertlog.h"

Q_LOGGING_CATEGORY(lcConvert, "hearth.convert", QtWarningMsg)
