// Live folders on Windows, read with the Win32 calls: one FindFirstFileExW pass gives each
// entry's name and attributes, so only the readability check opens anything.
#include "library/livedirectory.h"

#include "library/namefilter.h"

#include <QDir>

#include <algorithm>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// Names Windows would take for something other than an entry of this folder: a drive or an
// alternate data stream (':'), another folder ('\\', '/'), wildcards, a device (CON, NUL,
// COM1, "nul.txt" too), or the same entry by a name the file system trims (trailing dots
// and blanks). "." and ".." are never listed.
bool mayBeListed(QStringView name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c.unicode() < 32 || QStringView(u"<>:\"/\\|?*").contains(c))
            return false;
    }
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return false;
    QStringView stem = name.left(name.indexOf(QLatin1Char('.')));
    while (stem.endsWith(QLatin1Char(' ')))
        stem.chop(1);
    static const char *const devices[] = { "CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$" };
    for (const char *device : devices) {
        if (stem.compare(QLatin1String(device), Qt::CaseInsensitive) == 0)
            return false;
    }
    if (stem.size() == 4 && stem.at(3).isDigit() && stem.at(3) != QLatin1Char('0')
        && (stem.left(3).compare(QLatin1String("COM"), Qt::CaseInsensitive) == 0
            || stem.left(3).compare(QLatin1String("LPT"), Qt::CaseInsensitive) == 0))
        return false;
    return true;
}

enum class Kind { Folder, File, Other };

// Junctions and symbolic links (reparse points) are neither followed nor listed; hidden and
// system entries are left out, and so are shortcut files, as Explorer hides them from a
// listing of files.
Kind kindOf(DWORD attributes, QStringView name)
{
    if (attributes
        & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM
            | FILE_ATTRIBUTE_DEVICE))
        return Kind::Other;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return Kind::Folder;
    if (name.endsWith(QLatin1String(".lnk"), Qt::CaseInsensitive))
        return Kind::Other;
    return Kind::File;
}

// Readable the way a player's request will read it: opened for reading, sharing everything so
// that a file another program is writing still counts. Folders open with backup semantics.
bool isReadable(const std::wstring &path, Kind kind)
{
    const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT
        | (kind == Kind::Folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL);
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, flags,
        nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(handle);
    return true;
}

// The one entry called name in the folder at directory, as the directory spells it.
bool findOne(const QString &directory, const QString &name, WIN32_FIND_DATAW *data)
{
    const std::wstring pattern = nativePath(directory + QLatin1Char('/') + name);
    const HANDLE find = FindFirstFileExW(
        pattern.c_str(), FindExInfoBasic, data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    FindClose(find);
    // The file system ignores case and may know a short (8.3) name for it too; a listing
    // shows one spelling only, and only that spelling is the entry.
    return QString::fromWCharArray(data->cFileName) == name;
}

// The folder that relative names below root, when each component is one a listing of its
// parent would show; empty otherwise.
QString listedFolder(const QString &root, const QString &relative)
{
    if (root.isEmpty() || root.contains(QChar(0)))
        return QString();
    QString path = root;
    while (
        path.size() > 1 && path.endsWith(QLatin1Char('/')) && !path.endsWith(QLatin1String(":/")))
        path.chop(1);
    for (const QStringView part :
        QStringView(relative).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        WIN32_FIND_DATAW data;
        if (!mayBeListed(part) || !findOne(path, part.toString(), &data)
            || kindOf(data.dwFileAttributes, part) != Kind::Folder)
            return QString();
        path += QLatin1Char('/') + part;
        if (!isReadable(nativePath(path), Kind::Folder))
            return QString();
    }
    return path;
}

// Where an open handle really is, links resolved (\\?\C:\Media\film.mkv); empty when it
// cannot be told.
QString finalPath(HANDLE handle)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD size = GetFinalPathNameByHandleW(
            handle, buffer.data(), DWORD(buffer.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (size == 0)
            return QString();
        if (size < buffer.size())
            return QString::fromWCharArray(buffer.data(), int(size));
        buffer.resize(size + 1);
    }
}

QString entryPrefix(const QString &directory)
{
    return directory.endsWith(QLatin1Char('/')) ? directory : directory + QLatin1Char('/');
}

} // namespace

namespace LiveDirectory {

// Slower than the Linux pass: Windows has no cheap access() check, so every candidate is
// opened and closed once to learn whether it can be read.
QList<EntryInfo> list(const QString &root, const QString &relative, const QString &filterText)
{
    const QString path = listedFolder(root, relative);
    if (path.isEmpty())
        return {};
    const std::wstring pattern = nativePath(entryPrefix(path) + QLatin1Char('*'));
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
        FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return {};

    const NameFilter filter(filterText);
    const QString prefix = entryPrefix(path);
    std::vector<QString> folders;
    std::vector<QString> files;
    do {
        const QString name = QString::fromWCharArray(data.cFileName);
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        const Kind kind = kindOf(data.dwFileAttributes, name);
        if (kind == Kind::Other || (kind == Kind::File && !filter.matches(name)))
            continue;
        if (!isReadable(nativePath(prefix + name), kind))
            continue;
        (kind == Kind::Folder ? folders : files).push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);

    // By code unit, as everywhere else: the file system's own order ignores case.
    std::sort(folders.begin(), folders.end());
    std::sort(files.begin(), files.end());
    QList<EntryInfo> entries;
    entries.reserve(qsizetype(folders.size() + files.size()));
    for (const QString &name : folders)
        entries.append(EntryInfo::listed(root, prefix + name, name, true));
    for (const QString &name : files)
        entries.append(EntryInfo::listed(root, prefix + name, name, false));
    return entries;
}

EntryInfo find(
    const QString &root, const QString &relative, const QString &name, const QString &filterText)
{
    if (!mayBeListed(name))
        return EntryInfo();
    const QString path = listedFolder(root, relative);
    WIN32_FIND_DATAW data;
    if (path.isEmpty() || !findOne(path, name, &data))
        return EntryInfo();
    const Kind kind = kindOf(data.dwFileAttributes, name);
    const QString filePath = entryPrefix(path) + name;
    if (kind == Kind::Other || (kind == Kind::File && !NameFilter(filterText).matches(name))
        || !isReadable(nativePath(filePath), kind))
        return EntryInfo();
    return EntryInfo::listed(root, filePath, name, kind == Kind::Folder);
}

// Windows has no openat: the file is opened by its path, the last component not followed if it
// is a link, and the handle then says where it really is. A folder on the way swapped for a
// junction leads elsewhere, and that place is not exactly below the root.
int open(const QString &root, const QString &relative)
{
    const QList<QStringView> parts
        = QStringView(relative).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty() || root.isEmpty() || root.contains(QChar(0)))
        return -1;
    for (const QStringView part : parts) {
        if (!mayBeListed(part))
            return -1;
    }
    // The root as the user chose it, links and all.
    const HANDLE folder = CreateFileW(nativePath(root).c_str(), 0,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return -1;
    QString expected = finalPath(folder);
    CloseHandle(folder);
    if (expected.isEmpty())
        return -1;
    QString path = root;
    for (const QStringView part : parts) {
        if (!expected.endsWith(QLatin1Char('\\')))
            expected += QLatin1Char('\\');
        expected += part;
        if (!path.endsWith(QLatin1Char('/')))
            path += QLatin1Char('/');
        path += part;
    }

    const HANDLE file = CreateFileW(nativePath(path).c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    BY_HANDLE_FILE_INFORMATION info;
    const bool regular = GetFileType(file) == FILE_TYPE_DISK
        && GetFileInformationByHandle(file, &info)
        && !(info.dwFileAttributes
            & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
        && finalPath(file).compare(expected, Qt::CaseInsensitive) == 0;
    const int fd
        = regular ? _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY) : -1;
    if (fd < 0)
        CloseHandle(file);
    return fd;
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

} // namespace LiveDirectory
