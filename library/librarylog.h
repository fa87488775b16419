#pragma once

#include <QLoggingCategory>

// Warnings a user should see about the libraries (a stored path that is gone at start).
Q_DECLARE_LOGGING_CATEGORY(lcLibrary)
