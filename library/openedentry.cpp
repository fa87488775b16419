#include "library/openedentry.h"

#include "library/livedirectory.h"

#include <QDir>

#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
using Status = struct _stati64;
int statusOf(int fd, Status *status)
{
    return ::_fstati64(fd, status);
}
void closeDescriptor(int fd)
{
    ::_close(fd);
}
bool isRegular(const Status &status)
{
    return (status.st_mode & _S_IFMT) == _S_IFREG;
}
bool isFolder(const Status &status)
{
    return (status.st_mode & _S_IFMT) == _S_IFDIR;
}
#else
using Status = struct stat;
int statusOf(int fd, Status *status)
{
    return ::fstat(fd, status);
}
void closeDescriptor(int fd)
{
    ::close(fd);
}
bool isRegular(const Status &status)
{
    return S_ISREG(status.st_mode);
}
bool isFolder(const Status &status)
{
    return S_ISDIR(status.st_mode);
}
#endif

// A path the user chose, followed wherever it leads; without waiting on a pipe.
int openPath(const QString &path)
{
    if (path.isEmpty() || path.contains(QChar(0)))
        return -1;
#ifdef Q_OS_WIN
    return ::_wopen(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
        _O_RDONLY | _O_BINARY);
#else
    return ::open(
        QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
#endif
}

} // namespace

OpenedEntry::OpenedEntry(int descriptor)
{
    if (descriptor < 0)
        return;
    Status status {};
    const bool known = statusOf(descriptor, &status) == 0;
    if (known && isRegular(status)) {
        fd = descriptor;
        bytes = qint64(status.st_size);
        return;
    }
    if (known && isFolder(status))
        bytes = qint64(status.st_size);
    closeDescriptor(descriptor);
}

OpenedEntry::OpenedEntry(OpenedEntry &&other) noexcept
    : fd(std::exchange(other.fd, -1))
    , bytes(std::exchange(other.bytes, 0))
{ }

OpenedEntry &OpenedEntry::operator=(OpenedEntry &&other) noexcept
{
    std::swap(fd, other.fd);
    std::swap(bytes, other.bytes);
    return *this;
}

OpenedEntry::~OpenedEntry()
{
    if (fd >= 0)
        closeDescriptor(fd);
}

OpenedEntry OpenedEntry::open(const EntryInfo &entry)
{
    const QString path = entry.filePath();
    const QString root = entry.liveRoot();
    if (root.isEmpty()) {
        OpenedEntry opened(openPath(path));
        // What could not be opened keeps the size its path gives, as it always had: a player
        // that GETs it still receives that many bytes (NULs).
        if (!opened.isFile() && opened.bytes == 0 && !path.isEmpty())
            opened.bytes = QFileInfo(path).size();
        return opened;
    }
    // A listed entry's path is its live folder's followed by the components below it.
    if (!QDir::fromNativeSeparators(path).startsWith(QDir::fromNativeSeparators(root)))
        return OpenedEntry();
    return OpenedEntry(
        LiveDirectory::open(root, QDir::fromNativeSeparators(path.mid(root.size()))));
}

int OpenedEntry::release()
{
    bytes = 0;
    return std::exchange(fd, -1);
}

std::unique_ptr<QFile> OpenedEntry::takeFile()
{
    auto file = std::make_unique<QFile>();
    if (fd >= 0
        && file->open(
            fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        fd = -1;
    return file;
}
