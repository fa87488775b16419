#include "convert/clientregistry.h"
#include "convert/convertlog.h"

#include <algorithm>

namespace {

// The settings file is the user's; a runaway list in it must not grow without end.
constexpr int maxOverrides = 1024;

} // namespace

ClientRegistry::ClientRegistry(const ClientProfiles &profiles, int capacity)
    : m_profiles(profiles)
    , m_capacity(qMax(1, capacity))
{ }

const ClientProfile *ClientRegistry::overrideFor(const QString &client) const
{
    if (client.isEmpty())
        return nullptr;
    for (const ClientOverride &entry : m_overrides) {
        if (entry.client == client) {
            // A profile that no longer loads leaves the client recognised as usual.
            if (entry.profile == QLatin1String(ClientProfiles::everythingId))
                return &m_profiles.everything();
            return m_profiles.find(entry.profile);
        }
    }
    return nullptr;
}

const ClientProfile &ClientRegistry::recognise(const QString &address, const ClientHints &hints)
{
    auto it = m_entries.find(address);
    if (it == m_entries.end()) {
        if (m_entries.size() >= m_capacity)
            forgetOldest();
        it = m_entries.insert(address, Entry());
    }
    Entry &entry = *it;
    entry.lastSeen = QDateTime::currentDateTimeUtc();
    entry.order = ++m_counter;

    const QString name = hints.displayName();
    if (!name.isEmpty())
        entry.name = name;
    const ClientProfile *matched = m_profiles.match(hints);
    if (matched) {
        if (entry.profile != matched->id)
            qCInfo(lcConvert).noquote() << address << "is" << matched->name;
        entry.profile = matched->id;
    }

    if (const ClientProfile *chosen = overrideFor(address))
        return *chosen;
    if (const ClientProfile *chosen = overrideFor(entry.name))
        return *chosen;
    if (const ClientProfile *known = m_profiles.find(entry.profile))
        return *known;
    return m_profiles.generic();
}

void ClientRegistry::forgetOldest()
{
    auto oldest = m_entries.begin();
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->order < oldest->order)
            oldest = it;
    }
    if (oldest != m_entries.end())
        m_entries.erase(oldest);
}

QList<ClientRegistry::Seen> ClientRegistry::seen() const
{
    QList<QPair<quint64, Seen>> list;
    for (auto it = m_entries.constBegin(); it != m_entries.constEnd(); ++it) {
        const QString profile
            = it->profile.isEmpty() ? QLatin1String(ClientProfiles::genericId) : it->profile;
        list.append({ it->order, Seen { it.key(), it->name, profile, it->lastSeen } });
    }
    std::sort(
        list.begin(), list.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    QList<Seen> result;
    for (const auto &pair : list)
        result.append(pair.second);
    return result;
}

void ClientRegistry::setOverrides(const QList<ClientOverride> &overrides)
{
    m_overrides.clear();
    for (const ClientOverride &entry : overrides) {
        if (!entry.client.isEmpty() && !entry.profile.isEmpty())
            setOverride(entry.client, entry.profile);
    }
}

void ClientRegistry::setOverride(const QString &client, const QString &profile)
{
    const auto same = [&](const ClientOverride &entry) { return entry.client == client; };
    m_overrides.erase(
        std::remove_if(m_overrides.begin(), m_overrides.end(), same), m_overrides.end());
    if (client.isEmpty() || profile.isEmpty())
        return;
    if (m_overrides.size() >= maxOverrides) {
        qCWarning(lcConvert) << "more than" << maxOverrides << "client profile choices; the rest"
                             << "are left out";
        return;
    }
    m_overrides.append({ client, profile });
}
