#pragma once

#include "media/mediadetails.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QCollator>
#include <QCollatorSortKey>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// The ways into the audio library by its tags.
enum class MusicView { Artists, AlbumArtists, Albums, Genres, Tracks };

// A container of the music views: a view, one of its groups (an artist, album artist, album or
// genre) and, below an artist or genre, one of its albums. Written as a path of ASCII letters,
// digits, "-", "_" and "/" ("artists/<artist>/<album>"), safe in a URL and an object id, and the
// same across restarts: group ids come from the names, not from the order tracks came in.
struct MusicContainer
{
    MusicView view = MusicView::Artists;
    // Empty: the view itself.
    QByteArray group;
    // An album below an artist, album artist or genre.
    QByteArray album;

    QByteArray toPath() const;
    // False when the text is no path toPath() makes.
    static bool fromPath(QByteArrayView path, MusicContainer *container);
    bool operator==(const MusicContainer &other) const
    {
        return view == other.view && group == other.group && album == other.album;
    }
};

// One child in the music views: a container, or a track named by its key.
struct MusicEntry
{
    MusicContainer container;
    // A container's title and UPnP class ("object.container.album.musicAlbum").
    QString title;
    QString upnpClass;
    // An album's artist: its album artist tag, else the artist of its first track seen.
    QString artist;
    int childCount = 0;
    // A track's key; for a container the first of its tracks in order (for its cover art).
    QString trackKey;
    bool isTrack = false;
};

// The music views over the tracks of an audio library, kept up to date one track at a time.
// Names are grouped without regard to case and surrounding blanks, and shown as first seen;
// a track without the tag goes under "Unknown artist", "Unknown album" or "Unknown genre".
// Containers are listed in natural order, without regard to case or accents; an album's tracks
// by disc, track number, then title.
class MusicIndex
{
public:
    MusicIndex();
    ~MusicIndex();
    MusicIndex(const MusicIndex &) = delete;
    MusicIndex &operator=(const MusicIndex &) = delete;

    // Adds the track under key (its library path), or replaces what was known of it.
    void insert(const QString &key, const MediaDetails &details);
    // False when no track has that key.
    bool remove(const QString &key);
    bool contains(const QString &key) const;
    int trackCount() const;

    // A track's tags as the views group them ("Unknown artist" for an untagged one), for
    // Search to test without reading the file again.
    struct Tags
    {
        // Empty when untagged.
        QString title;
        QString artist;
        QString album;
        QString genre;
        int number = 0;
    };
    std::optional<Tags> tags(const QString &key) const;
    // Every track's key, in the order of "All tracks".
    QStringList keys() const;

    // The five views, as the containers to show beside the libraries.
    QList<MusicEntry> views() const;
    // What a container is now, or nothing when it is gone (its last track removed).
    std::optional<MusicEntry> entry(const MusicContainer &container) const;
    // The children of a container, from start, at most count of them (all when count <= 0);
    // total gets how many there are.
    QList<MusicEntry> children(
        const MusicContainer &container, int start, int count, int *total) const;

private:
    enum Table { ArtistTable, AlbumArtistTable, AlbumTable, GenreTable, TableCount };

    struct Group
    {
        QString name;
        QByteArray id;
        QString folded;
        // Albums: the artist to show.
        QString artist;
        std::vector<int> members;
        bool membersSorted = true;
    };

    struct Track
    {
        QString key;
        // Empty when untagged: the file's name is shown then.
        QString title;
        int disc = 0;
        int number = 0;
        int group[TableCount] = {};
        // Where the track sits in each group's members, and in allTracks.
        int position[TableCount + 1] = {};
    };

    struct Groups
    {
        std::vector<Group> items;
        std::vector<int> freeSlots;
        QHash<QString, int> byFolded;
        QHash<QByteArray, int> byId;
        // Live items in display order; rebuilt when a group comes or goes.
        mutable std::vector<int> order;
        mutable bool orderValid = true;
    };

    int join(Table table, const QString &folded, const QString &name, int track);
    void leave(Table table, int group, int track);
    const Group *find(Table table, const QByteArray &id) const;
    bool before(const Group &a, const QCollatorSortKey &aKey, const Group &b,
        const QCollatorSortKey &bKey) const;
    const std::vector<int> &groupOrder(Table table) const;
    const std::vector<int> &albumTracks(int album) const;
    const std::vector<int> &allInOrder() const;
    std::vector<int> albumsOf(Table table, int group) const;
    QString titleOf(const Track &track) const;
    MusicEntry groupEntry(MusicView view, Table table, int group) const;
    MusicEntry albumEntry(const MusicContainer &parent, Table table, int group, int album) const;
    MusicEntry trackEntry(int track) const;

    mutable std::vector<Track> tracks;
    std::vector<int> freeTracks;
    QHash<QString, int> byKey;
    mutable Groups groups[TableCount];
    mutable std::vector<int> allTracks;
    mutable bool allSorted = true;
    QCollator collator;
};
