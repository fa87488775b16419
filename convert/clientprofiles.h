#pragma once

#include "convert/clientprofile.h"

#include <QList>
#include <QString>
#include <QStringList>

// What a request (or the device description of its sender) tells of the client.
struct ClientHints
{
    QByteArray userAgent;
    // X-AV-Client-Info: av=5.0; cn="Sony Corporation"; mn="BRAVIA KDL-40EX720"; ...
    QByteArray clientInfo;
    // FriendlyName.DLNA.ORG
    QByteArray friendlyName;
    // From the client's own device description, where it has one.
    QString manufacturer;
    QString model;

    bool isEmpty() const
    {
        return userAgent.isEmpty() && clientInfo.isEmpty() && friendlyName.isEmpty()
            && manufacturer.isEmpty() && model.isEmpty();
    }
    // A name to show the user: the friendly name, the model the client info or description
    // names, else the User-Agent's first word.
    QString displayName() const;
};

// Every client profile: the ones built in (":/profiles/*.json"), then those of a folder of the
// user's, which replace a built-in of the same file name or add to them. A file that does not
// read is reported (errors(), and a warning) and left out; the rest still load. Load before
// profiles are handed out: a later load may move them.
class ClientProfiles
{
public:
    static constexpr const char *genericId = "generic";
    static constexpr const char *everythingId = "everything";

    // The built-in profiles only.
    ClientProfiles();
    // Where a user's own profiles go: "profiles" in the per-user configuration folder
    // (~/.config/hearth/profiles on Linux).
    static QString userFolder();
    // Adds or replaces from `folder` (its *.json files; a missing folder adds nothing).
    void loadFolder(const QString &folder);
    // One file's text, as if read from `id`.json.
    bool loadText(const QByteArray &text, const QString &id, const QString &where);

    QStringList errors() const { return m_errors; }
    QList<ClientProfile> all() const { return m_profiles; }
    // The profile of that id, or nullptr.
    const ClientProfile *find(const QString &id) const;
    // For the unknown client. Always there: without a generic file, a profile that plays
    // everything as it is (what the server did before it knew any client).
    const ClientProfile &generic() const;
    const ClientProfile &everything() const;

    // The profile whose patterns match the hints; where several do, the one that matched the
    // longest text (the most particular). nullptr when none does.
    const ClientProfile *match(const ClientHints &hints) const;

private:
    QList<ClientProfile> m_profiles;
    QStringList m_errors;
    ClientProfile m_fallback;
};
