#pragma once

#include <QLoggingCategory>

// Which configuration file is read and written (info, shown with --verbose). Problems with it
// are told to the user in a box, or on standard error without a display.
Q_DECLARE_LOGGING_CATEGORY(lcConfig)
