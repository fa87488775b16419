#include "library/livelistings.h"

#include <QCollatorSortKey>
#include <QDateTime>
#include <QLocale>

#include <algorithm>

namespace {

QString keyOf(const LivePlace &place)
{
    // No component of a path holds a NUL.
    return place.root + QChar(0) + place.relative + QChar(0) + place.filter;
}

QCollator peopleCollator()
{
    // The "C" locale compares code units: people's order needs a language's rules.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    return collator;
}

} // namespace

EntryInfo LiveListings::Listing::entry(qsizetype index) const
{
    const QString &name = names.at(index);
    return EntryInfo::listed(root, prefix + name, name, index < folderCount);
}

bool LiveListings::Listing::isReadable(qsizetype index) const
{
    return !kept || (directory && directory->isReadable(names.at(index)));
}

bool LiveListings::Listing::fileStatus(
    qsizetype index, qint64 *size, qint64 *modifiedMs, qint64 *changedMs) const
{
    return directory && directory->fileStatus(names.at(index), size, modifiedMs, changedMs);
}

LiveListings::LiveListings(int maxFolders, qsizetype maxNames, qint64 settleMs)
    : maxFolders(maxFolders)
    , maxNames(maxNames)
    , settleMs(settleMs)
    , collator(peopleCollator())
{ }

void LiveListings::sortForPeople(QStringList *names) const
{
    // One key per name, compared as bytes: a comparison through the collator for each pair
    // costs far more in a large folder.
    struct Keyed
    {
        QCollatorSortKey key;
        qsizetype index;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(std::size_t(names->size()));
    for (qsizetype i = 0; i < names->size(); ++i)
        keyed.push_back({ collator.sortKey(names->at(i)), i });
    std::sort(keyed.begin(), keyed.end(), [names](const Keyed &a, const Keyed &b) {
        const int order = a.key.compare(b.key);
        return order != 0 ? order < 0 : names->at(a.index) < names->at(b.index);
    });
    QStringList sorted;
    sorted.reserve(names->size());
    for (const Keyed &item : keyed)
        sorted.append(names->at(item.index));
    *names = std::move(sorted);
}

bool LiveListings::listing(const LivePlace &place, Listing *listing)
{
    const QString key = keyOf(place);
    const auto found
        = std::find_if(kept.begin(), kept.end(), [&](const Kept &item) { return item.key == key; });
    LiveDirectory::Stamp now;
    if (found != kept.end()) {
        auto directory = std::make_shared<LiveDirectory::Directory>(place.root, place.relative);
        if (directory->stamp(&now) && now.sameAs(found->stamp)) {
            *listing = found->listing;
            listing->directory = std::move(directory);
            std::rotate(found, found + 1, kept.end());
            return true;
        }
        kept.erase(found);
    }

    QStringList folders;
    QStringList files;
    QString path;
    // A file's change time is read from a coarse clock that may lag this one by a tick or
    // two: only changes well before the reading are known to have been seen by it.
    const qint64 checkedBefore = QDateTime::currentMSecsSinceEpoch() - settleMs;
    if (!LiveDirectory::readNames(
            place.root, place.relative, place.filter, &folders, &files, &path, &now)) {
        *listing = Listing();
        return false;
    }
    sortForPeople(&folders);
    sortForPeople(&files);
    Listing read;
    read.root = place.root;
    read.prefix = path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
    read.folderCount = folders.size();
    read.checkedBefore = checkedBefore;
    read.reading = ++readings;
    read.names = std::move(folders);
    read.names += files;
    *listing = read;
    // Held for the answer: each file's facts are asked of it by name.
    listing->directory = std::make_shared<LiveDirectory::Directory>(place.root, place.relative);

    // A listing read within a tick of the folder's last change may miss a change that
    // leaves the stamp as it is: used once, never kept.
    const qint64 changed = std::max(now.modified, now.changed) / 1'000'000;
    if (changed == 0 || QDateTime::currentMSecsSinceEpoch() - changed < settleMs
        || read.size() > maxNames)
        return true;
    read.kept = true;
    kept.push_back(Kept { key, now, std::move(read) });
    qsizetype total = 0;
    for (const Kept &item : kept)
        total += item.listing.size();
    while (kept.size() > std::size_t(maxFolders) || total > maxNames) {
        total -= kept.front().listing.size();
        kept.erase(kept.begin());
    }
    return true;
}

int LiveListings::keptCount(const LivePlace &place) const
{
    const QString key = keyOf(place);
    for (const Kept &item : kept) {
        LiveDirectory::Stamp now;
        if (item.key == key)
            return LiveDirectory::Directory(place.root, place.relative).stamp(&now)
                    && now.sameAs(item.stamp)
                ? int(item.listing.size())
                : -1;
    }
    return -1;
}

void LiveListings::forget(const LivePlace &place)
{
    const QString key = keyOf(place);
    kept.erase(
        std::remove_if(kept.begin(), kept.end(), [&](const Kept &item) { return item.key == key; }),
        kept.end());
}
