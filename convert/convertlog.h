#pragma once

#include <QLoggingCategory>

// Client profiles that do not load, and what is decided for a client (info, with --verbose).
Q_DECLARE_LOGGING_CATEGORY(lcConvert)
