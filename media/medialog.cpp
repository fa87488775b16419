#include "media/medialog.h"

Q_LOGGING_CATEGORY(lcMedia, "hearth.media", QtWarningMsg)
