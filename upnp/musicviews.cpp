#include "upnp/musicviews.h"

#include "library/dirtreeinterface.h"
#include "media/sidecars.h"
#include "upnp/contentdirectory.h"
#include "upnp/didlwriter.h"
#include "upnp/search.h"

namespace {

constexpr auto encoding = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

const QString upnpNamespace = QStringLiteral("urn:schemas-upnp-org:metadata-1-0/upnp/");
const QString dlnaNamespace = QStringLiteral("urn:schemas-dlna-org:metadata-1-0/");

} // namespace

bool MusicId::parse(QByteArrayView text, MusicId *id)
{
    if (text.size() < 3 || text.at(0) < '1' || text.at(0) > '9' || text.at(1) != ':')
        return false;
    const QByteArrayView rest = text.sliced(2);
    const qsizetype colon = rest.indexOf(':');
    const QByteArrayView path = colon < 0 ? rest : rest.first(colon);
    MusicId found;
    found.library = text.at(0) - '1';
    // One spelling per container, as for library ids.
    if (!MusicContainer::fromPath(path, &found.container) || found.container.toPath() != path)
        return false;
    if (colon >= 0) {
        const QByteArray encoded = rest.sliced(colon + 1).toByteArray();
        const auto decoded = QByteArray::fromBase64Encoding(
            encoded, encoding | QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.isEmpty())
            return false;
        found.trackKey = QString::fromUtf8(decoded.decoded);
        if (found.trackKey.toUtf8().toBase64(encoding) != encoded)
            return false;
    }
    *id = found;
    return true;
}

QByteArray MusicId::containerId(int library, const MusicContainer &container)
{
    return QByteArray::number(library + 1) + ':' + container.toPath();
}

QByteArray MusicId::trackId(const QByteArray &containerId, const QString &key)
{
    return containerId + ':' + key.toUtf8().toBase64(encoding);
}

QByteArray MusicId::toByteArray() const
{
    const QByteArray id = containerId(library, container);
    return trackKey.isEmpty() ? id : trackId(id, trackKey);
}

QByteArray MusicId::parentId() const
{
    if (!trackKey.isEmpty())
        return containerId(library, container);
    if (!container.album.isEmpty())
        return containerId(library, MusicContainer { container.view, container.group, {} });
    if (!container.group.isEmpty())
        return containerId(library, MusicContainer { container.view, {}, {} });
    return ObjectId::forLibrary(library).toByteArray();
}

void ContentDirectory::setMusicLibrary(MusicLibrary *library)
{
    music = library;
    searches.clear();
}

MusicLibrary *ContentDirectory::musicViews() const
{
    // Without media details the views could never fill.
    if (!mediaInfo || !music || music->audioLibrary() < 0
        || music->audioLibrary() >= libraries.size()) {
        return nullptr;
    }
    return music.data();
}

int ContentDirectory::musicViewCount(const ObjectId &id) const
{
    const MusicLibrary *views = musicViews();
    if (!views || !id.isLibrary() || id.library != views->audioLibrary())
        return 0;
    return int(views->index().views().size());
}

void ContentDirectory::writeMusicEntry(DidlWriter &xml, int library, const MusicEntry &entry,
    const QByteArray &parentId, const QByteArray &baseUrl) const
{
    if (entry.isTrack) {
        // The library item itself, under a second id: the same resources, details and art.
        const ObjectId item { library, entry.trackKey };
        const EntryInfo file = entryFor(item);
        if (file.name().isEmpty() || file.isDir())
            return;
        const QByteArray itemId = item.toByteArray();
        writeObject(xml, item, { MusicId::trackId(parentId, entry.trackKey), parentId, itemId },
            file, baseUrl, false);
        return;
    }
    xml.writeStartElement("container");
    xml.writeAttribute("id", MusicId::containerId(library, entry.container));
    xml.writeAttribute("parentID", parentId);
    xml.writeAttribute("restricted", "1");
    xml.writeAttribute("searchable", "1");
    xml.writeAttribute("childCount", QByteArray::number(entry.childCount));
    xml.writeTextElement("dc:title", entry.title);
    xml.writeTextElement("upnp:class", entry.upnpClass.toUtf8());
    const bool album = entry.upnpClass.startsWith(u"object.container.album");
    if (album && !entry.artist.isEmpty()) {
        xml.writeTextElement("upnp:artist", entry.artist);
        xml.writeTextElement("dc:creator", entry.artist);
    }
    if (album && !entry.trackKey.isEmpty()) {
        // The cover of its first track: the track's own, else its folder's.
        const ObjectId first { library, entry.trackKey };
        const EntryInfo file = entryFor(first);
        bool art = false;
        if (!file.name().isEmpty() && !file.isDir()) {
            art = mediaInfo->details(file.filePath()).hasThumbnail
                || !Sidecars::coverArt(file.absolutePath()).name().isEmpty();
        }
        if (art) {
            xml.writeStartElement(upnpNamespace, QStringLiteral("albumArtURI"));
            xml.writeAttribute(
                dlnaNamespace, QStringLiteral("profileID"), QStringLiteral("JPEG_TN"));
            xml.writeCharacters(QString::fromUtf8(baseUrl + artPath(first)));
            xml.writeEndElement();
        }
    }
    xml.writeEndElement();
}

SoapReply ContentDirectory::browseMusic(const SoapAction &action, const MusicId &id,
    const QString &flag, int start, int requested, const QByteArray &baseUrl,
    quint32 updateId) const
{
    const MusicLibrary *views = musicViews();
    const std::optional<MusicEntry> container = views && id.library == views->audioLibrary()
        ? views->index().entry(id.container)
        : std::nullopt;
    if (!container || (!id.trackKey.isEmpty() && !views->index().contains(id.trackKey)))
        return SoapReply::fault(701, QStringLiteral("No such object"));
    const QByteArray result = QByteArrayLiteral("Result");
    SoapReply reply = SoapReply::openResponse(action, result, 2000);
    DidlWriter xml(&reply.body);
    startDidl(xml);
    int returned = 0;
    int total = 0;
    if (flag == u"BrowseMetadata") {
        MusicEntry entry = *container;
        if (!id.trackKey.isEmpty()) {
            entry = MusicEntry();
            entry.isTrack = true;
            entry.trackKey = id.trackKey;
        }
        const qsizetype before = reply.body.size();
        writeMusicEntry(xml, id.library, entry, id.parentId(), baseUrl);
        if (reply.body.size() == before)
            return SoapReply::fault(701, QStringLiteral("No such object"));
        returned = total = 1;
    } else {
        if (!id.trackKey.isEmpty())
            return SoapReply::fault(710, QStringLiteral("No such container"));
        const QList<MusicEntry> children = views->index().children(id.container, start,
            requested == 0 ? largestAnswer : qMin(requested, largestAnswer), &total);
        reply.body.reserve(reply.body.size() + 700 * children.size());
        const QByteArray parentId = id.toByteArray();
        for (const MusicEntry &child : children) {
            const qsizetype before = reply.body.size();
            writeMusicEntry(xml, id.library, child, parentId, baseUrl);
            returned += reply.body.size() == before ? 0 : 1;
        }
    }
    finishDidl(action, reply, xml, returned, total, updateId);
    return reply;
}
