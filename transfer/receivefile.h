#ifndef LUMO_TRANSFER_RECEIVEFILE_H
#define LUMO_TRANSFER_RECEIVEFILE_H

#include "transfer/dirhandle.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <optional>

class FileDigest;

#ifndef Q_OS_WIN
struct stat;
#endif

// One received file in a directory. It opens only a plain entry directly inside that directory,
// never creates a directory, and counts the bytes actually written. Every entry is named
// relative to the directory's handle, so that a directory swapped for a link meanwhile does
// not lead the file elsewhere.
//
// The bytes go to a temporary file of their own beside the target, so that a good file of
// the same name stays untouched until the new one has arrived whole, and two transfers of
// one name never mix: finish() renames the temporary file onto the name; a transfer that
// ends any other way leaves what arrived as "<name>.part" (shortened when that would be too
// long for the file system).
class ReceiveFile {
public:
    ~ReceiveFile() { abandon(); }

    // A file's modification time in ms since 1970 UTC, 0 when it cannot be read. QFileInfo's
    // goes through local time, which reads the zone file four times each call on Linux.
    static qint64 modifiedMs(const QString &path);
    // A file to send, as the sender looks at it before its offer: only a readable plain file
    // (a link to one included), with its size and modification time, and its bytes when it
    // holds at most readLimit of them and did not change size while read. One open, one stat
    // and one read where the system allows: a tree's small files cost that many calls each.
    struct Outgoing {
        qint64 size = 0;
        qint64 modifiedMs = 0;
        std::optional<QByteArray> bytes;
    };
    static std::optional<Outgoing> lookAtOutgoing(const QString &path, qint64 readLimit);

    // Refuses names that are empty or hold a separator, names Windows reserves (on Windows),
    // the program's own files when dir is the application's directory, and an existing entry
    // that is not a plain file: a link could lead out of the directory, and a pipe or device
    // could block the engine. Also refuses a name longer than the directory's file system
    // allows, a name of the temporary form, a file when the free inodes are down to their
    // reserve, and a declared size that does not fit in the free space beside the reserve and
    // what other files were granted (spaceLedger). The declared size is granted until written
    // or the file ends.
    bool open(const QString &dir, const QString &name, std::optional<quint64> declaredSize = {});
    // open() for a file whose modification time the sender told (ms since the epoch): when
    // "<name>.part" is a plain file no longer than declaredSize and last modified then, it is
    // taken up in place of an empty temporary file and writing goes on after its bytes.
    // Whatever of it stays unfinished keeps that time, so that the next offer finds it.
    bool open(const QString &dir, const QString &name, quint64 declaredSize, qint64 modifiedMs);
    // The same in a directory held open; without a time no part is taken up.
    bool open(const std::shared_ptr<const DirHandle> &dir, const QString &name, quint64 declaredSize,
              std::optional<qint64> modifiedMs);
    // The bytes taken up from a part, fed to digest, for at most budgetMs: a part that takes
    // longer is cut where the reading stopped. Returns how many are kept.
    quint64 readBack(FileDigest &digest, qint64 budgetMs);
    // From byte 0 after all: the sender's file does not begin as the part did.
    bool restart();
    // A part not worth taking up again (its bytes proved wrong) keeps its own time.
    void forgetModifiedTime() { modifiedTime.reset(); }
    // False unless every byte was written. Also false when, looked at every spaceCheckBytes,
    // the free space beside the reserve and the other files' grants no longer holds the rest
    // of the declared size, or (without a size, or past it) is used up.
    bool write(const char *data, qsizetype size);
    // Flushes (retrying a few times), closes and puts the file under its name; false when the
    // bytes may not all be stored (they are then kept as "<name>.part"), or when the temporary
    // file is no longer the one written (then nothing is moved).
    bool finish();
    // Ends an unfinished transfer: what arrived is kept as "<name>.part". False when even
    // that could not be flushed.
    bool abandon();
    // abandon(), but a file to which nothing was written is removed rather than kept.
    bool abandonUnlessEmpty();

    bool isOpen() const { return file.isOpen(); }
    quint64 written() const { return count; }
    // Where the file goes once whole (kept after finish() for the report).
    QString fileName() const { return target; }
    // After finish(): a file of that name was there and is now replaced.
    bool replacedFile() const { return replaced; }

    // The directory that receiveDirPath names: an empty setting means the application's
    // directory (the current one when there is no application object), and a relative one
    // is taken from there too, not from wherever the program was started. For a copy that
    // keeps out of its own directory (keepsBesideProgram() false) both mean the user's
    // download directory instead.
    static QString directoryFor(const QString &configured);
    // Whether a copy of the program in appDir keeps its settings and received files beside
    // itself: only a portable copy that can write there. A copy run from an installation
    // prefix (appDir is a "bin" whose sibling "share/applications" holds the desktop entry)
    // never does, whoever runs it; root could write into /usr/bin.
    static bool keepsBesideProgram(const QString &appDir, bool appDirWritable);
    // Names a peer may not plant in the application's directory: the executable, its
    // settings, the toolkit's configuration and libraries the next start could load.
    static bool isProgramFile(const QString &name);
    // The directory dir/components..., each component created when missing and checked by the
    // rules open() applies to a name: never through a link, never onto an entry that is not a
    // directory. Each is opened from its parent's handle, once. Null when a component fails or
    // cannot be created, or when the free inodes are down to their reserve.
    static std::shared_ptr<const DirHandle> makeDirectories(std::shared_ptr<const DirHandle> dir,
                                                            const QStringList &components);

    // Free space and free inodes of the volume that holds a directory, as this user may take
    // them (the blocks kept for root are not counted); -1 where unknown.
    struct VolumeSpace {
        qint64 available = -1;
        qint64 total = -1;
        qint64 inodesAvailable = -1;
        qint64 inodesTotal = -1;
    };
    using SpaceQuery = VolumeSpace (*)(const QString &dir);
    // Tests plant the system's answer here (the estimate before a file still applies); null
    // means the system's.
    static inline std::atomic<SpaceQuery> spaceQuery{nullptr};
    // Room kept free on the volume, so that peers cannot fill the disk under everyone: at
    // most maximumReserve, and a share of a small volume so that it still receives.
    static qint64 reserveFor(const VolumeSpace &space);
    static constexpr qint64 maximumReserve = 64 * 1024 * 1024;
    static constexpr int reservePercent = 5;
    // Inodes kept free: maximumInodeReserve, or 1 % of a volume with fewer than 102400.
    static qint64 inodeReserveFor(const VolumeSpace &space);
    static constexpr qint64 maximumInodeReserve = 1024;
    // Bytes written between two looks at the free space.
    static constexpr quint64 spaceCheckBytes = 8 * 1024 * 1024;

    // A name's length in the units of a file system's limit (DirHandle::nameLimit): bytes as
    // the name is stored (POSIX), UTF-16 units (Windows).
    static int nameLength(const QString &name);

    static constexpr int flushAttempts = 3;
    // File systems that keep times in steps of two seconds still match.
    static constexpr qint64 partTimeSlackMs = 2000;
    static inline const QString partSuffix = QStringLiteral(".part");

private:
    struct FileId {
        quint64 device = 0;
        quint64 node = 0;
        bool valid = false;
        bool operator==(const FileId &o) const { return valid && o.valid && device == o.device && node == o.node; }
    };
    static FileId identityOf(const DirHandle::Entry &entry);
#ifdef Q_OS_WIN
    static FileId identityOf(void *handle);
#else
    static FileId identityOf(int statResult, const struct stat &st);
#endif
    FileId openedIdentity() const;

    bool closeFile();
    // lookedAt: stillUnderItsName() was asked just before.
    bool moveTo(const QString &name, bool lookedAt = false);
    bool stillUnderItsName() const;
    bool keepElsewhere();
    bool roomLeft();
    // The free space before a file of wanted bytes (while writing, roomLeft() asks afresh).
    VolumeSpace spaceBefore(const QString &dir, quint64 wanted);
    struct SpaceSeen {
        QString dir;
        VolumeSpace space;
        QElapsedTimer age;
        quint64 wanted = 0; // bytes granted since
        qint64 entries = 0; // files opened since
    } spaceSeen;
    static bool inodesLeft(const VolumeSpace &space);
    // Sets this file's grant in spaceLedger.
    void keepGrant(quint64 bytes);
    quint64 declaredLeft() const { return declared && *declared > count ? *declared - count : 0; }
    bool openFile(std::shared_ptr<const DirHandle> dir, const QString &name, std::optional<quint64> declaredSize,
                  std::optional<qint64> modifiedMs);
    bool createTemporary(const QString &name, int limit);
    bool takeUpPart(const QString &name, int limit, quint64 declaredSize, qint64 modifiedMs);

    QFile file;
    std::shared_ptr<const DirHandle> directory; // the file's, while it is open
    QString target;     // its path, for the report
    QString targetName; // these three are names in directory
    QString partName;   // where an unfinished transfer's bytes stay
    QString temporary;  // where the bytes are written
    QString receiveDir;
    FileId createdId;   // the temporary file as created; renamed only while it is still that one
    bool replaced = false;
    quint64 nextSpaceCheck = 0;
    quint64 count = 0;
    std::optional<quint64> declared;
    quint64 granted = 0; // this file's share of spaceLedger
    std::optional<qint64> modifiedTime; // given to what is kept as .part
};

#endif
