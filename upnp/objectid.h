#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// A ContentDirectory object id: "0" the root, "1".."3" the libraries (video, audio, pictures),
// then "<library>.<path>" with the library path (display names joined by "/") in base64url.
// Derived from the path alone, so an id stays the same across restarts and names the same
// entry for as long as it exists; it never carries a disk path.
struct ObjectId
{
    static constexpr int root = -1;

    // Index into the libraries, or root.
    int library = root;
    QString path;

    static ObjectId forLibrary(int index) { return ObjectId { index, QString() }; }
    // False when the text is not an id this server makes (it names nothing then).
    static bool parse(QByteArrayView text, ObjectId *id);

    QByteArray toByteArray() const;
    // The id of the path (UTF-8) in the library, for a listing that has its parent's path at
    // hand already.
    static QByteArray encode(int library, QByteArrayView utf8Path);
    bool isRoot() const { return library == root; }
    bool isLibrary() const { return library != root && path.isEmpty(); }
    ObjectId child(const QString &name) const;
    // The root's parent is "-1".
    QByteArray parentId() const;
};
