#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// The properties Search tests and sorts by, as GetSearchCapabilities and GetSortCapabilities
// name them.
QStringList searchProperties();

// A Search, or a Browse of a music view (where 100,000 tracks are one container), that asks
// for everything gets this many objects at most; TotalMatches tells the client there are
// more to page through.
constexpr int largestAnswer = 5000;

// One object a search found: a library item, or a track in a music view (a reference to its
// library item).
struct SearchHit
{
    int library = 0;
    // The library path.
    QString key;
    // Index into SearchHits::containers for a track in a music view, else -1.
    int container = -1;
};

// The matches of one search, in the order they are returned, kept for its next pages while
// nothing changed.
struct SearchHits
{
    QString containerId;
    QString criteria;
    QString sort;
    quint64 generation = 0;
    quint32 updateId = 0;
    std::vector<SearchHit> items;
    // The ids of the music view containers the tracks sit in.
    std::vector<QByteArray> containers;
};
