#pragma once

#include <QString>
#include <QStringList>

// What the command line asks for. It is read before the application object exists, so that
// --help and --version work without a display; the toolkit's own options (-platform offscreen,
// -style ...) are let through for the application object to take.
struct CommandLine
{
    enum Action { Run, ShowHelp, ShowVersion, Refuse };

    Action action = Run;
    QString configFile; // --config FILE; empty: the usual place
    bool verbose = false;
    // For ShowHelp and ShowVersion the text for standard output; for Refuse the error and the
    // help for standard error.
    QString text;

    // The process's exit code when it ends without running.
    int exitCode() const { return action == Refuse ? 2 : 0; }
};

// arguments as main() got them, the program name first.
CommandLine parseCommandLine(const QStringList &arguments);
