#ifndef LUMO_TRANSFER_DIRHANDLE_H
#define LUMO_TRANSFER_DIRHANDLE_H

#include <QString>
#include <QtGlobal>

#include <memory>

class QFile;

// An open directory in which received entries are looked at, created and renamed by name, so
// that a directory swapped for a link after it was made is never followed. POSIX: a descriptor
// and the *at calls. Windows: a handle held without delete sharing, which keeps the directory
// from being renamed or removed while held (a child holds its parents too), and paths beneath.
class DirHandle {
public:
    DirHandle() = default;
    ~DirHandle();
    DirHandle(DirHandle &&other) noexcept;
    DirHandle &operator=(DirHandle &&other) noexcept;
    DirHandle(const DirHandle &) = delete;
    DirHandle &operator=(const DirHandle &) = delete;

    // The directory at path, links on the way followed: the receive directory as configured.
    // Null when it is not a directory that can be opened.
    static std::shared_ptr<const DirHandle> open(const QString &path);
    // The directory name in parent, made when missing. Null when it is a link or anything but
    // a directory, or cannot be made.
    static std::shared_ptr<const DirHandle> child(const std::shared_ptr<const DirHandle> &parent, const QString &name);

    // Where it was opened, for reports and the checks that go by path.
    const QString &path() const { return at; }
    QString filePath(const QString &name) const;

    enum class Kind { Missing, File, Directory, Link, Other };
    struct Entry {
        Kind kind = Kind::Missing;
        bool identified = false; // device and node are known
        quint64 device = 0;
        quint64 node = 0;
        qint64 size = 0;
        qint64 modifiedMs = 0;
    };
    // The entry as it is, a link itself rather than what it leads to.
    Entry entry(const QString &name) const;
    // Opens name into file for reading and writing, unbuffered: when create, a new entry only
    // (never what is there, a planted link included); otherwise an existing plain file, never
    // through a link.
    bool openFile(QFile &file, const QString &name, bool create) const;
    // Both names in this directory; what is at to is replaced in one step.
    bool rename(const QString &from, const QString &to) const;
    bool remove(const QString &name) const;
    // The longest entry name this directory's file system takes, in ReceiveFile::nameLength's
    // units. Asked of the system once per handle.
    int nameLimit() const;

private:
#ifdef Q_OS_WIN
    void *handle = nullptr;
    std::shared_ptr<const DirHandle> parent; // so that no directory above it is swapped either
#else
    int fd = -1;
#endif
    QString at;
    mutable int limit = 0;
};

#endif
