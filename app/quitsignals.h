#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a signal on the event loop, so a logout, kill or
// Ctrl+C saves exactly as quitting from the menu does. The handler itself only writes a byte
// to a pipe; everything else happens in the event loop.
class QuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

signals:
    void quitRequested();

private:
    void readPipe();

    QSocketNotifier *notifier = nullptr;
};
