#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

// Where each DLNA client stopped in each file, so a TV can offer to resume. Kept across runs
// in the user's state folder (not the configuration: it is no setting, and changes while
// playing), at most `capacity` positions, the ones set longest ago dropped first.
class Bookmarks : public QObject
{
    Q_OBJECT

public:
    static constexpr int capacity = 2000;

    // `folder` holds bookmarks.json; made when the first position is saved.
    explicit Bookmarks(const QString &folder, QObject *parent = nullptr);
    // Writes what is not written yet.
    ~Bookmarks() override;

    // Linux: $XDG_STATE_HOME/hearth or ~/.local/state/hearth; Windows: %LOCALAPPDATA%\Vela
    // Hearth. Under QStandardPaths' test mode, a folder of its own.
    static QString defaultFolder();

    // Seconds from the start; 0 forgets the position (played from the start, or to the end).
    void setPosition(const QString &client, const QString &file, qint64 seconds);
    // 0 when none is kept.
    qint64 position(const QString &client, const QString &file) const;
    int count() const { return int(marks.size()); }

    // Writes at once (a change is otherwise written a moment later, with any that follow).
    bool save();

private:
    struct Mark
    {
        QString client;
        QString file;
        qint64 seconds = 0;
        qint64 order = 0; // when it was set, in setting order
    };

    void load();
    static QString key(const QString &client, const QString &file);

    QString folder;
    QHash<QString, Mark> marks;
    qint64 lastOrder = 0;
    QTimer pending;
};
