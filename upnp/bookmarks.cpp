#include "upnp/bookmarks.h"

#include "upnp/upnplog.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace {

const QString fileName = QStringLiteral("bookmarks.json");

// Far beyond what `capacity` positions take; a larger file is not ours to read.
constexpr qint64 maxFileSize = qint64(4) << 20;

// A week of playing: anything beyond is no position in a file.
constexpr qint64 maxSeconds = 7 * 24 * 3600;

// Changes come in bursts (a TV sets a position as it stops and again as it leaves).
constexpr int saveDelayMs = 2000;

} // namespace

Bookmarks::Bookmarks(const QString &folder, QObject *parent)
    : QObject(parent)
    , folder(folder)
{
    pending.setSingleShot(true);
    pending.setInterval(saveDelayMs);
    connect(&pending, &QTimer::timeout, this, &Bookmarks::save);
    load();
}

Bookmarks::~Bookmarks()
{
    if (pending.isActive())
        save();
}

QString Bookmarks::defaultFolder()
{
#ifdef Q_OS_WIN
    // %LOCALAPPDATA%: positions belong to this PC's network, not to a roaming profile.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Vela Hearth");
#else
    if (QStandardPaths::isTestModeEnabled())
        return QDir::homePath() + QStringLiteral("/.qttest/state/hearth");
    // The XDG base directory rules: only an absolute path counts.
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (QDir::isAbsolutePath(state))
        return state + QStringLiteral("/hearth");
    return QDir::homePath() + QStringLiteral("/.local/state/hearth");
#endif
}

QString Bookmarks::key(const QString &client, const QString &file)
{
    return client + QLatin1Char('\n') + file;
}

void Bookmarks::setPosition(const QString &client, const QString &file, qint64 seconds)
{
    seconds = std::clamp<qint64>(seconds, 0, maxSeconds);
    const QString k = key(client, file);
    if (seconds == 0) {
        if (marks.remove(k) == 0)
            return;
    } else {
        marks.insert(k, { client, file, seconds, ++lastOrder });
        if (marks.size() > capacity) {
            const auto oldest = std::min_element(marks.begin(), marks.end(),
                [](const Mark &a, const Mark &b) { return a.order < b.order; });
            marks.erase(oldest);
        }
    }
    pending.start();
}

qint64 Bookmarks::position(const QString &client, const QString &file) const
{
    const auto found = marks.constFind(key(client, file));
    return found == marks.cend() ? 0 : found->seconds;
}

bool Bookmarks::save()
{
    pending.stop();
    QList<const Mark *> ordered;
    for (const Mark &mark : std::as_const(marks))
        ordered.append(&mark);
    std::sort(ordered.begin(), ordered.end(),
        [](const Mark *a, const Mark *b) { return a->order < b->order; });
    QJsonArray list;
    for (const Mark *mark : std::as_const(ordered)) {
        list.append(QJsonObject { { QStringLiteral("client"), mark->client },
            { QStringLiteral("file"), mark->file },
            { QStringLiteral("seconds"), double(mark->seconds) } });
    }
    const QByteArray bytes
        = QJsonDocument(QJsonObject { { QStringLiteral("bookmarks"), list } }).toJson();
    QSaveFile file(folder + QLatin1Char('/') + fileName);
    if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly)
        || file.write(bytes) != bytes.size() || !file.commit()) {
        qCWarning(lcUpnp).noquote()
            << "could not keep the play positions in" << QDir::toNativeSeparators(file.fileName());
        return false;
    }
    return true;
}

void Bookmarks::load()
{
    QFile file(folder + QLatin1Char('/') + fileName);
    if (!file.exists())
        return;
    if (file.size() > maxFileSize || !file.open(QIODevice::ReadOnly)) {
        qCWarning(lcUpnp).noquote()
            << "play positions not read from" << QDir::toNativeSeparators(file.fileName());
        return;
    }
    const QJsonArray list = QJsonDocument::fromJson(file.read(maxFileSize))
                                .object()
                                .value(QStringLiteral("bookmarks"))
                                .toArray();
    // Oldest first, as written: the newest of any repeated pair stays, and so does its order.
    for (const QJsonValue &value : list) {
        const QJsonObject object = value.toObject();
        const QString client = object.value(QStringLiteral("client")).toString();
        const QString path = object.value(QStringLiteral("file")).toString();
        const qint64 seconds = qint64(object.value(QStringLiteral("seconds")).toDouble());
        if (client.isEmpty() || path.isEmpty() || seconds <= 0 || seconds > maxSeconds)
            continue;
        marks.insert(key(client, path), { client, path, seconds, ++lastOrder });
    }
    if (marks.size() > capacity) {
        QList<qint64> orders;
        for (const Mark &mark : std::as_const(marks))
            orders.append(mark.order);
        std::sort(orders.begin(), orders.end());
        const qint64 newestDropped = orders.at(orders.size() - capacity - 1);
        marks.removeIf([newestDropped](const QHash<QString, Mark>::iterator it) {
            return it->order <= newestDropped;
        });
    }
}
