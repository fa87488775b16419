#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a signal on the event loop, so a logout, kill or
// Ctrl+C saves exactly as quitting from the menu does. The handler itself only writes a byte
// to a pipe; everything else happens in the event loop.
// On Windows (quitsignals_win.cpp) the same signal comes from the console's events (Ctrl+C,
// Ctrl+Break, its window closed, log off, shut down) and from a hidden window that hears
// WM_CLOSE (taskkill without /f, the setup program) and the end of the Windows session.
class QuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

signals:
    void quitRequested();

public:
#ifdef Q_OS_WIN
    // The hidden window's class, for whoever asks a running hearth to quit.
    static const wchar_t *windowClassName();
    // hearth.exe is a GUI program, which Windows starts without a console. A headless run
    // started from a console window shares that one: its messages show there, and Ctrl+C or
    // closing the window ends the run with a save.
    static void attachParentConsole();
#endif

private:
#ifdef Q_OS_WIN
    void *window = nullptr;
#else
    void readPipe();

    QSocketNotifier *notifier = nullptr;
#endif
};
