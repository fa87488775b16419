#include "upnp/search.h"

#include "library/dirtreeinterface.h"
#include "upnp/contentdirectory.h"
#include "upnp/didlwriter.h"
#include "upnp/musicviews.h"
#include "upnp/searchcriteria.h"

#include <QDateTime>

#include <algorithm>
#include <optional>

namespace {

// The searches whose matches are kept for their next pages: WMP pages through one, a TV or
// a phone asks another meanwhile.
constexpr std::size_t keptSearches = 3;

QString itemClassOf(int mediaType)
{
    switch (mediaType) {
    case 1:
        return QStringLiteral("object.item.videoItem");
    case 2:
        return QStringLiteral("object.item.audioItem.musicTrack");
    case 3:
        return QStringLiteral("object.item.imageItem.photo");
    default:
        return QStringLiteral("object.item");
    }
}

// "H:MM:SS.mmm", as res@duration is written.
QString durationOf(qint64 ms)
{
    return QStringLiteral("%1:%2:%3.%4")
        .arg(ms / 3600000)
        .arg(ms / 60000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms / 1000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

bool readNumber(const QString &text, int *value)
{
    const QString trimmed = text.trimmed();
    *value = 0;
    if (trimmed.isEmpty())
        return true;
    bool ok = false;
    *value = trimmed.size() <= 9 ? trimmed.toInt(&ok) : -1;
    return ok && *value >= 0;
}

// A search hit as the criteria and sorting see it. What the index holds is at hand; the
// file's own facts (size, date, duration) are looked up only when a criteria asks for them.
class HitObject final : public SearchObject
{
public:
    HitObject(const QList<DirTreeInterface *> &libraries, const MusicIndex *index, MediaInfo *info,
        const SearchHits &hits, const SearchHit &hit)
        : libraries(libraries)
        , index(index)
        , info(info)
        , hits(hits)
        , hit(hit)
    { }

    QStringList values(const QString &property) const override
    {
        const int mediaType = libraries.at(hit.library)->mediaType();
        const ObjectId item { hit.library, hit.key };
        const bool inView = hit.container >= 0;
        if (property == u"upnp:class")
            return { itemClassOf(mediaType) };
        if (property == u"@id") {
            return { QString::fromUtf8(inView
                    ? MusicId::trackId(hits.containers[std::size_t(hit.container)], hit.key)
                    : item.toByteArray()) };
        }
        if (property == u"@parentID") {
            return { QString::fromUtf8(
                inView ? hits.containers[std::size_t(hit.container)] : item.parentId()) };
        }
        if (property == u"@refID")
            return inView ? QStringList { QString::fromUtf8(item.toByteArray()) } : QStringList();
        const std::optional<MusicIndex::Tags> &tags = tagsOf(mediaType);
        if (property == u"dc:title")
            return { tags && !tags->title.isEmpty() ? tags->title
                                                    : hit.key.section(QLatin1Char('/'), -1) };
        if (tags && (property == u"upnp:artist" || property == u"dc:creator"))
            return { tags->artist };
        if (tags && property == u"upnp:album")
            return { tags->album };
        if (tags && property == u"upnp:genre")
            return { tags->genre };
        if (tags && property == u"upnp:originalTrackNumber" && tags->number > 0)
            return { QString::number(tags->number) };
        if (property == u"res@size" || property == u"dc:date" || property == u"res@duration") {
            const EntryInfo &file = entry();
            if (file.name().isEmpty())
                return {};
            if (property == u"res@size")
                return { QString::number(file.size()) };
            const MediaInfo::Answer known = info && (mediaType == 1 || mediaType == 2)
                ? info->details(file.filePath())
                : MediaInfo::Answer();
            const bool isKnown = known.status == MediaInfo::Status::Known;
            if (property == u"res@duration") {
                return isKnown && known.details.durationMs > 0
                    ? QStringList { durationOf(known.details.durationMs) }
                    : QStringList();
            }
            if (isKnown && !known.details.date.isEmpty())
                return { known.details.date };
            return { file.lastModified().toUTC().toString(Qt::ISODate) };
        }
        return {};
    }

private:
    const std::optional<MusicIndex::Tags> &tagsOf(int mediaType) const
    {
        if (!tagsRead && index && mediaType == AudioMedia)
            tags = index->tags(hit.key);
        tagsRead = true;
        return tags;
    }
    const EntryInfo &entry() const
    {
        if (!file) {
            const EntryInfo found = libraries.at(hit.library)->findEntry(hit.key, u'/');
            file = found.isDir() ? EntryInfo() : found;
        }
        return *file;
    }

    const QList<DirTreeInterface *> &libraries;
    const MusicIndex *index;
    MediaInfo *info;
    const SearchHits &hits;
    const SearchHit &hit;
    mutable std::optional<MusicIndex::Tags> tags;
    mutable bool tagsRead = false;
    mutable std::optional<EntryInfo> file;
};

} // namespace

QStringList searchProperties()
{
    return { QStringLiteral("@id"), QStringLiteral("@parentID"), QStringLiteral("@refID"),
        QStringLiteral("dc:creator"), QStringLiteral("dc:date"), QStringLiteral("dc:title"),
        QStringLiteral("res@duration"), QStringLiteral("res@size"), QStringLiteral("upnp:album"),
        QStringLiteral("upnp:artist"), QStringLiteral("upnp:class"), QStringLiteral("upnp:genre"),
        QStringLiteral("upnp:originalTrackNumber") };
}

bool ContentDirectory::findHits(const QString &containerId, SearchHits *hits) const
{
    const MusicLibrary *views = musicViews();
    const QByteArray text = containerId.toUtf8();
    MusicId musicId;
    if (MusicId::parse(text, &musicId)) {
        if (!views || musicId.library != views->audioLibrary() || !musicId.trackKey.isEmpty()
            || !views->index().entry(musicId.container)) {
            return false;
        }
        // The tracks below the container, each in the container it is listed in.
        const MusicIndex &index = views->index();
        std::vector<MusicContainer> open { musicId.container };
        while (!open.empty()) {
            const MusicContainer container = open.back();
            open.pop_back();
            int total = 0;
            const QList<MusicEntry> children = index.children(container, 0, 0, &total);
            int slot = -1;
            // Deeper containers are opened in their order: pushed last to first.
            for (auto child = children.crbegin(); child != children.crend(); ++child) {
                if (!child->isTrack)
                    open.push_back(child->container);
            }
            for (const MusicEntry &child : children) {
                if (!child.isTrack)
                    continue;
                if (slot < 0) {
                    slot = int(hits->containers.size());
                    hits->containers.push_back(MusicId::containerId(musicId.library, container));
                }
                hits->items.push_back({ musicId.library, child.trackKey, slot });
            }
        }
        return true;
    }
    ObjectId id;
    if (!ObjectId::parse(text, &id) || id.library >= libraries.size())
        return false;
    if (!id.isRoot() && !id.isLibrary() && !entryFor(id).isDir())
        return false;
    if (!views)
        return true;
    const QString prefix = id.path.isEmpty() ? QString() : id.path + QLatin1Char('/');
    for (int library = 0; library < libraries.size(); ++library) {
        if (!id.isRoot() && library != id.library)
            continue;
        QStringList keys;
        if (library == views->audioLibrary()) {
            // The tracks whose details are known, in the order of "All tracks".
            keys = views->index().keys();
        } else {
            keys = views->files(library);
            std::sort(keys.begin(), keys.end());
        }
        for (const QString &key : std::as_const(keys)) {
            if (key.startsWith(prefix))
                hits->items.push_back({ library, key, -1 });
        }
    }
    return true;
}

SoapReply ContentDirectory::search(
    const SoapAction &action, const QByteArray &baseUrl, quint32 updateId) const
{
    int start = 0;
    int requested = 0;
    if (!readNumber(action.argument(QStringLiteral("StartingIndex")), &start)
        || !readNumber(action.argument(QStringLiteral("RequestedCount")), &requested)) {
        return SoapReply::fault(402, QStringLiteral("Invalid Args"));
    }
    const QString containerId = action.argument(QStringLiteral("ContainerID")).trimmed();
    const QString criteriaText = action.argument(QStringLiteral("SearchCriteria"));
    const QString sortText = action.argument(QStringLiteral("SortCriteria")).trimmed();
    const SearchCriteria criteria = SearchCriteria::parse(criteriaText);
    if (!criteria.isValid())
        return SoapReply::fault(708, QStringLiteral("Unsupported or invalid search criteria"));
    const SortCriteria sort = SortCriteria::parse(sortText, searchProperties());
    if (!sort.isValid())
        return SoapReply::fault(709, QStringLiteral("Unsupported or invalid sort criteria"));

    const MusicLibrary *views = musicViews();
    const quint64 generation = views ? views->generation() : 0;
    std::shared_ptr<SearchHits> hits;
    for (auto it = searches.begin(); it != searches.end(); ++it) {
        const SearchHits &kept = **it;
        if (kept.containerId == containerId && kept.criteria == criteriaText
            && kept.sort == sortText && kept.generation == generation
            && kept.updateId == updateId) {
            hits = *it;
            // The most recent last.
            searches.erase(it);
            searches.push_back(hits);
            break;
        }
    }
    if (!hits) {
        auto found = std::make_shared<SearchHits>();
        if (!findHits(containerId, found.get()))
            return SoapReply::fault(710, QStringLiteral("No such container"));
        const MusicIndex *index = views ? &views->index() : nullptr;
        std::vector<SearchHit> matched;
        if (criteria.matchesEverything()) {
            matched = std::move(found->items);
        } else {
            for (const SearchHit &hit : found->items) {
                if (criteria.matches(HitObject(libraries, index, mediaInfo, *found, hit)))
                    matched.push_back(hit);
            }
        }
        if (!sort.keys().isEmpty()) {
            std::vector<HitObject> objects;
            objects.reserve(matched.size());
            for (const SearchHit &hit : matched)
                objects.emplace_back(libraries, index, mediaInfo, *found, hit);
            std::vector<const SearchObject *> order;
            order.reserve(objects.size());
            for (const HitObject &object : objects)
                order.push_back(&object);
            sort.sort(order);
            std::vector<SearchHit> sorted;
            sorted.reserve(matched.size());
            for (const SearchObject *object : order)
                sorted.push_back(
                    matched[std::size_t(static_cast<const HitObject *>(object) - objects.data())]);
            matched = std::move(sorted);
        }
        found->items = std::move(matched);
        found->containerId = containerId;
        found->criteria = criteriaText;
        found->sort = sortText;
        found->generation = generation;
        found->updateId = updateId;
        hits = std::move(found);
        if (searches.size() >= keptSearches)
            searches.erase(searches.begin());
        searches.push_back(hits);
    }

    const QByteArray result = QByteArrayLiteral("Result");
    SoapReply reply = SoapReply::openResponse(action, result, 2000);
    DidlWriter xml(&reply.body);
    startDidl(xml);
    const int total = int(hits->items.size());
    const int wanted = requested == 0 ? largestAnswer : qMin(requested, largestAnswer);
    int returned = 0;
    int gone = 0;
    for (int i = start; i < total && returned < wanted; ++i) {
        const SearchHit &hit = hits->items[std::size_t(i)];
        // What the crawl saw may be gone by now: only what the library lists is returned.
        const ObjectId item { hit.library, hit.key };
        const EntryInfo file = entryFor(item);
        if (file.name().isEmpty() || file.isDir()) {
            ++gone;
            continue;
        }
        const QByteArray itemId = item.toByteArray();
        if (hit.container >= 0) {
            const QByteArray &parentId = hits->containers[std::size_t(hit.container)];
            writeObject(xml, item, { MusicId::trackId(parentId, hit.key), parentId, itemId }, file,
                baseUrl, false);
        } else {
            writeObject(xml, item, { itemId, item.parentId() }, file, baseUrl, false);
        }
        ++returned;
    }
    finishDidl(action, reply, xml, returned, total - gone, updateId);
    return reply;
}
