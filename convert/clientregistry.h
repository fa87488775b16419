#pragma once

#include "convert/clientprofiles.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

// The user's choice of profile for one client, as the settings store it.
struct ClientOverride
{
    // An address ("192.168.1.20") or a client's name as displayName() gives it.
    QString client;
    // A profile id; "everything" plays everything as it is.
    QString profile;

    bool operator==(const ClientOverride &other) const
    {
        return client == other.client && profile == other.profile;
    }
};

// Which profile serves each client address. Requests that carry nothing to recognise (many
// clients send their User-Agent only with some requests) get what the address was last
// recognised as; the user's overrides go first. At most `capacity` addresses are remembered;
// the one seen longest ago is forgotten first.
class ClientRegistry
{
public:
    struct Seen
    {
        QString address;
        QString name;
        QString profile;
        QDateTime lastSeen;
    };

    explicit ClientRegistry(const ClientProfiles &profiles, int capacity = 256);

    // The profile for a request from `address` with those hints; remembers what it learns.
    const ClientProfile &recognise(const QString &address, const ClientHints &hints);

    // The clients seen, most recently seen first (for the settings dialog).
    QList<Seen> seen() const;

    void setOverrides(const QList<ClientOverride> &overrides);
    QList<ClientOverride> overrides() const { return m_overrides; }
    // Sets (or with an empty profile, removes) the override of one address or name.
    void setOverride(const QString &client, const QString &profile);

private:
    struct Entry
    {
        QString name;
        QString profile;
        QDateTime lastSeen;
        quint64 order = 0;
    };
    const ClientProfile *overrideFor(const QString &client) const;
    void forgetOldest();

    const ClientProfiles &m_profiles;
    int m_capacity;
    quint64 m_counter = 0;
    QHash<QString, Entry> m_entries;
    QList<ClientOverride> m_overrides;
};
