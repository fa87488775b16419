#include "library/librarylog.h"

Q_LOGGING_CATEGORY(lcLibrary, "hearth.library", QtWarningMsg)
