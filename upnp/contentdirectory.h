#pragma once

#include "convert/decision.h"
#include "library/entryinfo.h"
#include "library/livelistings.h"
#include "upnp/itemfragments.h"
#include "upnp/objectid.h"
#include "upnp/soap.h"
#include "upnp/subtitles.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <memory>

#include "media/mediainfo.h"
#include "media/musiclibrary.h"

#include <vector>

class Bookmarks;
struct MediaFormat;
struct MusicId;
struct SearchHits;
class DirTreeInterface;
class PictureHeaders;
enum class PictureSize;
class DidlWriter;

// The ContentDirectory service over the libraries: the root holds one container per
// library, below it each library's own tree read through DirTreeInterface, so live folders
// are read at each Browse with the listing rules players get.
class ContentDirectory
{
public:
    explicit ContentDirectory(const QList<DirTreeInterface *> &libraries);
    ~ContentDirectory();

    // Where X_SetBookmark keeps positions and Browse finds them; none: neither is offered.
    void setBookmarks(Bookmarks *store) { bookmarks = store; }
    // What is known of media files (durations, tags, art); none: Browse tells file facts only.
    void setMediaInfo(MediaInfo *info)
    {
        mediaInfo = info;
        fragments.clear();
    }
    // The music views and what Search finds; none (or no media info): neither is offered.
    void setMusicLibrary(MusicLibrary *library);
    // The disk paths of the video and audio files a Browse would list (the page it asks
    // for), so their details can be read before it is answered; empty for anything else.
    QStringList mediaPathsOfBrowse(const SoapAction &action) const;
    // How a media file is described: from its streams where they are known, else its name.
    MediaFormat mediaFormat(const EntryInfo &entry, int mediaType) const;
    // The JPEG thumbnail the probe made of a video or audio file; empty when there is none.
    QByteArray ownArt(const EntryInfo &entry, int mediaType) const;

    struct FileFacts;

    // Who asks next (its address): positions are kept per client; and what it plays (none:
    // every file is offered as it is).
    void setClient(const QString &address, const ClientProfile *profile = nullptr)
    {
        client = address;
        clientProfile = profile;
    }
    // What the ffmpeg can do; conversion off: every file is offered as it is.
    void setConversion(bool enabled, const DecisionOptions &options)
    {
        converting = enabled;
        decisionOptions = options;
        fragments.clear();
    }

    // `baseUrl` ("http://address:port") is where the asking client reaches this server.
    SoapReply control(const SoapAction &action, const QByteArray &baseUrl, quint32 updateId) const;

    // The entry an id names while the library lists it; a default EntryInfo otherwise.
    EntryInfo entryFor(const ObjectId &id) const;
    // The library's media type code (1 video, 2 audio, 3 pictures), 0 for no library.
    int mediaTypeOf(const ObjectId &id) const;

    // URL paths of an item's resources; an extension tells players what it is.
    static QByteArray mediaPath(const ObjectId &id, const EntryInfo &entry);
    static QByteArray fittedPath(const ObjectId &id, PictureSize size);
    static QByteArray thumbnailPath(const ObjectId &id);
    // The same from the id already encoded.
    static QByteArray mediaPath(const QByteArray &id, const EntryInfo &entry);
    static QByteArray fittedPath(const QByteArray &id, PictureSize size);
    static QByteArray thumbnailPath(const QByteArray &id);
    static QByteArray artPath(const ObjectId &id);
    // The id a media path names after its prefix ("<id>" or "<id>.<ext>").
    static bool idFromPath(QByteArrayView rest, ObjectId *id);

private:
    SoapReply browse(const SoapAction &action, const QByteArray &baseUrl, quint32 updateId) const;
    SoapReply setBookmark(const SoapAction &action) const;
    // The music views (musicviews.cpp): their containers come first in the audio library.
    MusicLibrary *musicViews() const;
    int musicViewCount(const ObjectId &id) const;
    SoapReply browseMusic(const SoapAction &action, const MusicId &id, const QString &flag,
        int start, int requested, const QByteArray &baseUrl, quint32 updateId) const;
    void writeMusicEntry(DidlWriter &xml, int library, const MusicEntry &entry,
        const QByteArray &parentId, const QByteArray &baseUrl) const;
    // Search (search.cpp).
    SoapReply search(const SoapAction &action, const QByteArray &baseUrl, quint32 updateId) const;
    bool findHits(const QString &containerId, SearchHits *hits) const;
    // DIDL-Lite written straight into the reply; finishDidl closes it with the counts.
    static void startDidl(DidlWriter &xml);
    static void finishDidl(const SoapAction &action, SoapReply &reply, DidlWriter &xml,
        int returned, int total, quint32 updateId);
    // A folder's children as Browse shows them: a virtual level's entries, or a live folder's
    // listing in people's order.
    struct Children
    {
        QList<EntryInfo> entries;
        LiveListings::Listing live;
        LivePlace place;
        bool isLive = false;

        qsizetype size() const { return isLive ? live.size() : entries.size(); }
        EntryInfo at(qsizetype index) const
        {
            return isLive ? live.entry(index) : entries.at(index);
        }
    };
    Children children(const ObjectId &id) const;
    // How many children a folder has; for a live one only when readLive or a listing of it is
    // at hand, -1 otherwise.
    int childCount(const ObjectId &id, bool readLive) const;
    // The object's id and its parent's come encoded: a listing encodes each once.
    struct Ids
    {
        QByteArray id;
        QByteArray parentId;
        // A reference's library item, whose resources it shares.
        QByteArray refId = {};
    };
    void writeObject(DidlWriter &xml, const ObjectId &id, const Ids &ids, const EntryInfo &entry,
        const QByteArray &baseUrl, bool countLiveChildren, const FileFacts *listed = nullptr,
        bool *complete = nullptr) const;
    // An item's media details and album art, where known.
    void writeDetails(DidlWriter &xml, const ObjectId &id, const EntryInfo &entry,
        const MediaInfo::Answer &known, const QByteArray &baseUrl) const;
    MediaInfo::Answer known(const EntryInfo &entry, int mediaType) const;
    MediaInfo::Answer known(const EntryInfo &entry, int mediaType, const FileFacts &facts) const;
    static MediaFormat formatOf(
        const EntryInfo &entry, int mediaType, const MediaInfo::Answer &known);
    void writeContainer(
        DidlWriter &xml, const Ids &ids, const QString &title, int childCount) const;

    QList<DirTreeInterface *> libraries;
    // Read while describing pictures: a Browse of a folder of photos reads each header once.
    std::unique_ptr<PictureHeaders> pictureHeaders;
    Bookmarks *bookmarks = nullptr;
    QPointer<MediaInfo> mediaInfo;
    QPointer<MusicLibrary> music;
    // The matches of the last few searches, for the next pages (search.cpp).
    mutable std::vector<std::shared_ptr<SearchHits>> searches;
    // The folder whose cover picture was looked for last, and whether it has one: the items
    // of a page share their folder.
    mutable QString coverFolder;
    mutable bool coverFound = false;
    // The subtitle files of the folders this Browse has looked in.
    mutable Subtitles::Folders subtitleFolders;
    QString client;
    const ClientProfile *clientProfile = nullptr;
    bool converting = true;
    DecisionOptions decisionOptions;
    // Browse answers on the event loop, one at a time: what it keeps is its own.
    mutable LiveListings listings;
    // What items of kept listings were last written as.
    mutable ItemFragments fragments;
    // Bytes an item took in the envelope at the last Browse (with details, about 900), so the
    // answer is grown once, not by doubling.
    mutable qsizetype itemBytes = 600;
};
