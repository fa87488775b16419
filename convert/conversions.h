#pragma once

#include <QObject>
#include <QString>

class Conversion;

// The conversions running at once, within a limit: one past it is refused at once rather than
// left to slow every other down. Counts what the status bar shows.
class Conversions : public QObject
{
    Q_OBJECT

public:
    explicit Conversions(QObject *parent = nullptr);

    // One per two cores, at least one.
    static int defaultLimit();
    void setLimit(int limit);
    int limit() const { return most; }
    int count() const { return running; }

    // FfmpegCommand::program() unless set (tests).
    void setProgram(const QString &path) { ffmpeg = path; }
    QString program() const { return ffmpeg; }

    // A conversion counted until its process is over, owned by `parent`; nullptr at the limit.
    Conversion *create(QObject *parent = nullptr);

signals:
    void countChanged(int count);

private:
    int most;
    int running = 0;
    QString ffmpeg;
};
