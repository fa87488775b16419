#include "upnp/contentdirectory.h"

#include "library/dirtreeinterface.h"
#include "media/dlnaprofile.h"
#include "media/sidecars.h"
#include "upnp/bookmarks.h"
#include "upnp/convertedresource.h"
#include "upnp/didlwriter.h"
#include "upnp/mediaformat.h"
#include "upnp/musicviews.h"
#include "upnp/pictureprofiles.h"
#include "upnp/search.h"
#include "upnp/upnppaths.h"

#include <QFile>
#include <QRegularExpression>
#include <QXmlStreamWriter>

#ifdef Q_OS_WIN
#include <QDateTime>
#include <QFileInfo>
#else
#include <sys/stat.h>
#endif

#include <ctime>

namespace {

const QChar separator = QLatin1Char('/');

const QString didlNamespace = QStringLiteral("urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/");
const QString dcNamespace = QStringLiteral("http://purl.org/dc/elements/1.1/");
const QString upnpNamespace = QStringLiteral("urn:schemas-upnp-org:metadata-1-0/upnp/");
const QString dlnaNamespace = QStringLiteral("urn:schemas-dlna-org:metadata-1-0/");
// Samsung's own fields; its TVs read where to resume from dcmInfo's BM (seconds).
const QString secNamespace = QStringLiteral("http://www.sec.co.kr/");

enum Error {
    InvalidAction = 401,
    InvalidArgs = 402,
    NoSuchObject = 701,
    NoSuchContainer = 710,
};

QString libraryTitle(int mediaType)
{
    switch (mediaType) {
    case 1:
        return QStringLiteral("Video");
    case 2:
        return QStringLiteral("Audio");
    case 3:
        return QStringLiteral("Pictures");
    default:
        return QStringLiteral("Library");
    }
}

QByteArray itemClass(int mediaType)
{
    switch (mediaType) {
    case 1:
        return QByteArrayLiteral("object.item.videoItem");
    case 2:
        return QByteArrayLiteral("object.item.audioItem.musicTrack");
    case 3:
        return QByteArrayLiteral("object.item.imageItem.photo");
    default:
        return QByteArrayLiteral("object.item");
    }
}

// What players are shown: entries gone from disk are left out, virtual folders never are.
bool listed(const EntryInfo &entry)
{
    return entry.isVirtual() || entry.isUsable();
}

// A non-negative decimal number of at most nine digits; anything else is a bad argument.
bool readCount(const QString &text, int *value)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        *value = 0;
        return true;
    }
    if (trimmed.size() > 9)
        return false;
    bool ok = false;
    *value = trimmed.toInt(&ok);
    return ok && *value >= 0;
}

} // namespace

// A file's size and modification time, as one look at the disk gives them.
struct ContentDirectory::FileFacts
{
    qint64 size = -1;
    qint64 modifiedMs = 0;
    bool regular = false;

    MediaStamp stamp() const
    {
        MediaStamp stamp;
        if (regular) {
            stamp.size = size;
            stamp.modified = modifiedMs;
        }
        return stamp;
    }
};

namespace {

// From one stat of the path. (QFileInfo's times come as local time: converted there and back,
// each costs glibc a look at /etc/localtime, two per item of a listing. Windows keeps them in
// UTC, so it takes QFileInfo.)
ContentDirectory::FileFacts fileFacts(const QString &path)
{
    ContentDirectory::FileFacts facts;
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    if (!info.exists())
        return facts;
    facts.size = info.size();
    facts.modifiedMs = info.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch();
    facts.regular = info.isFile();
#else
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return facts;
    facts.size = status.st_size;
    facts.modifiedMs = qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1'000'000;
    facts.regular = S_ISREG(status.st_mode);
#endif
    return facts;
}

// ISO 8601 in UTC, to the second.
QByteArray dateText(qint64 ms)
{
    const std::time_t seconds = std::time_t(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm utc {};
#ifdef Q_OS_WIN
    if (::gmtime_s(&utc, &seconds) != 0)
        return {};
#else
    if (!::gmtime_r(&seconds, &utc))
        return {};
#endif
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return QByteArray(text, qsizetype(length));
}

void writeResource(DidlWriter &xml, const QByteArray &url, const MediaFormat &format, qint64 size,
    const QSize &resolution = QSize())
{
    xml.writeStartElement("res");
    xml.writeAttribute("protocolInfo", format.protocolInfo());
    if (size >= 0)
        xml.writeAttribute("size", QByteArray::number(size));
    if (resolution.isValid()) {
        xml.writeAttribute("resolution",
            QByteArray(QByteArray::number(resolution.width()) + 'x'
                + QByteArray::number(resolution.height())));
    }
    xml.writeCharacters(url);
    xml.writeEndElement();
}

// Browse's arguments as sent; `valid` is false when a count or the flag is no good.
struct BrowseArguments
{
    QString id;
    QString flag;
    int start = 0;
    int requested = 0;
    bool valid = false;
};

BrowseArguments browseArguments(const SoapAction &action)
{
    BrowseArguments arguments;
    arguments.id = action.argument(QStringLiteral("ObjectID"));
    if (arguments.id.isNull())
        arguments.id = action.argument(QStringLiteral("ContainerID"));
    arguments.id = arguments.id.trimmed();
    arguments.flag = action.argument(QStringLiteral("BrowseFlag")).trimmed();
    arguments.valid = readCount(action.argument(QStringLiteral("StartingIndex")), &arguments.start)
        && readCount(action.argument(QStringLiteral("RequestedCount")), &arguments.requested)
        && (arguments.flag == u"BrowseMetadata" || arguments.flag == u"BrowseDirectChildren");
    return arguments;
}

// The tag's date as dc:date takes it: "2019", "2019-04" or "2019-04-12" (of a longer stamp,
// its date); empty for text that is no date.
QString tagDate(const QString &tag)
{
    static const QRegularExpression date(
        QStringLiteral("^(\\d{4})(-(0[1-9]|1[0-2])(-(0[1-9]|[12]\\d|3[01]))?)?(?![\\d-])"));
    const QRegularExpressionMatch match = date.match(tag);
    return match.hasMatch() ? match.captured(0) : QString();
}

// The details of a file as what the library says it is: a video's stream facts are no song's.
void writeMediaResource(DidlWriter &xml, const QByteArray &url, const MediaFormat &format,
    qint64 size, int mediaType, const MediaInfo::Answer &known)
{
    xml.writeStartElement("res");
    xml.writeAttribute("protocolInfo", format.protocolInfo());
    if (size >= 0)
        xml.writeAttribute("size", QByteArray::number(size));
    if (known.status == MediaInfo::Status::Known) {
        const MediaDetails &details = known.details;
        if (details.durationMs > 0)
            xml.writeAttribute("duration", durationText(details.durationMs));
        // UPnP counts bytes a second.
        if (details.bitrate > 0)
            xml.writeAttribute("bitrate", QByteArray::number(details.bitrate / 8));
        const StreamDetails *video = details.firstStream(StreamDetails::Kind::Video);
        if (mediaType == 1 && video && video->width > 0 && video->height > 0) {
            xml.writeAttribute("resolution",
                QByteArray::number(video->width) + 'x' + QByteArray::number(video->height));
        }
        if (const StreamDetails *audio = details.firstStream(StreamDetails::Kind::Audio)) {
            if (audio->channels > 0)
                xml.writeAttribute("nrAudioChannels", QByteArray::number(audio->channels));
            if (audio->sampleRate > 0)
                xml.writeAttribute("sampleFrequency", QByteArray::number(audio->sampleRate));
        }
    }
    xml.writeCharacters(url);
    xml.writeEndElement();
}

} // namespace

ContentDirectory::ContentDirectory(const QList<DirTreeInterface *> &libraries)
    : libraries(libraries)
    , pictureHeaders(std::make_unique<PictureHeaders>())
{ }

ContentDirectory::~ContentDirectory() = default;

SoapReply ContentDirectory::control(
    const SoapAction &action, const QByteArray &baseUrl, quint32 updateId) const
{
    const QString &name = action.name;
    if (name == u"Browse")
        return browse(action, baseUrl, updateId);
    if (name == u"Search")
        return search(action, baseUrl, updateId);
    if (name == u"GetSearchCapabilities" || name == u"GetSortCapabilities") {
        // What Search and its sorting read; nothing while there is nothing to search.
        const QByteArray properties
            = musicViews() ? searchProperties().join(u',').toUtf8() : QByteArray();
        return SoapReply::response(action,
            { { name == u"GetSearchCapabilities" ? QByteArrayLiteral("SearchCaps")
                                                 : QByteArrayLiteral("SortCaps"),
                properties } });
    }
    if (name == u"GetSystemUpdateID")
        return SoapReply::response(
            action, { { QByteArrayLiteral("Id"), QByteArray::number(updateId) } });
    if (name == u"X_SetBookmark")
        return setBookmark(action);
    if (name == u"X_GetFeatureList") {
        // Samsung's TVs open the three libraries as their video, music and photo views.
        QByteArray features;
        QXmlStreamWriter xml(&features);
        xml.writeStartDocument();
        xml.writeDefaultNamespace(QStringLiteral("urn:schemas-upnp-org:av:avs"));
        xml.writeStartElement(QStringLiteral("Features"));
        xml.writeStartElement(QStringLiteral("Feature"));
        xml.writeAttribute(QStringLiteral("name"), QStringLiteral("samsung.com_BASICVIEW"));
        xml.writeAttribute(QStringLiteral("version"), QStringLiteral("1"));
        const QString types[] = { QStringLiteral("object.item.videoItem"),
            QStringLiteral("object.item.audioItem"), QStringLiteral("object.item.imageItem") };
        for (int i = 0; i < libraries.size(); ++i) {
            const int mediaType = libraries.at(i)->mediaType();
            if (mediaType < 1 || mediaType > 3)
                continue;
            xml.writeEmptyElement(QStringLiteral("container"));
            xml.writeAttribute(
                QStringLiteral("id"), QString::fromLatin1(ObjectId::forLibrary(i).toByteArray()));
            xml.writeAttribute(QStringLiteral("type"), types[mediaType - 1]);
        }
        xml.writeEndDocument();
        return SoapReply::response(action, { { QByteArrayLiteral("FeatureList"), features } });
    }
    return SoapReply::fault(InvalidAction, QStringLiteral("Invalid Action"));
}

EntryInfo ContentDirectory::entryFor(const ObjectId &id) const
{
    if (id.isRoot() || id.library >= libraries.size() || id.path.isEmpty())
        return EntryInfo();
    const EntryInfo entry = libraries.at(id.library)->findEntry(id.path, separator);
    if (entry.name().isEmpty() || !listed(entry))
        return EntryInfo();
    return entry;
}

int ContentDirectory::mediaTypeOf(const ObjectId &id) const
{
    if (id.isRoot() || id.library >= libraries.size())
        return 0;
    return libraries.at(id.library)->mediaType();
}

QByteArray ContentDirectory::mediaPath(const ObjectId &id, const EntryInfo &entry)
{
    return mediaPath(id.toByteArray(), entry);
}

QByteArray ContentDirectory::fittedPath(const ObjectId &id, PictureSize size)
{
    return fittedPath(id.toByteArray(), size);
}

QByteArray ContentDirectory::thumbnailPath(const ObjectId &id)
{
    return thumbnailPath(id.toByteArray());
}

QByteArray ContentDirectory::mediaPath(const QByteArray &id, const EntryInfo &entry)
{
    QByteArray path = UpnpPaths::mediaPrefix + id;
    const QByteArray suffix = entry.suffix().toLower().toUtf8();
    bool plain = !suffix.isEmpty() && suffix.size() <= 8;
    for (const char c : suffix)
        plain = plain && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'));
    if (plain)
        path += '.' + suffix;
    return path;
}

QByteArray ContentDirectory::fittedPath(const QByteArray &id, PictureSize size)
{
    return UpnpPaths::fittedPrefix + pictureProfile(size).word + '/' + id + ".jpg";
}

QByteArray ContentDirectory::thumbnailPath(const QByteArray &id)
{
    return UpnpPaths::thumbnailPrefix + id + ".jpg";
}

QByteArray ContentDirectory::artPath(const ObjectId &id)
{
    return UpnpPaths::artPrefix + id.toByteArray() + ".jpg";
}

MediaInfo::Answer ContentDirectory::known(const EntryInfo &entry, int mediaType) const
{
    if (!mediaInfo || (mediaType != 1 && mediaType != 2) || entry.filePath().isEmpty())
        return {};
    return mediaInfo->details(entry.filePath());
}

MediaInfo::Answer ContentDirectory::known(
    const EntryInfo &entry, int mediaType, const FileFacts &facts) const
{
    if (!mediaInfo || (mediaType != 1 && mediaType != 2) || entry.filePath().isEmpty())
        return {};
    return mediaInfo->details(entry.filePath(), facts.stamp());
}

MediaFormat ContentDirectory::mediaFormat(const EntryInfo &entry, int mediaType) const
{
    return formatOf(entry, mediaType, known(entry, mediaType));
}

MediaFormat ContentDirectory::formatOf(
    const EntryInfo &entry, int mediaType, const MediaInfo::Answer &known)
{
    MediaFormat format = MediaFormat::forFile(entry.fileName(), mediaType);
    if (known.status != MediaInfo::Status::Known)
        return format;
    const DlnaProfile profile = DlnaProfile::forMedia(known.details, entry.fileName());
    if (!profile.mimeType.isEmpty())
        format.mimeType = profile.mimeType;
    return profile.name.isEmpty() ? format : format.named(profile.name.constData());
}

QByteArray ContentDirectory::ownArt(const EntryInfo &entry, int mediaType) const
{
    const MediaInfo::Answer answer = known(entry, mediaType);
    if (answer.status != MediaInfo::Status::Known || !answer.hasThumbnail)
        return {};
    return mediaInfo->thumbnail(entry.filePath());
}

QStringList ContentDirectory::mediaPathsOfBrowse(const SoapAction &action) const
{
    if (!mediaInfo || action.name != u"Browse")
        return {};
    const BrowseArguments arguments = browseArguments(action);
    const QString &flag = arguments.flag;
    const int start = arguments.start;
    const int requested = arguments.requested;
    ObjectId id;
    if (!arguments.valid || !ObjectId::parse(arguments.id.toUtf8(), &id) || id.isRoot()
        || id.library >= libraries.size()) {
        return {};
    }
    const int mediaType = mediaTypeOf(id);
    if (mediaType != 1 && mediaType != 2)
        return {};
    QStringList paths;
    if (flag == u"BrowseMetadata") {
        const EntryInfo entry = id.isLibrary() ? EntryInfo() : entryFor(id);
        if (!entry.isDir() && !entry.filePath().isEmpty())
            paths.append(entry.filePath());
        return paths;
    }
    if (flag != u"BrowseDirectChildren" || (!id.isLibrary() && !entryFor(id).isDir()))
        return {};
    // A page of everything waits for a screenful; the rest is read behind it.
    constexpr int waitedFor = 200;
    const Children entries = children(id);
    const int total = int(entries.size());
    const int views = musicViewCount(id);
    const int count = requested == 0 ? waitedFor : qMin(requested, waitedFor);
    if (entries.isLive) {
        // Only the files not known yet, each asked of the folder held open by its name (far
        // cheaper than by path): a page of known files is answered without a wait.
        const LiveListings::Listing &live = entries.live;
        int asked = 0;
        for (qsizetype k = qMax<qsizetype>(live.folderCount, qMax(0, start - views));
             k < total && asked < count; ++k, ++asked) {
            const QString path = live.prefix + live.names.at(k);
            MediaStamp stamp;
            qint64 changedMs = 0;
            // By path where the platform cannot ask the folder (Windows).
            const MediaInfo::Answer known
                = live.fileStatus(k, &stamp.size, &stamp.modified, &changedMs)
                ? mediaInfo->details(path, stamp)
                : mediaInfo->details(path);
            if (known.status == MediaInfo::Status::Pending)
                paths.append(path);
        }
        return paths;
    }
    for (int i = qMax(0, start - views); i < total && paths.size() < count; ++i) {
        const EntryInfo child = entries.at(i);
        if (!child.isDir() && !child.isVirtual() && !child.filePath().isEmpty())
            paths.append(child.filePath());
    }
    return paths;
}

bool ContentDirectory::idFromPath(QByteArrayView rest, ObjectId *id)
{
    // "<library>.<path>" holds one dot; a second one starts the extension.
    const qsizetype first = rest.indexOf('.');
    const qsizetype second = first < 0 ? -1 : rest.indexOf('.', first + 1);
    return ObjectId::parse(second < 0 ? rest : rest.first(second), id);
}

ContentDirectory::Children ContentDirectory::children(const ObjectId &id) const
{
    DirTreeInterface *library = libraries.at(id.library);
    Children children;
    if (!id.isLibrary() && library->findLivePlace(id.path, separator, &children.place)) {
        children.isLive = true;
        listings.listing(children.place, &children.live);
        return children;
    }
    children.entries = library->listEntries(id.path, separator);
    children.entries.removeIf([](const EntryInfo &entry) { return !listed(entry); });
    return children;
}

int ContentDirectory::childCount(const ObjectId &id, bool readLive) const
{
    // Reading every subfolder of a listing from disk to count its children would cost more
    // than the listing itself.
    LivePlace place;
    if (!readLive && libraries.at(id.library)->findLivePlace(id.path, separator, &place))
        return listings.keptCount(place);
    return int(children(id).size());
}

void ContentDirectory::writeContainer(
    DidlWriter &xml, const Ids &ids, const QString &title, int childCount) const
{
    xml.writeStartElement("container");
    xml.writeAttribute("id", ids.id);
    xml.writeAttribute("parentID", ids.parentId);
    xml.writeAttribute("restricted", "1");
    xml.writeAttribute("searchable", musicViews() ? "1" : "0");
    if (childCount >= 0)
        xml.writeAttribute("childCount", QByteArray::number(childCount));
    xml.writeTextElement("dc:title", title);
    xml.writeTextElement("upnp:class", QByteArrayLiteral("object.container.storageFolder"));
    xml.writeEndElement();
}

void ContentDirectory::writeObject(DidlWriter &xml, const ObjectId &id, const Ids &ids,
    const EntryInfo &entry, const QByteArray &baseUrl, bool countLiveChildren,
    const FileFacts *listed, bool *complete) const
{
    if (entry.isDir()) {
        writeContainer(xml, ids, entry.name(), childCount(id, countLiveChildren));
        return;
    }
    const int mediaType = mediaTypeOf(id);
    const FileFacts facts = listed ? *listed : fileFacts(entry.filePath());
    const MediaInfo::Answer details = known(entry, mediaType, facts);
    const bool isKnown = details.status == MediaInfo::Status::Known;
    // Said once all there is to say of the file is known.
    if (complete)
        *complete = (mediaType != 1 && mediaType != 2) || isKnown;
    xml.writeStartElement("item");
    xml.writeAttribute("id", ids.id);
    xml.writeAttribute("parentID", ids.parentId);
    if (!ids.refId.isEmpty())
        xml.writeAttribute("refID", ids.refId);
    xml.writeAttribute("restricted", "1");
    // A reference is played and shown from its library item's URLs.
    const QByteArray &urlId = ids.refId.isEmpty() ? ids.id : ids.refId;
    // A song is known by its title; a video's file name is what its owner called it.
    const bool titled = isKnown && mediaType == 2 && !details.details.title.isEmpty();
    xml.writeTextElement("dc:title", titled ? details.details.title : entry.name());
    xml.writeTextElement("upnp:class", itemClass(mediaType));
    const QString date = isKnown ? tagDate(details.details.date) : QString();
    if (!date.isEmpty())
        xml.writeTextElement("dc:date", date);
    else if (facts.size >= 0)
        xml.writeTextElement("dc:date", dateText(facts.modifiedMs));
    if (mediaType == 1 || mediaType == 2)
        writeDetails(xml, id, entry, details, baseUrl);
    if (mediaType == 3) {
        const MediaFormat original = MediaFormat::forFile(entry.fileName(), mediaType);
        const QList<PictureResource> resources = pictureResources(pictureHeaders->header(entry));
        for (const PictureResource &res : resources) {
            if (res.size != PictureSize::Thumbnail)
                continue;
            xml.writeStartElement("upnp:albumArtURI");
            xml.writeAttribute("dlna:profileID", QByteArrayLiteral("JPEG_TN"));
            xml.writeCharacters(baseUrl + thumbnailPath(urlId));
            xml.writeEndElement();
        }
        for (const PictureResource &res : resources) {
            const char *profile = pictureProfile(res.size).name;
            if (res.original) {
                // Named by what its headers say; a JPEG under another name is not.
                const bool named = res.named && original.mimeType == "image/jpeg";
                writeResource(xml, baseUrl + mediaPath(urlId, entry),
                    named ? original.named(profile) : original, facts.size, res.resolution);
            } else {
                writeResource(xml,
                    baseUrl
                        + (res.size == PictureSize::Thumbnail ? thumbnailPath(urlId)
                                                              : fittedPath(urlId, res.size)),
                    MediaFormat::convertedPicture(profile), -1, res.resolution);
            }
        }
    } else {
        // A client that cannot play the file as it is is offered what it can play first.
        const QList<Sidecars::Subtitle> subtitles
            = mediaType == 1 ? subtitleFolders.of(entry) : QList<Sidecars::Subtitle>();
        const int chosen = Subtitles::chosen(subtitles);
        const ConversionPlan plan = converting && clientProfile && isKnown
            ? ConvertedResource::planFor(details.details, entry.fileName(), *clientProfile,
                decisionOptions, chosen >= 0 ? subtitles.at(chosen).file.filePath() : QString())
            : ConversionPlan();
        if (plan.isConversion())
            ConvertedResource::write(xml, baseUrl, urlId, details.details, *clientProfile, plan);
        writeMediaResource(xml, baseUrl + mediaPath(urlId, entry),
            formatOf(entry, mediaType, details), facts.size, mediaType, details);
        if (mediaType == 1)
            Subtitles::write(xml, baseUrl, ids.id, subtitles);
        const qint64 seconds = bookmarks ? bookmarks->position(client, entry.filePath()) : 0;
        if (seconds > 0) {
            xml.writeTextElement(
                secNamespace, QStringLiteral("dcmInfo"), QStringLiteral("BM=%1").arg(seconds));
            xml.writeTextElement(upnpNamespace, QStringLiteral("lastPlaybackPosition"),
                QStringLiteral("%1:%2:%3")
                    .arg(seconds / 3600)
                    .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                    .arg(seconds % 60, 2, 10, QLatin1Char('0')));
        }
    }
    xml.writeEndElement();
}

void ContentDirectory::writeDetails(DidlWriter &xml, const ObjectId &id, const EntryInfo &entry,
    const MediaInfo::Answer &known, const QByteArray &baseUrl) const
{
    if (known.status == MediaInfo::Status::Known) {
        const MediaDetails &details = known.details;
        const QString &artist = details.artist.isEmpty() ? details.albumArtist : details.artist;
        if (!artist.isEmpty()) {
            xml.writeTextElement("upnp:artist", artist);
            xml.writeTextElement("dc:creator", artist);
        }
        if (!details.album.isEmpty())
            xml.writeTextElement("upnp:album", details.album);
        if (!details.genre.isEmpty())
            xml.writeTextElement("upnp:genre", details.genre);
        if (details.track > 0)
            xml.writeTextElement("upnp:originalTrackNumber", QByteArray::number(details.track));
    }
    bool art = known.status == MediaInfo::Status::Known && known.hasThumbnail;
    if (!art && mediaInfo) {
        // Without a service nothing serves art; with one, a folder's cover stands in.
        const QString folder = entry.absolutePath();
        if (folder != coverFolder) {
            coverFolder = folder;
            QString root;
            QString relative;
            coverFound = Sidecars::folderOf(entry, &root, &relative)
                && !Sidecars::coverArt(root, relative).name().isEmpty();
        }
        art = coverFound;
    }
    if (art) {
        xml.writeStartElement("upnp:albumArtURI");
        xml.writeAttribute("dlna:profileID", QByteArrayLiteral("JPEG_TN"));
        xml.writeCharacters(baseUrl + artPath(id));
        xml.writeEndElement();
    }
}

SoapReply ContentDirectory::setBookmark(const SoapAction &action) const
{
    ObjectId id;
    int seconds = 0;
    if (!readCount(action.argument(QStringLiteral("PosSecond")), &seconds))
        return SoapReply::fault(InvalidArgs, QStringLiteral("Invalid Args"));
    const EntryInfo entry
        = ObjectId::parse(action.argument(QStringLiteral("ObjectID")).trimmed().toUtf8(), &id)
        ? entryFor(id)
        : EntryInfo();
    // Only what the library lists now, and only what plays over time.
    const int mediaType = mediaTypeOf(id);
    if (entry.name().isEmpty() || entry.isDir() || (mediaType != 1 && mediaType != 2))
        return SoapReply::fault(NoSuchObject, QStringLiteral("No such object"));
    if (bookmarks)
        bookmarks->setPosition(client, entry.filePath(), seconds);
    return SoapReply::response(action, {});
}

SoapReply ContentDirectory::browse(
    const SoapAction &action, const QByteArray &baseUrl, quint32 updateId) const
{
    const BrowseArguments arguments = browseArguments(action);
    if (!arguments.valid)
        return SoapReply::fault(InvalidArgs, QStringLiteral("Invalid Args"));
    const QString &flag = arguments.flag;
    const int start = arguments.start;
    const int requested = arguments.requested;
    MusicId musicId;
    if (MusicId::parse(arguments.id.toUtf8(), &musicId))
        return browseMusic(action, musicId, flag, start, requested, baseUrl, updateId);
    ObjectId id;
    if (!ObjectId::parse(arguments.id.toUtf8(), &id) || id.library >= libraries.size())
        return SoapReply::fault(NoSuchObject, QStringLiteral("No such object"));
    EntryInfo entry;
    if (!id.isRoot() && !id.isLibrary()) {
        entry = entryFor(id);
        if (entry.name().isEmpty())
            return SoapReply::fault(NoSuchObject, QStringLiteral("No such object"));
    }

    // A folder's cover is looked for once a Browse, and anew at the next.
    coverFolder.clear();
    subtitleFolders.clear();
    // Written into the envelope as it carries it, in one pass: a listing of a big folder is
    // megabytes.
    const QByteArray result = QByteArrayLiteral("Result");
    SoapReply reply = SoapReply::openResponse(action, result, 2000);
    DidlWriter xml(&reply.body);
    startDidl(xml);
    const Ids ids { id.toByteArray(), id.parentId() };
    int returned = 0;
    int total = 0;
    if (flag == u"BrowseMetadata") {
        if (id.isRoot())
            writeContainer(xml, ids, QStringLiteral("root"), int(libraries.size()));
        else if (id.isLibrary())
            writeContainer(
                xml, ids, libraryTitle(mediaTypeOf(id)), childCount(id, true) + musicViewCount(id));
        else
            writeObject(xml, id, ids, entry, baseUrl, true);
        returned = total = 1;
    } else if (id.isRoot()) {
        total = int(libraries.size());
        for (int i = start; i < total && (requested == 0 || returned < requested); ++i) {
            const ObjectId library = ObjectId::forLibrary(i);
            writeContainer(xml, { library.toByteArray(), ids.id },
                libraryTitle(mediaTypeOf(library)),
                childCount(library, true) + musicViewCount(library));
            ++returned;
        }
    } else {
        if (!id.isLibrary() && !entry.isDir())
            return SoapReply::fault(NoSuchContainer, QStringLiteral("No such container"));
        // The music views first; the library's own entries keep their ids and follow them.
        const int views = musicViewCount(id);
        if (views > 0) {
            const QList<MusicEntry> viewEntries = musicViews()->index().views();
            for (int i = start; i < views && (requested == 0 || returned < requested); ++i) {
                writeMusicEntry(xml, id.library, viewEntries.at(i), ids.id, baseUrl);
                ++returned;
            }
        }
        const Children entries = children(id);
        total = int(entries.size()) + views;
        const int shown = qMax(0, total - start);
        reply.body.reserve(reply.body.size() + 2000
            + itemBytes * qsizetype(requested > 0 ? qMin(requested, shown) : shown));
        const qsizetype itemsStart = reply.body.size();
        const int returnedBefore = returned;
        const QByteArray parentPath = id.path.isEmpty() ? QByteArray() : id.path.toUtf8() + '/';
        QByteArray childPath;
        // Items are copied in whole below: the listing's own start tag is closed first. What
        // an item says depends on the address it is reached at and what the client plays.
        xml.closeStartTag();
        const QByteArray fragmentBase = baseUrl + ' '
            + (converting && clientProfile ? clientProfile->id.toUtf8() : QByteArray());
        for (int i = qMax(0, start - views) + views;
             i < total && (requested == 0 || returned < requested); ++i) {
            const int k = i - views; // in the library's own entries
            // A file of a live folder is asked of the folder held open, by its name.
            FileFacts facts;
            ItemFragments::Source source;
            facts.regular = entries.isLive && k >= entries.live.folderCount
                && entries.live.fileStatus(k, &facts.size, &facts.modifiedMs, &source.changedMs);
            // A kept listing's names stand while its folder is unchanged; whether each can
            // still be read is asked as it is shown (unless the file has not changed since it
            // was listed), and one that cannot is read anew next time.
            if (entries.isLive && !(facts.regular && entries.live.checked(source.changedMs))
                && !entries.live.isReadable(k)) {
                listings.forget(entries.place);
                continue;
            }
            const QString &name
                = entries.isLive ? entries.live.names.at(k) : entries.entries.at(k).name();
            childPath = parentPath + name.toUtf8();
            const QByteArray childId = ObjectId::encode(id.library, childPath);
            // What a file of a kept listing told last time, while neither it nor its folder
            // changed; a resume position is the asking client's own, never kept.
            const bool reusable = facts.regular && entries.live.kept
                && !(bookmarks && bookmarks->position(client, entries.live.prefix + name) > 0);
            if (reusable) {
                source.size = facts.size;
                source.modifiedMs = facts.modifiedMs;
                source.reading = entries.live.reading;
                // Never 0: that stands for details known.
                source.details = (mediaInfo ? mediaInfo->generation() : 0) + 1;
                if (const QByteArray *kept = fragments.find(childId, fragmentBase, source)) {
                    reply.body.append(*kept);
                    ++returned;
                    continue;
                }
            }
            const qsizetype itemStart = reply.body.size();
            bool complete = false;
            writeObject(xml, id.child(name), { childId, ids.id }, entries.at(k), baseUrl, false,
                facts.regular ? &facts : nullptr, &complete);
            if (reusable) {
                // Known details hold while the file does; an item without them only until the
                // details source answers anything more.
                if (complete)
                    source.details = 0;
                fragments.keep(
                    childId, fragmentBase, source, QByteArrayView(reply.body).sliced(itemStart));
            }
            ++returned;
        }
        if (returned - returnedBefore >= 10)
            itemBytes = (reply.body.size() - itemsStart) / (returned - returnedBefore) + 64;
    }
    finishDidl(action, reply, xml, returned, total, updateId);
    return reply;
}

void ContentDirectory::startDidl(DidlWriter &xml)
{
    xml.writeDefaultNamespace(didlNamespace);
    xml.writeNamespace(dcNamespace, QStringLiteral("dc"));
    xml.writeNamespace(upnpNamespace, QStringLiteral("upnp"));
    xml.writeNamespace(dlnaNamespace, QStringLiteral("dlna"));
    xml.writeNamespace(secNamespace, QStringLiteral("sec"));
    xml.writeStartElement(didlNamespace, QStringLiteral("DIDL-Lite"));
}

void ContentDirectory::finishDidl(const SoapAction &action, SoapReply &reply, DidlWriter &xml,
    int returned, int total, quint32 updateId)
{
    xml.writeEndElement();
    reply.closeResponse(action, QByteArrayLiteral("Result"),
        { { QByteArrayLiteral("NumberReturned"), QByteArray::number(returned) },
            { QByteArrayLiteral("TotalMatches"), QByteArray::number(total) },
            { QByteArrayLiteral("UpdateID"), QByteArray::number(updateId) } });
}
