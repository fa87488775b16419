#pragma once

#include "library/entryinfo.h"
#include "upnp/objectid.h"
#include "upnp/soap.h"

#include <QByteArray>
#include <QList>
#include <memory>

class Bookmarks;
class DirTreeInterface;
class PictureHeaders;
enum class PictureSize;
class QXmlStreamWriter;

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
    // Who asks next (its address): positions are kept per client.
    void setClient(const QString &address) { client = address; }

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
    // The id a media path names after its prefix ("<id>" or "<id>.<ext>").
    static bool idFromPath(QByteArrayView rest, ObjectId *id);

private:
    SoapReply browse(const SoapAction &action, const QByteArray &baseUrl, quint32 updateId) const;
    SoapReply setBookmark(const SoapAction &action) const;
    QList<EntryInfo> children(const ObjectId &id) const;
    void writeObject(QXmlStreamWriter &xml, const ObjectId &id, const EntryInfo &entry,
        const QByteArray &baseUrl, bool countLiveChildren) const;
    void writeContainer(
        QXmlStreamWriter &xml, const ObjectId &id, const QString &title, int childCount) const;

    QList<DirTreeInterface *> libraries;
    // Read while describing pictures: a Browse of a folder of photos reads each header once.
    std::unique_ptr<PictureHeaders> pictureHeaders;
    Bookmarks *bookmarks = nullptr;
    QString client;
};
