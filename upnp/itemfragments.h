#pragma once

#include <QByteArray>
#include <QHash>

// The DIDL of items as a Browse last wrote them, to be written again while nothing they tell
// has changed: a TV paging back and forth through a large live folder, or a client listing it
// whole again, then costs one look at each file instead of all its details. An item is written
// anew when its file, its folder's listing or the address the client reached differs.
class ItemFragments
{
public:
    // What a fragment was written from: the file's stamp and the reading of its folder.
    struct Source
    {
        qint64 size = -1;
        qint64 modifiedMs = 0;
        qint64 changedMs = 0;
        quint64 reading = 0;
        // For an item written without its details: what the details source had answered by
        // then (0 for an item whose details were known).
        quint64 details = 0;

        // Whether a fragment written from this source holds for `now`.
        bool holdsFor(const Source &now) const
        {
            return size == now.size && modifiedMs == now.modifiedMs && changedMs == now.changedMs
                && reading == now.reading && (details == 0 || details == now.details);
        }
    };

    static constexpr qsizetype defaultLimit = qsizetype(16) << 20;

    explicit ItemFragments(qsizetype limitBytes = defaultLimit)
        : limit(limitBytes)
    { }

    // The fragment kept for the item with that id, when it was written from the same source
    // for the same base URL; null otherwise.
    const QByteArray *find(
        const QByteArray &id, const QByteArray &baseUrl, const Source &source) const;
    // Keeps what was written for the item; all is given up at once when the bound is passed.
    void keep(const QByteArray &id, const QByteArray &baseUrl, const Source &source,
        QByteArrayView fragment);
    void clear();

    qsizetype bytes() const { return total; }

private:
    struct Fragment
    {
        Source source;
        QByteArray bytes;
    };

    qsizetype limit;
    qsizetype total = 0;
    // Every fragment is written for this one; another gives them all up.
    QByteArray base;
    QHash<QByteArray, Fragment> fragments;
};
