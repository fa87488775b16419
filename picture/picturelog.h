#pragma once

#include <QLoggingCategory>

// Warnings a user should see about pictures (one that could not be converted).
Q_DECLARE_LOGGING_CATEGORY(lcPicture)
