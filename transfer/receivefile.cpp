#include "transfer/receivefile.h"

#include "transfer/filedigest.h"
#include "transfer/spaceledger.h"
#include "transfer/streamparser.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace {

QString applicationDir()
{
    return QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QDir::currentPath();
}

bool sameName(const QString &a, const QString &b)
{
#ifdef Q_OS_WIN
    return a.compare(b, Qt::CaseInsensitive) == 0;
#else
    return a == b;
#endif
}

bool isApplicationDir(const QString &dir)
{
    const QString canonical = QFileInfo(dir).canonicalFilePath();
    return !canonical.isEmpty() && sameName(canonical, QFileInfo(applicationDir()).canonicalFilePath());
}

// The longest start of name that fits in limit, cut between characters.
QString fitted(const QString &name, int limit)
{
    QString stem = name;
    while (!stem.isEmpty() && ReceiveFile::nameLength(stem) > limit) {
        stem.chop(1);
        if (!stem.isEmpty() && stem.at(stem.size() - 1).isHighSurrogate())
            stem.chop(1);
    }
    return stem;
}

// ".%08x.part", as temporaryName() ends.
constexpr int temporaryTail = 14;

// A name for the bytes in transit that no peer's name can already hold: created exclusively
// (received names of this form are refused), and short enough for the file system whatever
// the received name's length.
QString temporaryName(const QString &name, int limit)
{
    const QString stem = fitted(name.left(40), limit - temporaryTail);
    return QStringLiteral("%1.%2%3")
        .arg(stem)
        .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
        .arg(ReceiveFile::partSuffix);
}

bool isTemporaryForm(const QString &name)
{
    static const QRegularExpression form(QStringLiteral("\\.[0-9a-f]{8}\\.part$"),
                                         QRegularExpression::CaseInsensitiveOption);
    return form.match(name).hasMatch();
}

// "<name>.part", or a shortened form when that is too long: the same for the same name, so
// that retries replace one another's bytes instead of piling up.
QString partNameFor(const QString &name, int limit)
{
    const QString part = name + ReceiveFile::partSuffix;
    if (ReceiveFile::nameLength(part) <= limit)
        return part;
    return fitted(name, limit - ReceiveFile::nameLength(ReceiveFile::partSuffix)) + ReceiveFile::partSuffix;
}

// Asked once per file: one system call, not the mount table that QStorageInfo reads.
// Windows has no inode count: those figures stay unknown there.
ReceiveFile::VolumeSpace systemSpace(const QString &dir)
{
    ReceiveFile::VolumeSpace space;
#ifdef Q_OS_WIN
    ULARGE_INTEGER available, total;
    if (!GetDiskFreeSpaceExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(dir).utf16()), &available,
                             &total, nullptr))
        return space;
    space.available = qint64(available.QuadPart);
    space.total = qint64(total.QuadPart);
#else
    struct statvfs fs;
    if (::statvfs(QFile::encodeName(dir).constData(), &fs) != 0)
        return space;
    space.available = qint64(fs.f_bavail) * qint64(fs.f_frsize);
    space.total = qint64(fs.f_blocks) * qint64(fs.f_frsize);
    // No count at all (btrfs, FAT, an unlimited tmpfs) means none is kept, not none is left.
    if (fs.f_files > 0) {
        space.inodesAvailable = qint64(fs.f_favail);
        space.inodesTotal = qint64(fs.f_files);
    }
#endif
    return space;
}

ReceiveFile::VolumeSpace spaceOf(const QString &dir)
{
    const ReceiveFile::SpaceQuery query = ReceiveFile::spaceQuery.load();
    return query ? query(dir) : systemSpace(dir);
}

} // namespace

bool ReceiveFile::open(const QString &dir, const QString &name, std::optional<quint64> declaredSize)
{
    return openFile(DirHandle::open(dir), name, declaredSize, std::nullopt);
}

bool ReceiveFile::open(const QString &dir, const QString &name, quint64 declaredSize, qint64 modifiedMs)
{
    return openFile(DirHandle::open(dir), name, declaredSize, modifiedMs);
}

bool ReceiveFile::open(const std::shared_ptr<const DirHandle> &dir, const QString &name, quint64 declaredSize,
                       std::optional<qint64> modifiedMs)
{
    return openFile(dir, name, declaredSize, modifiedMs);
}

bool ReceiveFile::openFile(std::shared_ptr<const DirHandle> dir, const QString &name,
                           std::optional<quint64> declaredSize, std::optional<qint64> modifiedMs)
{
    abandon();
    count = 0;
    replaced = false;
    declared.reset();
    target.clear();
    modifiedTime.reset();
    if (!dir || name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return false;
#ifdef Q_OS_WIN
    if (isWindowsReservedName(name))
        return false;
#endif
    if (isProgramFile(name) && isApplicationDir(dir->path()))
        return false;
    // Another transfer's bytes in transit could be replaced under that name.
    if (isTemporaryForm(name))
        return false;
    const int limit = dir->nameLimit();
    if (nameLength(name) > limit)
        return false;
    const DirHandle::Kind kind = dir->entry(name).kind;
    if (kind != DirHandle::Kind::Missing && kind != DirHandle::Kind::File)
        return false;
    const VolumeSpace space = spaceBefore(dir->path(), declaredSize.value_or(0));
    if (!inodesLeft(space))
        return false;
    if (declaredSize) {
        const std::optional<qint64> room =
            space.available < 0 ? std::nullopt : std::optional<qint64>(space.available - reserveFor(space));
        if (!spaceLedger::grant(room, *declaredSize))
            return false;
        granted = *declaredSize;
    }
    directory = std::move(dir);
    partName = partNameFor(name, limit);
    if (!(modifiedMs && takeUpPart(name, limit, *declaredSize, *modifiedMs)) && !createTemporary(name, limit)) {
        directory.reset();
        keepGrant(0);
        return false;
    }
    targetName = name;
    target = directory->filePath(name);
    receiveDir = directory->path();
    modifiedTime = modifiedMs;
    declared = declaredSize;
    keepGrant(declaredLeft()); // a part taken up is on the disk already
    spaceSeen.wanted += declaredSize.value_or(0);
    ++spaceSeen.entries;
    // Without a size the first write looks, as one may come after the room is gone.
    nextSpaceCheck = declaredSize ? count + spaceCheckBytes : 0;
    return true;
}

bool ReceiveFile::createTemporary(const QString &name, int limit)
{
    // Created new: never opens what is already there, a planted link included. Readable, so
    // that the bytes can be copied out should the name be taken from under it (keepElsewhere).
    for (int attempt = 0; attempt < 8; ++attempt) {
        temporary = temporaryName(name, limit);
        if (directory->openFile(file, temporary, true)) {
            createdId = openedIdentity();
            return true;
        }
        if (directory->entry(temporary).kind == DirHandle::Kind::Missing)
            return false; // not a name clash: the directory refuses
    }
    return false;
}

#ifdef Q_OS_LINUX
namespace {
qint64 msOf(const struct stat &st)
{
    return qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}
} // namespace
#endif

qint64 ReceiveFile::modifiedMs(const QString &path)
{
#ifdef Q_OS_LINUX
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return msOf(st);
#else
    const QDateTime time = QFileInfo(path).lastModified();
    return time.isValid() ? time.toMSecsSinceEpoch() : 0;
#endif
}

std::optional<ReceiveFile::Outgoing> ReceiveFile::lookAtOutgoing(const QString &path, qint64 readLimit)
{
    Outgoing out;
#ifdef Q_OS_LINUX
    // Not blocking: a pipe must not hold the sender up before it is seen not to be a file.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    out.size = qint64(st.st_size);
    out.modifiedMs = msOf(st);
    if (out.size <= readLimit) {
        // One byte more than announced shows a file that grew.
        QByteArray bytes(int(out.size + 1), Qt::Uninitialized);
        qint64 got = 0;
        for (;;) {
            const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || (got += n) == bytes.size())
                break;
        }
        if (got == out.size) {
            bytes.resize(int(got));
            out.bytes = std::move(bytes);
        }
    }
    ::close(fd);
#else
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable())
        return std::nullopt;
    out.size = info.size();
    out.modifiedMs = modifiedMs(path);
    if (out.size <= readLimit) {
        QFile file(path);
        const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.read(out.size + 1) : QByteArray();
        if (bytes.size() == out.size && file.error() == QFileDevice::NoError)
            out.bytes = bytes;
    }
#endif
    return out;
}

// The part moves to a temporary name of its own before it is opened, so that a second transfer
// of the name meanwhile finds none; it is used only while it is still the plain file looked at.
bool ReceiveFile::takeUpPart(const QString &name, int limit, quint64 declaredSize, qint64 modifiedMs)
{
    const DirHandle::Entry part = directory->entry(partName);
    const FileId partId = identityOf(part); // invalid for a link
    // Only for more than it holds: a part as long as the file would be stored on the sender's
    // word alone, with no byte of its own.
    if (!partId.valid || part.size <= 0 || quint64(part.size) >= declaredSize
        || qAbs(part.modifiedMs - modifiedMs) > partTimeSlackMs)
        return false;
    temporary = temporaryName(name, limit);
    if (directory->entry(temporary).kind != DirHandle::Kind::Missing || !directory->rename(partName, temporary))
        return false;
    if (identityOf(directory->entry(temporary)) == partId && directory->openFile(file, temporary, false)) {
        if (openedIdentity() == partId && file.seek(file.size())) {
            count = quint64(file.size());
            createdId = partId;
            return true;
        }
        file.close();
    }
    if (identityOf(directory->entry(temporary)) == partId)
        directory->rename(temporary, partName);
    count = 0;
    return false;
}

quint64 ReceiveFile::readBack(FileDigest &digest, qint64 budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    quint64 kept = 0;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    bool ok = file.seek(0);
    while (ok && kept < count && clock.elapsed() < budgetMs) {
        const qint64 n = file.read(block.data(), qint64(std::min<quint64>(quint64(block.size()), count - kept)));
        ok = n > 0;
        if (ok) {
            digest.add(block.constData(), n);
            kept += quint64(n);
        }
    }
    if (kept < count && !file.resize(qint64(kept)))
        kept = 0; // cannot cut it: all of it again
    if (kept == 0) { // nothing of it is taken up: neither may its digest be
        digest.reset();
        file.resize(0);
    }
    count = kept;
    keepGrant(declaredLeft());
    file.seek(qint64(kept));
    return kept;
}

bool ReceiveFile::restart()
{
    count = 0;
    keepGrant(declaredLeft());
    return file.resize(0) && file.seek(0);
}

std::shared_ptr<const DirHandle> ReceiveFile::makeDirectories(std::shared_ptr<const DirHandle> at,
                                                             const QStringList &components)
{
    for (const QString &name : components) {
        if (!at || name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
            || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
            return nullptr;
#ifdef Q_OS_WIN
        if (isWindowsReservedName(name))
            return nullptr;
#endif
        if ((isProgramFile(name) && isApplicationDir(at->path())) || nameLength(name) > at->nameLimit())
            return nullptr;
        // A new directory takes an inode: the reserve stays free beside it.
        if (at->entry(name).kind == DirHandle::Kind::Missing && !inodesLeft(spaceOf(at->path())))
            return nullptr;
        at = DirHandle::child(at, name);
    }
    return at;
}

bool ReceiveFile::write(const char *data, qsizetype size)
{
    const qint64 n = file.write(data, size);
    if (n > 0) {
        count += quint64(n);
        if (granted > 0)
            keepGrant(declaredLeft());
    }
    return n == size && roomLeft();
}

// Asked of the system again after a second, or once 64 MiB were granted since, and meanwhile
// lowered by what was granted and by the files opened: one statfs per small file of a tree
// would be a tenth of its cost. openFile() records a file only once it is granted, so that a
// refused declaration leaves the estimate as it was.
ReceiveFile::VolumeSpace ReceiveFile::spaceBefore(const QString &dir, quint64 wanted)
{
    constexpr qint64 maxAgeMs = 1000;
    constexpr quint64 maxWanted = 64 * 1024 * 1024;
    SpaceSeen &seen = spaceSeen;
    if (seen.dir != dir || !seen.age.isValid() || seen.age.elapsed() >= maxAgeMs || wanted > maxWanted
        || seen.wanted + wanted > maxWanted || seen.space.available < 0) {
        seen.dir = dir;
        seen.space = spaceOf(dir);
        seen.age.start();
        seen.wanted = 0;
        seen.entries = 0;
    }
    VolumeSpace space = seen.space;
    if (space.available >= 0)
        space.available = std::max<qint64>(0, space.available - qint64(seen.wanted));
    if (space.inodesAvailable >= 0)
        space.inodesAvailable = std::max<qint64>(0, space.inodesAvailable - seen.entries);
    return space;
}

// Looked at every spaceCheckBytes, so the cost stays a small share of the writes, whatever
// the file declared: the room it was granted may have gone to writers outside the program.
bool ReceiveFile::roomLeft()
{
    if (count < nextSpaceCheck)
        return true;
    nextSpaceCheck = count + spaceCheckBytes;
    const VolumeSpace space = spaceOf(receiveDir);
    if (space.available < 0)
        return true;
    const qint64 others = qint64(spaceLedger::granted() - granted);
    const qint64 room = space.available - reserveFor(space) - others;
    // Within its declared size a file needs room for the rest of it; past it, or without a
    // size, any room at all.
    return declared && count <= *declared ? room >= qint64(granted) : room > 0;
}

// Free space is what this user may take (f_bavail), so the blocks kept for root stay free
// besides: a reserve of 5 % leaves a small volume usable and a large one its last 64 MiB.
qint64 ReceiveFile::reserveFor(const VolumeSpace &space)
{
    if (space.total < 0)
        return maximumReserve;
    return std::min(maximumReserve, space.total / 100 * reservePercent);
}

qint64 ReceiveFile::inodeReserveFor(const VolumeSpace &space)
{
    if (space.inodesTotal < 0)
        return maximumInodeReserve;
    return std::min(maximumInodeReserve, space.inodesTotal / 100);
}

// A new file or directory takes one inode; the reserve stays free beside it.
bool ReceiveFile::inodesLeft(const VolumeSpace &space)
{
    return space.inodesAvailable < 0 || space.inodesAvailable > inodeReserveFor(space);
}

void ReceiveFile::keepGrant(quint64 bytes)
{
    spaceLedger::adjust(granted, bytes);
    granted = bytes;
}

int ReceiveFile::nameLength(const QString &name)
{
#ifdef Q_OS_WIN
    return int(name.size());
#else
    return int(QFile::encodeName(name).size());
#endif
}

#ifdef Q_OS_WIN
ReceiveFile::FileId ReceiveFile::identityOf(HANDLE h)
{
    FileId id;
    BY_HANDLE_FILE_INFORMATION info;
    if (h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info)) {
        id.device = info.dwVolumeSerialNumber;
        id.node = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        id.valid = true;
    }
    return id;
}
#else
ReceiveFile::FileId ReceiveFile::identityOf(int result, const struct stat &st)
{
    FileId id;
    if (result == 0 && S_ISREG(st.st_mode)) {
        id.device = quint64(st.st_dev);
        id.node = quint64(st.st_ino);
        id.valid = true;
    }
    return id;
}
#endif

// A plain file's identity; invalid for anything else, a link included.
ReceiveFile::FileId ReceiveFile::identityOf(const DirHandle::Entry &entry)
{
    FileId id;
    if (entry.kind == DirHandle::Kind::File && entry.identified) {
        id.device = entry.device;
        id.node = entry.node;
        id.valid = true;
    }
    return id;
}

// The open file itself, not whatever its name leads to by now.
ReceiveFile::FileId ReceiveFile::openedIdentity() const
{
#ifdef Q_OS_WIN
    return identityOf(HANDLE(_get_osfhandle(file.handle())));
#else
    struct stat st;
    const int result = ::fstat(file.handle(), &st);
    return identityOf(result, st);
#endif
}

bool ReceiveFile::closeFile()
{
    bool flushed = false;
    for (int i = 0; i < flushAttempts && !flushed; ++i)
        flushed = file.flush();
    file.close(); // flushes once more and keeps any error of its own
    return flushed && file.error() == QFileDevice::NoError;
}

// Renames the temporary file onto name, replacing what is there: the name never shows a
// half-written file, only the old one or the new one. Only while the temporary name still
// holds the file this transfer wrote: whatever took its place stays where it is. Nothing is
// renamed onto an entry that is neither a plain file nor a link.
bool ReceiveFile::moveTo(const QString &name, bool lookedAt)
{
    const DirHandle::Kind kind = directory->entry(name).kind;
    if (kind == DirHandle::Kind::Directory || kind == DirHandle::Kind::Other)
        return false;
    if (!lookedAt && !stillUnderItsName())
        return false;
    return directory->rename(temporary, name);
}

namespace {
// Once a file is dealt with its directory's handle goes: a connection between files holds none.
struct Released {
    std::shared_ptr<const DirHandle> &dir;
    ~Released() { dir.reset(); }
};
} // namespace

bool ReceiveFile::finish()
{
    keepGrant(0);
    if (!file.isOpen())
        return false;
    const Released released{directory};
    if (!stillUnderItsName()) {
        keepElsewhere();
        return false;
    }
    replaced = directory->entry(targetName).kind == DirHandle::Kind::File;
    if (closeFile() && moveTo(targetName, true))
        return true;
    replaced = false;
    moveTo(partName);
    return false;
}

bool ReceiveFile::abandon()
{
    keepGrant(0);
    if (!file.isOpen())
        return true;
    const Released released{directory};
    if (!stillUnderItsName())
        return keepElsewhere();
    if (modifiedTime && count > 0)
        file.setFileTime(QDateTime::fromMSecsSinceEpoch(*modifiedTime), QFileDevice::FileModificationTime);
    const bool flushed = closeFile();
    moveTo(partName);
    return flushed;
}

bool ReceiveFile::abandonUnlessEmpty()
{
    keepGrant(0);
    if (!file.isOpen() || count > 0 || !stillUnderItsName())
        return abandon();
    const Released released{directory};
    file.close();
    return directory->remove(temporary);
}

bool ReceiveFile::stillUnderItsName() const
{
    return identityOf(directory->entry(temporary)) == createdId;
}

// The temporary name leads elsewhere now (replaced or moved by someone else): nothing is
// moved onto the name, whatever took the temporary name stays, and the bytes written are
// copied out of the open file to the part name.
bool ReceiveFile::keepElsewhere()
{
    QFile copy;
    const QString copyName = temporaryName(targetName, directory->nameLimit());
    bool copied = directory->openFile(copy, copyName, true) && file.seek(0);
    const FileId copyId = copied ? identityOf(directory->entry(copyName)) : FileId();
    while (copied) {
        const QByteArray block = file.read(1024 * 1024);
        if (block.isEmpty())
            break;
        copied = copy.write(block) == block.size();
    }
    copied = copied && copy.flush();
    file.close();
    copy.close();
    if (identityOf(directory->entry(copyName)) == copyId)
        directory->rename(copyName, partName);
    return copied;
}

QString ReceiveFile::directoryFor(const QString &configured)
{
    const QString appDir = applicationDir();
    const QString base = keepsBesideProgram(appDir, QFileInfo(appDir).isWritable())
        ? appDir
        : QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return configured.isEmpty() ? base : QDir(base).filePath(configured);
}

bool ReceiveFile::keepsBesideProgram(const QString &appDir, bool appDirWritable)
{
    const QDir dir(appDir);
    const bool installed = dir.dirName() == QLatin1String("bin")
        && QFileInfo::exists(dir.filePath(QStringLiteral("../share/applications/org.lumo.transfer.desktop")));
    return appDirWritable && !installed;
}

bool ReceiveFile::isProgramFile(const QString &name)
{
    if (name.endsWith(QLatin1String(".dll"), Qt::CaseInsensitive))
        return true;
    QStringList own{QStringLiteral("settings.ini"), QStringLiteral("qt.conf")};
    if (QCoreApplication::instance())
        own << QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    for (const QString &program : own) {
        if (sameName(name, program))
            return true;
    }
    return false;
}
