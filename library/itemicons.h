#pragma once

#include <QIcon>

// The compiled-in item icons, loaded once and shared by every item.
namespace ItemIcons {
const QIcon &file(int mediaType, bool live);
const QIcon &folder(bool live, bool open);
} // namespace ItemIcons
