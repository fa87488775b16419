#include "convert/clientprofiles.h"
#include "convert/convertlog.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

// A profile file is a page of text; anything larger is not one.
constexpr qint64 maxFileSize = 256 * 1024;
// A folder of the user's is read at start, on the event loop: keep it bounded.
constexpr int maxFiles = 200;
constexpr int maxHintLength = 512;

// A file's base name becomes the profile's id: the words a user sees and the settings store.
bool validId(const QString &id)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-z0-9][a-z0-9_-]{0,63}$"));
    return pattern.match(id).hasMatch();
}

// The length of the longest text one of the patterns matches in `text`; 0 when none.
int longestMatch(const QList<QRegularExpression> &patterns, const QString &text)
{
    int longest = 0;
    if (text.isEmpty())
        return 0;
    for (const QRegularExpression &pattern : patterns) {
        const QRegularExpressionMatch match = pattern.match(text);
        if (match.hasMatch())
            longest = qMax(longest, qMax(1, int(match.capturedLength())));
    }
    return longest;
}

// The model name of X-AV-Client-Info (mn="BRAVIA KDL-40EX720").
QString clientInfoModel(const QByteArray &info)
{
    static const QRegularExpression pattern(
        QStringLiteral("\\bmn\\s*=\\s*\"([^\"]*)\""), QRegularExpression::CaseInsensitiveOption);
    return pattern.match(QString::fromLatin1(info)).captured(1).trimmed();
}

// Real clients' headers are a line or two; what a peer sends beyond that is not matched, so a
// long header cannot make a pattern with ".*" backtrack for long.
QString hint(const QByteArray &bytes, bool utf8)
{
    const QByteArray head = bytes.left(maxHintLength);
    return utf8 ? QString::fromUtf8(head) : QString::fromLatin1(head);
}

} // namespace

QString ClientHints::displayName() const
{
    QString name = QString::fromUtf8(friendlyName).trimmed();
    if (name.isEmpty())
        name = clientInfoModel(clientInfo);
    if (name.isEmpty() && !model.isEmpty())
        name = QString(manufacturer + QLatin1Char(' ') + model).trimmed();
    if (name.isEmpty())
        name = QString::fromLatin1(userAgent).section(QLatin1Char(' '), 0, 0);
    // Shown in a list: short, one line.
    name.replace(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\x7f]")), QStringLiteral(" "));
    return name.left(80);
}

ClientProfiles::ClientProfiles()
{
    m_fallback.id = QLatin1String(genericId);
    m_fallback.name = QStringLiteral("Plays everything");
    m_fallback.playsEverything = true;
    loadFolder(QStringLiteral(":/profiles"));
}

QString ClientProfiles::userFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation)
        + QLatin1String("/profiles");
}

void ClientProfiles::loadFolder(const QString &folder)
{
    const QDir dir(folder);
    const QStringList names
        = dir.entryList({ QStringLiteral("*.json") }, QDir::Files | QDir::Readable, QDir::Name);
    int count = 0;
    for (const QString &name : names) {
        const QString path = dir.filePath(name);
        if (++count > maxFiles) {
            m_errors.append(path + QLatin1String(": more than ") + QString::number(maxFiles)
                + QLatin1String(" profiles in the folder; the rest are left out"));
            qCWarning(lcConvert).noquote() << m_errors.last();
            break;
        }
        QFile file(path);
        QByteArray text;
        if (file.size() > maxFileSize || !file.open(QIODevice::ReadOnly)
            || (text = file.read(maxFileSize + 1)).size() > maxFileSize) {
            m_errors.append(path + QLatin1String(": not read (larger than 256 KiB or unreadable)"));
            qCWarning(lcConvert).noquote() << m_errors.last();
            continue;
        }
        loadText(text, name.chopped(5), path);
    }
}

bool ClientProfiles::loadText(const QByteArray &text, const QString &id, const QString &where)
{
    ClientProfile profile;
    QString error;
    if (!validId(id))
        error = QStringLiteral("the file name is not a profile id (a-z, 0-9, - and _)");
    else
        ClientProfile::parse(text, id, profile, error);
    if (!error.isEmpty()) {
        m_errors.append(where + QLatin1String(": ") + error);
        qCWarning(lcConvert).noquote() << "client profile left out:" << m_errors.last();
        return false;
    }
    for (ClientProfile &known : m_profiles) {
        if (known.id == id) {
            known = profile;
            return true;
        }
    }
    m_profiles.append(profile);
    return true;
}

const ClientProfile *ClientProfiles::find(const QString &id) const
{
    for (const ClientProfile &profile : m_profiles) {
        if (profile.id == id)
            return &profile;
    }
    return nullptr;
}

const ClientProfile &ClientProfiles::generic() const
{
    const ClientProfile *profile = find(QLatin1String(genericId));
    return profile ? *profile : m_fallback;
}

const ClientProfile &ClientProfiles::everything() const
{
    const ClientProfile *profile = find(QLatin1String(everythingId));
    return profile && profile->playsEverything ? *profile : m_fallback;
}

const ClientProfile *ClientProfiles::match(const ClientHints &hints) const
{
    const QString userAgent = hint(hints.userAgent, false);
    const QString clientInfo = hint(hints.clientInfo, false);
    const QString friendlyName = hint(hints.friendlyName, true);
    const QString manufacturer = hints.manufacturer.left(maxHintLength);
    const QString modelName = hints.model.left(maxHintLength);
    const ClientProfile *best = nullptr;
    int bestLength = 0;
    for (const ClientProfile &profile : m_profiles) {
        int length = qMax(longestMatch(profile.userAgent, userAgent),
            qMax(longestMatch(profile.clientInfo, clientInfo),
                longestMatch(profile.friendlyName, friendlyName)));
        if (!manufacturer.isEmpty()) {
            for (const ClientProfile::Device &device : profile.devices) {
                const auto maker = device.manufacturer.match(manufacturer);
                const auto model = device.model.match(modelName);
                if (maker.hasMatch() && model.hasMatch())
                    length = qMax(
                        length, qMax(1, int(maker.capturedLength() + model.capturedLength())));
            }
        }
        if (length > bestLength) {
            best = &profile;
            bestLength = length;
        }
    }
    return best;
}
