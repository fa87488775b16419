// Search and sort criteria from a client, parsed and then tested against a few objects. A
// valid criteria keeps its meaning inside parentheses; nothing reads past its input or nests
// without bound.
#include "upnp/searchcriteria.h"

#include <QHash>

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

class Object final : public SearchObject
{
public:
    Object(std::initializer_list<std::pair<const char *, const char *>> pairs)
    {
        for (const auto &[name, value] : pairs)
            properties[QString::fromLatin1(name)].append(QString::fromUtf8(value));
    }
    QStringList values(const QString &property) const override
    {
        return properties.value(property);
    }

private:
    QHash<QString, QStringList> properties;
};

const Object objects[] = {
    { { "upnp:class", "object.item.audioItem.musicTrack" }, { "dc:title", "Blue Monday" },
        { "upnp:artist", "New Order" }, { "upnp:genre", "Pop" }, { "upnp:genre", "Dance" },
        { "upnp:originalTrackNumber", "9" }, { "dc:date", "1983-03-07" } },
    { { "upnp:class", "object.item.videoItem" }, { "dc:title", "\"Quoted\" \\ back" },
        { "res@duration", "1:57:00.000" }, { "@refID", "1.abc" } },
    { { "upnp:class", "object.container.album.musicAlbum" }, { "dc:title", "" } },
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const SearchCriteria criteria = SearchCriteria::parse(text);
    require(criteria.isValid() == criteria.errorString().isEmpty());
    for (const Object &object : objects) {
        const bool matches = criteria.matches(object);
        require(!matches || criteria.isValid());
        require(!criteria.matchesEverything() || matches);
    }
    if (criteria.isValid() && !criteria.matchesEverything()) {
        const SearchCriteria wrapped
            = SearchCriteria::parse(QString(QLatin1Char('(') + text + QLatin1Char(')')));
        for (const Object &object : objects)
            require(!wrapped.isValid() || wrapped.matches(object) == criteria.matches(object));
    }

    const SortCriteria sort = SortCriteria::parse(text,
        { QStringLiteral("dc:title"), QStringLiteral("dc:date"), QStringLiteral("upnp:genre") });
    std::vector<const SearchObject *> sorted;
    for (const Object &object : objects)
        sorted.push_back(&object);
    sort.sort(sorted);
    for (std::size_t i = 0; i + 1 < sorted.size(); ++i)
        require(sort.compare(*sorted[i], *sorted[i + 1]) <= 0);
    return 0;
}
