#include "library/livedirectory.h"

#include "library/namefilter.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QStringView>

#include <algorithm>
#include <utility>
#include <vector>

#ifdef Q_OS_UNIX
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX

// One open descriptor, closed on every way out.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1)
        : fd(fd)
    { }
    Descriptor(Descriptor &&other) noexcept
        : fd(std::exchange(other.fd, -1))
    { }
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        std::swap(fd, other.fd);
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }

    int get() const { return fd; }
    int release() { return std::exchange(fd, -1); }

private:
    int fd;
};

// Whether a listing could show name at all: never a hidden one ("." and ".." among them), nor
// one that no directory entry can have. Cut at a NUL, a path would name something else.
bool mayBeListed(QStringView name)
{
    return !name.isEmpty() && name.front() != QLatin1Char('.') && !name.contains(QLatin1Char('/'))
        && !name.contains(QChar(0));
}

enum class Kind { Folder, File, Other };

// Links are not followed: they, pipes, sockets and devices are never listed.
Kind kindOf(const struct stat &status)
{
    if (S_ISDIR(status.st_mode))
        return Kind::Folder;
    if (S_ISREG(status.st_mode))
        return Kind::File;
    return Kind::Other;
}

// The directory entry says what it is; only a file system that does not record it costs a stat.
Kind kindOf(int dir, const dirent &entry)
{
#ifdef DT_UNKNOWN
    switch (entry.d_type) {
    case DT_DIR:
        return Kind::Folder;
    case DT_REG:
        return Kind::File;
    case DT_UNKNOWN:
        break;
    default:
        return Kind::Other;
    }
#endif
    struct stat status;
    if (::fstatat(dir, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return Kind::Other;
    return kindOf(status);
}

// As the toolkit asks: access() for the real user.
bool isReadable(int dir, const char *name)
{
    return ::faccessat(dir, name, R_OK, 0) == 0;
}

// Disk names as the toolkit's listing decodes them: a byte order mark stays part of the name,
// and bytes that are no UTF-8 make no name at all (they would name another file, or none).
bool isAscii(QByteArrayView raw)
{
    return std::all_of(raw.begin(), raw.end(), [](char c) { return uchar(c) < 0x80; });
}

class NameDecoder
{
public:
    bool decode(QByteArrayView raw, QString *name)
    {
        // Most names are ASCII, which needs no decoder.
        if (isAscii(raw)) {
            *name = QString::fromLatin1(raw);
            return true;
        }
        decoder.resetState();
        *name = decoder(raw);
        return !decoder.hasError();
    }

private:
    QStringDecoder decoder { QStringDecoder::Utf8,
        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom };
};

// The disk names one listing keeps, packed together and sorted as bytes: UTF-8 in byte order
// is UTF-16 in code-unit order (QString's order) as long as no character lies beyond U+FFFF.
// Most comparisons end at the first eight bytes, taken as one number. The names are decoded
// only once sorted, so the entries are made in order from memory read in order.
class Names
{
public:
    void add(const char *raw)
    {
        const std::size_t size = std::strlen(raw);
        quint64 key = 0;
        for (std::size_t i = 0; i < 8; ++i)
            key = key << 8 | (i < size ? uchar(raw[i]) : 0);
        order.push_back({ key, bytes.size(), size });
        // Four-byte sequences (lead bytes 0xf0 and up) are the characters beyond U+FFFF.
        bytesInOrder = bytesInOrder
            && std::none_of(raw, raw + size, [](char c) { return uchar(c) >= 0xf0; });
        bytes.insert(bytes.end(), raw, raw + size + 1);
    }

    void sort(NameDecoder &decoder)
    {
        const char *data = bytes.data();
        if (bytesInOrder) {
            std::sort(order.begin(), order.end(), [data](const Place &a, const Place &b) {
                if (a.key != b.key)
                    return a.key < b.key;
                return std::strcmp(data + a.raw, data + b.raw) < 0;
            });
            return;
        }
        // Rare: compare as QString does.
        std::vector<std::pair<QString, Place>> decoded;
        decoded.reserve(order.size());
        for (const Place &place : order) {
            QString name;
            decoder.decode(QByteArrayView(data + place.raw, place.size), &name);
            decoded.emplace_back(std::move(name), place);
        }
        std::sort(decoded.begin(), decoded.end(),
            [](const auto &a, const auto &b) { return a.first < b.first; });
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = decoded[i].second;
    }

    // The disk names, in sorted order once sorted.
    template<typename Function> void forEach(Function function) const
    {
        for (const Place &place : order)
            function(QByteArrayView(bytes.data() + place.raw, place.size));
    }

    std::size_t size() const { return order.size(); }

private:
    struct Place
    {
        quint64 key;
        std::size_t raw;
        std::size_t size;
    };
    std::vector<Place> order;
    std::vector<char> bytes;
    bool bytesInOrder = true;
};

// Entries are named "<directory>/<name>", as the toolkit's listing names them.
QString entryPrefix(QString directory)
{
    if (directory.size() > 1 && directory.endsWith(QLatin1Char('/')))
        directory.chop(1);
    if (!directory.endsWith(QLatin1Char('/')))
        directory += QLatin1Char('/');
    return directory;
}

// The directory that relative names below root, open, and its path; no descriptor when a
// component is not a folder that a listing of its parent would show. Each step opens the
// folder it checked, so nothing can be swapped for a link in between.
Descriptor openListed(const QString &root, const QString &relative, QString *path)
{
    if (root.isEmpty() || root.contains(QChar(0)))
        return Descriptor();
    Descriptor dir(::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    *path = root;
    const QList<QStringView> parts
        = QStringView(relative).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QStringView part : parts) {
        if (dir.get() < 0 || !mayBeListed(part))
            return Descriptor();
        const QByteArray raw = QFile::encodeName(part.toString());
        struct stat status;
        if (::fstatat(dir.get(), raw.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0
            || kindOf(status) != Kind::Folder || !isReadable(dir.get(), raw.constData()))
            return Descriptor();
        dir = Descriptor(
            ::openat(dir.get(), raw.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        *path += QLatin1Char('/') + part;
    }
    return dir;
}

// A file system that ignores case (FAT and exFAT drives, folders set to fold case) finds an
// entry under any spelling, but a listing shows the entry's own spelling only. When another
// spelling reaches the same entry, the directory is read for this one.
bool isSpelledSo(int dir, const QByteArray &raw, const QString &name, const struct stat &found)
{
    QString other = name.toUpper();
    if (other == name)
        other = name.toLower();
    if (other == name)
        return true;
    struct stat status;
    if (::fstatat(dir, QFile::encodeName(other).constData(), &status, AT_SYMLINK_NOFOLLOW) != 0
        || status.st_dev != found.st_dev || status.st_ino != found.st_ino)
        return true;
    Descriptor copy(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR *listing = copy.get() >= 0 ? ::fdopendir(copy.get()) : nullptr;
    if (!listing)
        return false;
    copy.release();
    bool seen = false;
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, raw.constData()) == 0) {
            seen = true;
            break;
        }
    }
    ::closedir(listing);
    return seen;
}

qint64 nanoseconds(const struct timespec &time)
{
    return qint64(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

LiveDirectory::Stamp stampFrom(const struct stat &status)
{
    LiveDirectory::Stamp stamp;
    stamp.device = quint64(status.st_dev);
    stamp.inode = quint64(status.st_ino);
    stamp.modified = nanoseconds(status.st_mtim);
    stamp.changed = nanoseconds(status.st_ctim);
    return stamp;
}

#else

// Whether name is something a listing of parent would show as a folder.
bool isListedDirectory(const QString &parent, const QString &name)
{
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
#ifdef Q_OS_WIN
    if (name.contains(QLatin1Char(':')) || name.contains(QLatin1Char('\\')))
        return false;
#endif
    const QFileInfo info(parent + QLatin1Char('/') + name);
    return info.fileName() == name && info.isDir() && !info.isSymLink() && !info.isHidden()
        && info.isReadable();
}

void sortByName(QFileInfoList &list)
{
    // Names are taken once: asking each QFileInfo inside the comparison builds a new string
    // per call, which costs more than the directory read itself in a large folder.
    std::vector<std::pair<QString, qsizetype>> keys;
    keys.reserve(list.size());
    for (qsizetype i = 0; i < list.size(); ++i)
        keys.emplace_back(list.at(i).fileName(), i);
    std::sort(keys.begin(), keys.end());
    QFileInfoList sorted;
    sorted.reserve(list.size());
    for (const auto &key : keys)
        sorted.append(list.at(key.second));
    list = std::move(sorted);
}

#endif

} // namespace

namespace LiveDirectory {

#ifdef Q_OS_UNIX

namespace {

// One pass over the directory: the entry's own type, a readability check, and the name
// filter compared by hand for the usual patterns; no stat for what the entry already says.
// The stamp is taken before the reading, so a change during it shows in the next stamp.
bool readListed(const QString &root, const QString &relative, const QString &filterText,
    NameDecoder &decoder, Names *folders, Names *files, QString *path, Stamp *stamp)
{
    Descriptor fd = openListed(root, relative, path);
    struct stat status;
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0)
        return false;
    DIR *dir = ::fdopendir(fd.get());
    if (!dir)
        return false;
    fd.release();
    if (stamp)
        *stamp = stampFrom(status);

    const NameFilter filter(filterText);
    QString name;
    while (const dirent *entry = ::readdir(dir)) {
        const char *raw = entry->d_name;
        if (raw[0] == '.')
            continue;
        const Kind kind = kindOf(::dirfd(dir), *entry);
        if (kind == Kind::Other)
            continue;
        if (isAscii(raw)) {
            if (kind == Kind::File && !filter.matches(QLatin1String(raw)))
                continue;
        } else if (!decoder.decode(raw, &name) || (kind == Kind::File && !filter.matches(name))) {
            continue;
        }
        if (!isReadable(::dirfd(dir), raw))
            continue;
        (kind == Kind::Folder ? folders : files)->add(raw);
    }
    ::closedir(dir);
    return true;
}

} // namespace

QList<EntryInfo> list(const QString &root, const QString &relative, const QString &filterText)
{
    NameDecoder decoder;
    Names folders;
    Names files;
    QString path;
    if (!readListed(root, relative, filterText, decoder, &folders, &files, &path, nullptr))
        return {};

    folders.sort(decoder);
    files.sort(decoder);
    const QString prefix = entryPrefix(path);
    QList<EntryInfo> entries;
    entries.reserve(qsizetype(folders.size() + files.size()));
    QString name;
    const auto append = [&](QByteArrayView raw, bool isDir) {
        decoder.decode(raw, &name);
        entries.append(EntryInfo::listed(root, prefix + name, name, isDir));
    };
    folders.forEach([&](QByteArrayView raw) { append(raw, true); });
    files.forEach([&](QByteArrayView raw) { append(raw, false); });
    return entries;
}

Directory::Directory(const QString &root, const QString &relative)
{
    QString path;
    fd = openListed(root, relative, &path).release();
}

Directory::~Directory()
{
    if (fd >= 0)
        ::close(fd);
}

bool Directory::stamp(Stamp *stamp) const
{
    struct stat status;
    if (fd < 0 || ::fstat(fd, &status) != 0)
        return false;
    *stamp = stampFrom(status);
    return true;
}

bool Directory::isReadable(const QString &name) const
{
    return fd >= 0 && ::isReadable(fd, QFile::encodeName(name).constData());
}

bool Directory::fileStatus(
    const QString &name, qint64 *size, qint64 *modifiedMs, qint64 *changedMs) const
{
    struct stat status;
    if (fd < 0
        || ::fstatat(fd, QFile::encodeName(name).constData(), &status, AT_SYMLINK_NOFOLLOW) != 0
        || !S_ISREG(status.st_mode))
        return false;
    *size = status.st_size;
    *modifiedMs = qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1'000'000;
    *changedMs = qint64(status.st_ctim.tv_sec) * 1000 + status.st_ctim.tv_nsec / 1'000'000;
    return true;
}

bool readNames(const QString &root, const QString &relative, const QString &filterText,
    QStringList *folders, QStringList *files, QString *path, Stamp *stamp)
{
    NameDecoder decoder;
    Names folderNames;
    Names fileNames;
    if (!readListed(root, relative, filterText, decoder, &folderNames, &fileNames, path, stamp))
        return false;
    const auto decodeAll = [&](const Names &names, QStringList *out) {
        out->clear();
        out->reserve(qsizetype(names.size()));
        QString name;
        names.forEach([&](QByteArrayView raw) {
            decoder.decode(raw, &name);
            out->append(name);
        });
    };
    decodeAll(folderNames, folders);
    decodeAll(fileNames, files);
    return true;
}

EntryInfo find(
    const QString &root, const QString &relative, const QString &name, const QString &filterText)
{
    if (!mayBeListed(name))
        return EntryInfo();
    const QByteArray raw = QFile::encodeName(name);
    // Listed names are decoded from disk names; one that its bytes do not give back (a lone
    // surrogate) is none of them.
    QString decoded;
    if (!NameDecoder().decode(raw, &decoded) || decoded != name)
        return EntryInfo();
    QString path;
    const Descriptor dir = openListed(root, relative, &path);
    if (dir.get() < 0)
        return EntryInfo();
    struct stat status;
    if (::fstatat(dir.get(), raw.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return EntryInfo();
    const Kind kind = kindOf(status);
    if (kind == Kind::Other || (kind == Kind::File && !NameFilter(filterText).matches(name))
        || !isReadable(dir.get(), raw.constData()) || !isSpelledSo(dir.get(), raw, name, status))
        return EntryInfo();
    return EntryInfo::listed(root, entryPrefix(path) + name, name, kind == Kind::Folder);
}

int open(const QString &root, const QString &relative)
{
    const qsizetype cut = relative.lastIndexOf(QLatin1Char('/'));
    const QString name = relative.mid(cut + 1);
    QString path;
    const Descriptor dir = mayBeListed(name)
        ? openListed(root, cut < 0 ? QString() : relative.left(cut), &path)
        : Descriptor();
    if (dir.get() < 0)
        return -1;
    // Without waiting: a pipe swapped in would block until someone writes to it. Regular files
    // read the same either way.
    return ::openat(dir.get(), QFile::encodeName(name).constData(),
        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

#else

QList<EntryInfo> list(const QString &root, const QString &relative, const QString &filterText)
{
    // Below a live folder the components go to the file system, joined by "/"; empty ones
    // (a doubled or trailing separator) are harmless there and skipped.
    QString dirPath = root;
    if (dirPath.isEmpty())
        return {};
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (!isListedDirectory(dirPath, part))
            return {};
        dirPath += QLatin1Char('/') + part;
    }

    const QDir dir(dirPath);
    if (!dir.exists())
        return {};

    QFileInfoList dirs = dir.entryInfoList(
        QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks | QDir::Readable, QDir::NoSort);
    sortByName(dirs);

    const QStringList patterns
        = filterText.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QFileInfoList files = dir.entryInfoList(
        patterns, QDir::Files | QDir::NoSymLinks | QDir::Readable, QDir::NoSort);
    sortByName(files);

    QList<EntryInfo> entries;
    entries.reserve(dirs.size() + files.size());
    for (const QFileInfo &info : std::as_const(dirs))
        entries.append(EntryInfo(info, QString()));
    for (const QFileInfo &info : std::as_const(files))
        entries.append(EntryInfo(info, QString()));
    return entries;
}

EntryInfo find(
    const QString &root, const QString &relative, const QString &name, const QString &filterText)
{
    const QList<EntryInfo> entries = list(root, relative, filterText);
    for (const EntryInfo &entry : entries) {
        if (entry.name() == name)
            return entry;
    }
    return EntryInfo();
}

// Without a stamp to trust, every listing is read again.
Directory::Directory(const QString &, const QString &) { }

Directory::~Directory() = default;

bool Directory::stamp(Stamp *) const
{
    return false;
}

bool Directory::isReadable(const QString &) const
{
    return true;
}

bool Directory::fileStatus(const QString &, qint64 *, qint64 *, qint64 *) const
{
    return false;
}

bool readNames(const QString &root, const QString &relative, const QString &filterText,
    QStringList *folders, QStringList *files, QString *path, Stamp *stamp)
{
    *stamp = Stamp();
    *path = root + QLatin1Char('/') + relative;
    folders->clear();
    files->clear();
    const QList<EntryInfo> entries = list(root, relative, filterText);
    for (const EntryInfo &entry : entries) {
        (entry.isDir() ? folders : files)->append(entry.name());
        *path = entry.absolutePath();
    }
    return true;
}

#endif

} // namespace LiveDirectory
