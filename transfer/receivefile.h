#ifndef LUMO_TRANSFER_RECEIVEFILE_H
#define LUMO_TRANSFER_RECEIVEFILE_H

#include <QFile>
#include <QString>

// One received file in the receive directory. It opens only a plain entry directly inside
// that directory, never creates a directory, and counts the bytes actually written.
class ReceiveFile {
public:
    // Creates or truncates dir/name. Refuses names that are empty or hold a separator, names
    // Windows reserves (on Windows), and an existing entry that is not a plain file: a link
    // could lead out of the directory, and a pipe or device could block the engine.
    bool open(const QString &dir, const QString &name);
    // False unless every byte was written.
    bool write(const char *data, qsizetype size);
    // Flushes (retrying a few times) and closes; false when the bytes may not all be stored.
    bool finish();
    // Closes after a failure.
    void abandon();

    bool isOpen() const { return file.isOpen(); }
    quint64 written() const { return count; }
    QString fileName() const { return file.fileName(); }

    // The directory that receiveDirPath names: an empty setting means the application's
    // directory (the current one when there is no application object).
    static QString directoryFor(const QString &configured);

    static constexpr int flushAttempts = 3;

private:
    QFile file;
    quint64 count = 0;
};

#endif
