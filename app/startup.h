#pragma once

#include <QList>
#include <QString>

#include <functional>

class Settings;
class TreeWidget;
class UserPrompts;

// What the entry point hands to the run; tests substitute their own directory, ports and
// prompts.
struct HearthOptions
{
    QString applicationDir;
    // Where the package installs the program: a copy run from there keeps its configuration
    // per user (see configurationPath).
    QString installedDir;
    // --config: this file instead of the usual place.
    QString configFile;
    quint16 tcpPort = 8000;
    quint16 udpPort = 8000;
    // DLNA clients' HTTP port, a free one when it is taken. Tests keep that server on the
    // loopback interface and silent on SSDP.
    quint16 upnpPort = 8200;
    bool upnpLocalOnly = false;
    UserPrompts *prompts = nullptr; // null: the real dialogs
};

// Exit codes of the run besides the event loop's 0 (2 is the command line's refusal).
enum HearthExitCode : int {
    ListenFailedExit = 1, // a port could not be opened; nothing was written
    SaveFailedExit = 3, // the configuration could not be saved at quit; the old file is kept
    // The configuration file cannot be used (no regular file, unreadable, far too large, or
    // holding no configuration); nothing was started, read or written.
    ConfigurationRefusedExit = 4,
};

// Title of the boxes about the configuration file.
QString configurationErrorTitle();

// Builds every long-lived object in order, runs the event loop and tears down in reverse.
// Needs a QApplication. Returns ListenFailedExit when a listener cannot be opened, else the
// loop's result (0, or SaveFailedExit from MainWindow::quit).
int runHearth(const HearthOptions &options);

// What loading the configuration has to tell start-up and quit.
struct ConfigurationLoad
{
    // Not empty when the file was refused (ConfigurationRefusedExit): what to tell the user.
    // Nothing of it was loaded, and it must not be written.
    QString refusal;
    // A file that could not be read whole: what to tell the user.
    QString notice;
    // Set when such a file could not be kept aside: tries again, and must succeed before the
    // save at quit may replace the file; else false with *error in words for the user.
    std::function<bool(QString *error)> keepBeforeSaving;
};

// Reads the configuration file at path into the settings and appends the three library views
// (Video, Audio, Pictures) built from it to libraries. True when the file could be opened,
// whether or not its content was usable. A file that cannot be read whole is kept aside
// unchanged (keepAside) unless savePath names another file (the one read is then never
// written), and the rest goes on with what could be read. A refused file leaves the settings
// and the (empty) libraries as they are on a first start. load (if given) receives what to
// tell.
bool loadConfiguration(QList<TreeWidget *> &libraries, Settings &settings, const QString &path,
    UserPrompts &prompts, ConfigurationLoad *load = nullptr, const QString &savePath = QString());

// Writes root, settings element and the libraries in list order to path; a failed write keeps
// the old file and returns false with *error (if given) in words for the user.
bool saveConfiguration(const QList<TreeWidget *> &libraries, const Settings &settings,
    const QString &path, QString *error = nullptr);
