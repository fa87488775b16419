#pragma once

#include <QLoggingCategory>

// Warnings a user should see about media details (a cache set aside, one that cannot be written).
Q_DECLARE_LOGGING_CATEGORY(lcMedia)
