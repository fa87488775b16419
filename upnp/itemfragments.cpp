#include "upnp/itemfragments.h"

const QByteArray *ItemFragments::find(
    const QByteArray &id, const QByteArray &baseUrl, const Source &source) const
{
    if (baseUrl != base)
        return nullptr;
    const auto it = fragments.constFind(id);
    return it != fragments.constEnd() && it->source.holdsFor(source) ? &it->bytes : nullptr;
}

void ItemFragments::keep(
    const QByteArray &id, const QByteArray &baseUrl, const Source &source, QByteArrayView fragment)
{
    if (baseUrl != base) {
        clear();
        base = baseUrl;
    }
    // Kept by the key and the bytes; a fragment written anew replaces the old one.
    const qsizetype cost = id.size() + fragment.size() + 64;
    if (total + cost > limit)
        clear();
    if (cost > limit)
        return;
    auto it = fragments.find(id);
    if (it != fragments.end()) {
        total -= id.size() + it->bytes.size() + 64;
        it->source = source;
        it->bytes = fragment.toByteArray();
    } else {
        fragments.insert(id, Fragment { source, fragment.toByteArray() });
    }
    total += cost;
}

void ItemFragments::clear()
{
    fragments.clear();
    total = 0;
}
