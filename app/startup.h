#pragma once

#include <QString>

class Settings;
class UserPrompts;

// What the entry point hands to the run; tests substitute their own directory, ports and
// prompts.
struct HearthOptions {
    QString applicationDir;
    quint16 tcpPort = 8000;
    quint16 udpPort = 8000;
    UserPrompts *prompts = nullptr; // null: the real dialogs
};

// Builds every long-lived object in order, runs the event loop and tears down in reverse.
// Needs a QApplication. Returns 1 when a listener cannot be opened, else the loop's result.
int runHearth(const HearthOptions &options);

// Reads the configuration file at path into the settings. True when the file could be opened,
// whether or not its content was usable.
bool loadConfiguration(Settings &settings, const QString &path);

// Writes root, settings element and libraries to path; a failed write keeps the old file.
void saveConfiguration(const Settings &settings, const QString &path);
