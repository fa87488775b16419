#pragma once

#include <QList>
#include <QString>

class Settings;
class TreeWidget;
class UserPrompts;

// What the entry point hands to the run; tests substitute their own directory, ports and
// prompts.
struct HearthOptions
{
    QString applicationDir;
    quint16 tcpPort = 8000;
    quint16 udpPort = 8000;
    UserPrompts *prompts = nullptr; // null: the real dialogs
};

// Builds every long-lived object in order, runs the event loop and tears down in reverse.
// Needs a QApplication. Returns 1 when a listener cannot be opened, else the loop's result.
int runHearth(const HearthOptions &options);

// Reads the configuration file at path into the settings and appends the three library views
// (Video, Audio, Pictures) built from it to libraries. True when the file could be opened,
// whether or not its content was usable.
bool loadConfiguration(
    QList<TreeWidget *> &libraries, Settings &settings, const QString &path, UserPrompts &prompts);

// Writes root, settings element and the libraries in list order to path; a failed write keeps
// the old file.
void saveConfiguration(
    const QList<TreeWidget *> &libraries, const Settings &settings, const QString &path);
