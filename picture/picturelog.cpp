#include "picture/picturelog.h"

Q_LOGGING_CATEGORY(lcPicture, "hearth.picture", QtWarningMsg)
