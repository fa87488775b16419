#include "upnp/itemfragments.h"

namespace {

// Per client kind and address reached: two TVs taking turns keep what each was told.
QByteArray keyOf(const QByteArray &id, const QByteArray &base)
{
    return base + '\n' + id;
}

} // namespace

const QByteArray *ItemFragments::find(
    const QByteArray &id, const QByteArray &base, const Source &source) const
{
    const auto it = fragments.constFind(keyOf(id, base));
    return it != fragments.constEnd() && it->source.holdsFor(source) ? &it->bytes : nullptr;
}

void ItemFragments::keep(
    const QByteArray &id, const QByteArray &base, const Source &source, QByteArrayView fragment)
{
    const QByteArray key = keyOf(id, base);
    // Kept by the key and the bytes; a fragment written anew replaces the old one.
    const qsizetype cost = key.size() + fragment.size() + 64;
    if (total + cost > limit)
        clear();
    if (cost > limit)
        return;
    auto it = fragments.find(key);
    if (it != fragments.end()) {
        total -= key.size() + it->bytes.size() + 64;
        it->source = source;
        it->bytes = fragment.toByteArray();
    } else {
        fragments.insert(key, Fragment { source, fragment.toByteArray() });
    }
    total += cost;
}

void ItemFragments::clear()
{
    fragments.clear();
    total = 0;
}
