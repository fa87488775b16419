#include "media/musicindex.h"

#include <QCollatorSortKey>
#include <QCryptographicHash>
#include <QLocale>
#include <QRegularExpression>

#include <algorithm>
#include <utility>

namespace {

struct ViewName
{
    MusicView view;
    const char *path;
    const char *title;
};

const ViewName viewNames[] = {
    { MusicView::Artists, "artists", "Artists" },
    { MusicView::AlbumArtists, "albumartists", "Album artists" },
    { MusicView::Albums, "albums", "Albums" },
    { MusicView::Genres, "genres", "Genres" },
    { MusicView::Tracks, "tracks", "All tracks" },
};

bool isIdText(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
            || c == '-' || c == '_';
    });
}

// 96 bits of a hash of the grouping name: short, the same on every run, and in base64url
// safe in a URL path and an object id.
QByteArray idOf(const QString &folded)
{
    return QCryptographicHash::hash(folded.toUtf8(), QCryptographicHash::Sha1)
        .left(12)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QString folded(const QString &name)
{
    return name.trimmed().toCaseFolded();
}

// The folder a track lies in, without a "CD 1" or "Disc 2" level: an album with no album
// artist tag is told from another of the same name by its folder.
QString albumFolder(const QString &key)
{
    static const QRegularExpression discFolder(
        QStringLiteral("^(cd|dis[ck])[ _-]*\\d+$"), QRegularExpression::CaseInsensitiveOption);
    QString folder = key.left(std::max<qsizetype>(0, key.lastIndexOf(QLatin1Char('/'))));
    const qsizetype cut = folder.lastIndexOf(QLatin1Char('/'));
    if (discFolder.match(QStringView(folder).sliced(cut + 1).trimmed()).hasMatch())
        folder.truncate(std::max<qsizetype>(0, cut));
    return folder.toCaseFolded();
}

QString firstOf(const QString &a, const QString &b, const char *otherwise)
{
    if (!a.trimmed().isEmpty())
        return a.trimmed();
    if (!b.trimmed().isEmpty())
        return b.trimmed();
    return QString::fromLatin1(otherwise);
}

const char *const unknownArtist = "Unknown artist";
const char *const unknownAlbum = "Unknown album";
const char *const unknownGenre = "Unknown genre";

template<typename T> QList<T> slice(const std::vector<T> &items, int start, int count)
{
    QList<T> part;
    const std::size_t from = std::min(items.size(), std::size_t(std::max(0, start)));
    const std::size_t to
        = count <= 0 ? items.size() : std::min(items.size(), from + std::size_t(count));
    for (std::size_t i = from; i < to; ++i)
        part.append(items[i]);
    return part;
}

} // namespace

QByteArray MusicContainer::toPath() const
{
    QByteArray path;
    for (const ViewName &name : viewNames) {
        if (name.view == view)
            path = name.path;
    }
    if (!group.isEmpty())
        path += '/' + group;
    if (!album.isEmpty())
        path += '/' + album;
    return path;
}

bool MusicContainer::fromPath(QByteArrayView path, MusicContainer *container)
{
    const QList<QByteArray> parts = path.toByteArray().split('/');
    MusicContainer found;
    bool known = false;
    for (const ViewName &name : viewNames) {
        if (parts.front() == name.path) {
            found.view = name.view;
            known = true;
        }
    }
    const int depth = found.view == MusicView::Tracks ? 1 : found.view == MusicView::Albums ? 2 : 3;
    if (!known || parts.size() > depth || !std::all_of(parts.begin() + 1, parts.end(), isIdText))
        return false;
    if (parts.size() > 1)
        found.group = parts.at(1);
    if (parts.size() > 2)
        found.album = parts.at(2);
    *container = found;
    return true;
}

MusicIndex::MusicIndex()
    // The C locale collates by code units alone, without numbers or case: a service started
    // without a language set would sort "Track 10" before "Track 2" and "Zoo" before "apple".
    : collator(QLocale().language() == QLocale::C ? QLocale(QLocale::English) : QLocale())
{
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
}

MusicIndex::~MusicIndex() = default;

void MusicIndex::insert(const QString &key, const MediaDetails &details)
{
    remove(key);
    int index = 0;
    if (freeTracks.empty()) {
        index = int(tracks.size());
        tracks.emplace_back();
    } else {
        index = freeTracks.back();
        freeTracks.pop_back();
    }
    Track &track = tracks[std::size_t(index)];
    track.key = key;
    track.title = details.title.trimmed();
    track.disc = details.disc;
    track.number = details.track;
    byKey.insert(key, index);

    const QString artist = firstOf(details.artist, details.albumArtist, unknownArtist);
    const QString albumArtist = firstOf(details.albumArtist, details.artist, unknownArtist);
    const QString genre = firstOf(details.genre, QString(), unknownGenre);
    track.group[ArtistTable] = join(ArtistTable, folded(artist), artist, index);
    track.group[AlbumArtistTable] = join(AlbumArtistTable, folded(albumArtist), albumArtist, index);
    track.group[GenreTable] = join(GenreTable, folded(genre), genre, index);
    // Untagged tracks share one album; a named album is told apart by its album artist, or
    // failing that by its folder.
    const QString album = details.album.trimmed();
    const QString albumKey = album.isEmpty() ? QString()
                                             : album.toCaseFolded() + QChar(0x1f)
            + (details.albumArtist.trimmed().isEmpty() ? albumFolder(key)
                                                       : folded(details.albumArtist));
    const int albumGroup = join(
        AlbumTable, albumKey, album.isEmpty() ? QString::fromLatin1(unknownAlbum) : album, index);
    track.group[AlbumTable] = albumGroup;
    Group &albumSlot = groups[AlbumTable].items[std::size_t(albumGroup)];
    if (albumSlot.members.size() == 1 && !album.isEmpty())
        albumSlot.artist = albumArtist;

    track.position[TableCount] = int(allTracks.size());
    allTracks.push_back(index);
    allSorted = false;
}

bool MusicIndex::remove(const QString &key)
{
    const auto found = byKey.constFind(key);
    if (found == byKey.constEnd())
        return false;
    const int index = *found;
    byKey.erase(found);
    for (int table = 0; table < TableCount; ++table)
        leave(Table(table), tracks[std::size_t(index)].group[table], index);

    const int at = tracks[std::size_t(index)].position[TableCount];
    const int moved = allTracks.back();
    allTracks[std::size_t(at)] = moved;
    tracks[std::size_t(moved)].position[TableCount] = at;
    allTracks.pop_back();
    allSorted = false;

    tracks[std::size_t(index)] = Track {};
    freeTracks.push_back(index);
    return true;
}

bool MusicIndex::contains(const QString &key) const
{
    return byKey.contains(key);
}

int MusicIndex::trackCount() const
{
    return int(byKey.size());
}

int MusicIndex::join(Table table, const QString &foldedName, const QString &name, int track)
{
    Groups &all = groups[table];
    int index = all.byFolded.value(foldedName, -1);
    if (index < 0) {
        if (all.freeSlots.empty()) {
            index = int(all.items.size());
            all.items.emplace_back();
        } else {
            index = all.freeSlots.back();
            all.freeSlots.pop_back();
        }
        Group &group = all.items[std::size_t(index)];
        group.name = name;
        group.folded = foldedName;
        group.id = idOf(foldedName);
        all.byFolded.insert(foldedName, index);
        all.byId.insert(group.id, index);
        all.orderValid = false;
    }
    Group &group = all.items[std::size_t(index)];
    tracks[std::size_t(track)].position[table] = int(group.members.size());
    group.members.push_back(track);
    group.membersSorted = false;
    return index;
}

void MusicIndex::leave(Table table, int index, int track)
{
    Groups &all = groups[table];
    Group &group = all.items[std::size_t(index)];
    const int at = tracks[std::size_t(track)].position[table];
    const int moved = group.members.back();
    group.members[std::size_t(at)] = moved;
    tracks[std::size_t(moved)].position[table] = at;
    group.members.pop_back();
    group.membersSorted = false;
    if (!group.members.empty())
        return;
    all.byFolded.remove(group.folded);
    all.byId.remove(group.id);
    group = Group {};
    all.freeSlots.push_back(index);
    all.orderValid = false;
}

const MusicIndex::Group *MusicIndex::find(Table table, const QByteArray &id) const
{
    const int index = groups[table].byId.value(id, -1);
    return index < 0 ? nullptr : &groups[table].items[std::size_t(index)];
}

// Groups of the same name (albums of other artists) by their artist, then by id: the same order
// on every run.
bool MusicIndex::before(const Group &a, const QCollatorSortKey &aKey, const Group &b,
    const QCollatorSortKey &bKey) const
{
    int order = aKey.compare(bKey);
    if (order == 0)
        order = collator.compare(a.artist, b.artist);
    return order != 0 ? order < 0 : a.id < b.id;
}

const std::vector<int> &MusicIndex::groupOrder(Table table) const
{
    Groups &all = groups[table];
    if (all.orderValid)
        return all.order;
    // A collation key per name, made once for the sort.
    std::vector<std::pair<QCollatorSortKey, int>> keyed;
    keyed.reserve(all.byId.size());
    for (std::size_t i = 0; i < all.items.size(); ++i) {
        if (!all.items[i].members.empty())
            keyed.emplace_back(collator.sortKey(all.items[i].name), int(i));
    }
    std::sort(keyed.begin(), keyed.end(), [this, &all](const auto &a, const auto &b) {
        return before(
            all.items[std::size_t(a.second)], a.first, all.items[std::size_t(b.second)], b.first);
    });
    all.order.clear();
    for (const auto &entry : keyed)
        all.order.push_back(entry.second);
    all.orderValid = true;
    return all.order;
}

const std::vector<int> &MusicIndex::albumTracks(int album) const
{
    Group &group = groups[AlbumTable].items[std::size_t(album)];
    if (group.membersSorted)
        return group.members;
    std::sort(group.members.begin(), group.members.end(), [this](int a, int b) {
        const Track &first = tracks[std::size_t(a)];
        const Track &second = tracks[std::size_t(b)];
        if (first.disc != second.disc)
            return first.disc < second.disc;
        if (first.number != second.number)
            return first.number < second.number;
        const int order = collator.compare(titleOf(first), titleOf(second));
        return order != 0 ? order < 0 : first.key < second.key;
    });
    for (std::size_t i = 0; i < group.members.size(); ++i)
        tracks[std::size_t(group.members[i])].position[AlbumTable] = int(i);
    group.membersSorted = true;
    return group.members;
}

const std::vector<int> &MusicIndex::allInOrder() const
{
    if (allSorted)
        return allTracks;
    std::vector<std::pair<QCollatorSortKey, int>> keyed;
    keyed.reserve(allTracks.size());
    for (const int track : allTracks)
        keyed.emplace_back(collator.sortKey(titleOf(tracks[std::size_t(track)])), track);
    std::sort(keyed.begin(), keyed.end(), [this](const auto &a, const auto &b) {
        const int order = a.first.compare(b.first);
        if (order != 0)
            return order < 0;
        return tracks[std::size_t(a.second)].key < tracks[std::size_t(b.second)].key;
    });
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        allTracks[i] = keyed[i].second;
        tracks[std::size_t(keyed[i].second)].position[TableCount] = int(i);
    }
    allSorted = true;
    return allTracks;
}

std::vector<int> MusicIndex::albumsOf(Table table, int group) const
{
    std::vector<int> albums;
    for (const int track : groups[table].items[std::size_t(group)].members)
        albums.push_back(tracks[std::size_t(track)].group[AlbumTable]);
    std::sort(albums.begin(), albums.end());
    albums.erase(std::unique(albums.begin(), albums.end()), albums.end());
    // In the albums' display order.
    const std::vector<int> &order = groupOrder(AlbumTable);
    if (albums.size() * 8 < order.size()) {
        std::vector<std::pair<QCollatorSortKey, int>> keyed;
        for (const int album : albums)
            keyed.emplace_back(
                collator.sortKey(groups[AlbumTable].items[std::size_t(album)].name), album);
        const std::vector<Group> &albumGroups = groups[AlbumTable].items;
        std::sort(keyed.begin(), keyed.end(), [&](const auto &a, const auto &b) {
            return before(albumGroups[std::size_t(a.second)], a.first,
                albumGroups[std::size_t(b.second)], b.first);
        });
        for (std::size_t i = 0; i < keyed.size(); ++i)
            albums[i] = keyed[i].second;
        return albums;
    }
    std::vector<int> ordered;
    for (const int album : order) {
        if (std::binary_search(albums.begin(), albums.end(), album))
            ordered.push_back(album);
    }
    return ordered;
}

QString MusicIndex::titleOf(const Track &track) const
{
    if (!track.title.isEmpty())
        return track.title;
    QString name = track.key.mid(track.key.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot > 0)
        name.truncate(dot);
    return name;
}

MusicEntry MusicIndex::groupEntry(MusicView view, Table table, int index) const
{
    const Group &group = groups[table].items[std::size_t(index)];
    MusicEntry entry;
    entry.container = MusicContainer { view, group.id, {} };
    entry.title = group.name;
    if (table == AlbumTable) {
        entry.upnpClass = QStringLiteral("object.container.album.musicAlbum");
        entry.artist = group.artist;
        entry.childCount = int(group.members.size());
        entry.trackKey = tracks[std::size_t(albumTracks(index).front())].key;
        return entry;
    }
    entry.upnpClass = table == GenreTable ? QStringLiteral("object.container.genre.musicGenre")
                                          : QStringLiteral("object.container.person.musicArtist");
    const std::vector<int> albums = albumsOf(table, index);
    entry.childCount = int(albums.size());
    for (const int track : albumTracks(albums.front())) {
        if (tracks[std::size_t(track)].group[table] == index) {
            entry.trackKey = tracks[std::size_t(track)].key;
            break;
        }
    }
    return entry;
}

MusicEntry MusicIndex::albumEntry(
    const MusicContainer &parent, Table table, int group, int album) const
{
    const Group &slot = groups[AlbumTable].items[std::size_t(album)];
    MusicEntry entry;
    entry.container = MusicContainer { parent.view, parent.group, slot.id };
    entry.title = slot.name;
    entry.upnpClass = QStringLiteral("object.container.album.musicAlbum");
    entry.artist = slot.artist;
    for (const int track : albumTracks(album)) {
        if (tracks[std::size_t(track)].group[table] != group)
            continue;
        if (entry.childCount++ == 0)
            entry.trackKey = tracks[std::size_t(track)].key;
    }
    return entry;
}

MusicEntry MusicIndex::trackEntry(int track) const
{
    MusicEntry entry;
    entry.isTrack = true;
    entry.trackKey = tracks[std::size_t(track)].key;
    entry.title = titleOf(tracks[std::size_t(track)]);
    entry.upnpClass = QStringLiteral("object.item.audioItem.musicTrack");
    return entry;
}

namespace {

// The table a view's groups come from; none for the tracks.
int tableOf(MusicView view)
{
    switch (view) {
    case MusicView::Artists:
        return 0;
    case MusicView::AlbumArtists:
        return 1;
    case MusicView::Albums:
        return 2;
    case MusicView::Genres:
        return 3;
    case MusicView::Tracks:
        break;
    }
    return -1;
}

} // namespace

std::optional<MusicIndex::Tags> MusicIndex::tags(const QString &key) const
{
    const auto found = byKey.constFind(key);
    if (found == byKey.constEnd())
        return std::nullopt;
    const Track &track = tracks[std::size_t(*found)];
    const auto name = [&track, this](Table table) {
        return groups[table].items[std::size_t(track.group[table])].name;
    };
    return Tags { track.title, name(ArtistTable), name(AlbumTable), name(GenreTable),
        track.number };
}

QStringList MusicIndex::keys() const
{
    QStringList all;
    all.reserve(qsizetype(allTracks.size()));
    for (const int track : allInOrder())
        all.append(tracks[std::size_t(track)].key);
    return all;
}

QList<MusicEntry> MusicIndex::views() const
{
    QList<MusicEntry> entries;
    for (const ViewName &name : viewNames)
        entries.append(*entry(MusicContainer { name.view, {}, {} }));
    return entries;
}

std::optional<MusicEntry> MusicIndex::entry(const MusicContainer &container) const
{
    const int table = tableOf(container.view);
    if (container.group.isEmpty()) {
        MusicEntry entry;
        entry.container = container;
        for (const ViewName &name : viewNames) {
            if (name.view == container.view)
                entry.title = QString::fromLatin1(name.title);
        }
        entry.upnpClass = QStringLiteral("object.container");
        entry.childCount = table < 0 ? int(allTracks.size()) : int(groups[table].byId.size());
        return entry;
    }
    if (table < 0)
        return std::nullopt;
    const Group *group = find(Table(table), container.group);
    if (!group)
        return std::nullopt;
    const int index = int(group - groups[table].items.data());
    if (container.album.isEmpty())
        return groupEntry(container.view, Table(table), index);
    const Group *album = table == AlbumTable ? nullptr : find(AlbumTable, container.album);
    if (!album)
        return std::nullopt;
    MusicEntry entry
        = albumEntry(container, Table(table), index, int(album - groups[AlbumTable].items.data()));
    if (entry.childCount == 0)
        return std::nullopt;
    return entry;
}

QList<MusicEntry> MusicIndex::children(
    const MusicContainer &container, int start, int count, int *total) const
{
    *total = 0;
    if (!entry(container))
        return {};
    const int table = tableOf(container.view);
    std::vector<int> items;
    QList<MusicEntry> entries;
    if (table < 0) {
        const std::vector<int> &all = allInOrder();
        *total = int(all.size());
        for (const int track : slice(all, start, count))
            entries.append(trackEntry(track));
        return entries;
    }
    if (container.group.isEmpty()) {
        const std::vector<int> &order = groupOrder(Table(table));
        *total = int(order.size());
        for (const int group : slice(order, start, count))
            entries.append(groupEntry(container.view, Table(table), group));
        return entries;
    }
    const int group = groups[table].byId.value(container.group);
    if (table == AlbumTable) {
        const std::vector<int> &members = albumTracks(group);
        *total = int(members.size());
        for (const int track : slice(members, start, count))
            entries.append(trackEntry(track));
        return entries;
    }
    if (container.album.isEmpty()) {
        const std::vector<int> albums = albumsOf(Table(table), group);
        *total = int(albums.size());
        for (const int album : slice(albums, start, count))
            entries.append(albumEntry(container, Table(table), group, album));
        return entries;
    }
    for (const int track : albumTracks(groups[AlbumTable].byId.value(container.album))) {
        if (tracks[std::size_t(track)].group[table] == group)
            items.push_back(track);
    }
    *total = int(items.size());
    for (const int track : slice(items, start, count))
        entries.append(trackEntry(track));
    return entries;
}
