#pragma once

#include "library/entryinfo.h"
#include "library/mediatype.h"

#include <QChar>
#include <QList>
#include <QString>

// Where a folder at or below a live folder lies on disk: the live folder's directory, the
// components below it joined by "/", and the view's name filter.
struct LivePlace
{
    QString root;
    QString relative;
    QString filter;
};

// How the network service sees a library: lookups by path, nothing that changes it.
class DirTreeInterface
{
public:
    // The entry a path names; the default EntryInfo when it names nothing.
    virtual EntryInfo findEntry(const QString &path, QChar separator) const = 0;
    // The entries of the folder a path names; empty when it names no folder.
    virtual QList<EntryInfo> listEntries(const QString &path, QChar separator) const = 0;
    // Whether the folder a path names is a live folder or lies inside one; where, if so.
    virtual bool findLivePlace(const QString &path, QChar separator, LivePlace *place) const
    {
        Q_UNUSED(path);
        Q_UNUSED(separator);
        Q_UNUSED(place);
        return false;
    }
    // A MediaType code: 1 video, 2 audio, 3 pictures (0 for a placeholder).
    virtual int mediaType() const = 0;

    virtual ~DirTreeInterface() = default;
};
