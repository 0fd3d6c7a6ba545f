#include "transfer/dirhandle.h"

#include <QDir>
#include <QFile>
#include <QHash>

#include <utility>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

DirHandle::DirHandle(DirHandle &&other) noexcept
{
    *this = std::move(other);
}

// Joined by hand: QDir would take a name that begins with ':' for a resource path and drop
// the directory.
QString DirHandle::filePath(const QString &name) const
{
    return at.endsWith(QLatin1Char('/')) ? at + name : at + QLatin1Char('/') + name;
}

#ifdef Q_OS_WIN

namespace {

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

qint64 msOf(const FILETIME &time)
{
    ULARGE_INTEGER t;
    t.LowPart = time.dwLowDateTime;
    t.HighPart = time.dwHighDateTime;
    return (qint64(t.QuadPart) - 116444736000000000LL) / 10000; // from 1601 in 100 ns steps
}

// Without FILE_SHARE_DELETE: while the handle is held, nobody renames or removes the directory.
HANDLE openDirectory(const std::wstring &path, bool followLink)
{
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (!followLink)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    const HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(h);
        return nullptr;
    }
    return h;
}

} // namespace

DirHandle::~DirHandle()
{
    if (handle)
        CloseHandle(HANDLE(handle));
}

DirHandle &DirHandle::operator=(DirHandle &&other) noexcept
{
    if (this != &other) {
        if (handle)
            CloseHandle(HANDLE(handle));
        handle = std::exchange(other.handle, nullptr);
        parent = std::move(other.parent);
        at = std::move(other.at);
        limit = other.limit;
    }
    return *this;
}

std::shared_ptr<const DirHandle> DirHandle::open(const QString &path)
{
    const HANDLE h = openDirectory(nativePath(path), true);
    if (!h)
        return nullptr;
    auto dir = std::make_shared<DirHandle>();
    dir->handle = h;
    dir->at = path;
    return dir;
}

std::shared_ptr<const DirHandle> DirHandle::child(const std::shared_ptr<const DirHandle> &parent, const QString &name)
{
    if (!parent)
        return nullptr;
    const QString path = parent->filePath(name);
    const std::wstring native = nativePath(path);
    if (!CreateDirectoryW(native.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return nullptr;
    const HANDLE h = openDirectory(native, false);
    if (!h)
        return nullptr;
    auto dir = std::make_shared<DirHandle>();
    dir->handle = h;
    dir->parent = parent;
    dir->at = path;
    return dir;
}

DirHandle::Entry DirHandle::entry(const QString &name) const
{
    Entry e;
    const std::wstring path = nativePath(filePath(name));
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return e;
    const DWORD attributes = data.dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        e.kind = Kind::Link;
    else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        e.kind = Kind::Directory;
    else if (attributes & FILE_ATTRIBUTE_DEVICE)
        e.kind = Kind::Other;
    else
        e.kind = Kind::File;
    e.size = qint64((quint64(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    e.modifiedMs = msOf(data.ftLastWriteTime);
    const HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(h, &info)) {
            e.device = info.dwVolumeSerialNumber;
            e.node = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
            e.identified = true;
        }
        CloseHandle(h);
    }
    return e;
}

bool DirHandle::openFile(QFile &file, const QString &name, bool create) const
{
    // The held directories above cannot be swapped; the last step is checked here (and the
    // caller compares the opened file with what it looked at).
    if (!create && entry(name).kind != Kind::File)
        return false;
    QIODevice::OpenMode mode = QIODevice::ReadWrite | QIODevice::Unbuffered;
    mode |= create ? QIODevice::NewOnly : QIODevice::ExistingOnly;
    file.setFileName(filePath(name));
    return file.open(mode);
}

bool DirHandle::rename(const QString &from, const QString &to) const
{
    return MoveFileExW(nativePath(filePath(from)).c_str(), nativePath(filePath(to)).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
        != 0;
}

bool DirHandle::remove(const QString &name) const
{
    return DeleteFileW(nativePath(filePath(name)).c_str()) != 0;
}

int DirHandle::nameLimit() const
{
    return 255;
}

#else

namespace {

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

} // namespace

DirHandle::~DirHandle()
{
    if (fd >= 0)
        ::close(fd);
}

DirHandle &DirHandle::operator=(DirHandle &&other) noexcept
{
    if (this != &other) {
        if (fd >= 0)
            ::close(fd);
        fd = std::exchange(other.fd, -1);
        at = std::move(other.at);
        limit = other.limit;
    }
    return *this;
}

std::shared_ptr<const DirHandle> DirHandle::open(const QString &path)
{
    const int opened = ::open(QFile::encodeName(path).constData(), directoryFlags);
    if (opened < 0)
        return nullptr;
    auto dir = std::make_shared<DirHandle>();
    dir->fd = opened;
    dir->at = path;
    // Opened for every file outside a folder, where a statfs each would be a fair share of a
    // small file's cost. A directory's file system seldom changes under it, and a stale limit
    // only makes a create fail, as any failed create does.
    thread_local QHash<QString, int> known;
    const auto it = known.constFind(path);
    if (it != known.constEnd()) {
        dir->limit = *it;
    } else {
        if (known.size() >= 64)
            known.clear();
        known.insert(path, dir->nameLimit());
    }
    return dir;
}

std::shared_ptr<const DirHandle> DirHandle::child(const std::shared_ptr<const DirHandle> &parent, const QString &name)
{
    if (!parent)
        return nullptr;
    const QByteArray native = QFile::encodeName(name);
    // O_NOFOLLOW: a link in its place, planted before or swapped in after the mkdir, fails.
    int opened = ::openat(parent->fd, native.constData(), directoryFlags | O_NOFOLLOW);
    if (opened < 0 && errno == ENOENT) {
        if (::mkdirat(parent->fd, native.constData(), 0777) != 0 && errno != EEXIST)
            return nullptr;
        opened = ::openat(parent->fd, native.constData(), directoryFlags | O_NOFOLLOW);
    }
    if (opened < 0)
        return nullptr;
    auto dir = std::make_shared<DirHandle>();
    dir->fd = opened;
    dir->at = parent->filePath(name);
    dir->limit = parent->nameLimit(); // as above: rarely another file system, and then harmless
    return dir;
}

DirHandle::Entry DirHandle::entry(const QString &name) const
{
    Entry e;
    struct stat st;
    if (::fstatat(fd, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return e;
    if (S_ISREG(st.st_mode))
        e.kind = Kind::File;
    else if (S_ISDIR(st.st_mode))
        e.kind = Kind::Directory;
    else if (S_ISLNK(st.st_mode))
        e.kind = Kind::Link;
    else
        e.kind = Kind::Other;
    e.identified = true;
    e.device = quint64(st.st_dev);
    e.node = quint64(st.st_ino);
    e.size = qint64(st.st_size);
#if defined(Q_OS_LINUX)
    e.modifiedMs = qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
#elif defined(Q_OS_DARWIN)
    e.modifiedMs = qint64(st.st_mtimespec.tv_sec) * 1000 + st.st_mtimespec.tv_nsec / 1000000;
#else
    e.modifiedMs = qint64(st.st_mtime) * 1000;
#endif
    return e;
}

bool DirHandle::openFile(QFile &file, const QString &name, bool create) const
{
    int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    if (create)
        flags |= O_CREAT | O_EXCL;
    int opened;
    do
        opened = ::openat(fd, QFile::encodeName(name).constData(), flags, 0666);
    while (opened < 0 && errno == EINTR);
    if (opened < 0)
        return false;
    // Unbuffered: each piece goes to the system in one call, and a failed write shows at once.
    if (file.open(opened, QIODevice::ReadWrite | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        return true;
    ::close(opened);
    return false;
}

bool DirHandle::rename(const QString &from, const QString &to) const
{
    return ::renameat(fd, QFile::encodeName(from).constData(), fd, QFile::encodeName(to).constData()) == 0;
}

bool DirHandle::remove(const QString &name) const
{
    return ::unlinkat(fd, QFile::encodeName(name).constData(), 0) == 0;
}

int DirHandle::nameLimit() const
{
    if (limit == 0) {
        const long max = ::fpathconf(fd, _PC_NAME_MAX);
        limit = max > 0 && max < 4096 ? int(max) : 255;
    }
    return limit;
}

#endif
