#ifndef LUMO_NET_SENDQUEUE_H
#define LUMO_NET_SENDQUEUE_H

#include <QElapsedTimer>
#include <QMetaType>
#include <QString>
#include <QStringList>

class QTcpSocket;

// Where a batch stands, as the front ends read it: with each file that starts and once when
// the batch ends.
struct BatchStatus {
    int position = 0; // of the current file, from 1
    int total = 0;    // files started, waiting and dropped
    int sent = 0;
    int failed = 0;
    int dropped = 0;      // never started: after a stop, a lost connection, a closed target
    qint64 bytes = 0;     // of the files sent whole
    qint64 elapsedNs = 0; // since the batch began
    bool targetGone = false; // files were left because the target was no longer connected
    int folders = 0;         // expanded into their files
    QString path;            // of the current file
    QString name;            // its path within its folder; empty outside one
};
Q_DECLARE_METATYPE(BatchStatus)

// The files of one send command, sent one after another to one connection, and the rules
// of what follows each file's outcome. No QObject: the worker drives it.
class SendQueue {
public:
    bool running() const { return active; }
    void begin(QTcpSocket *target, const QStringList &paths);
    void add(const QStringList &paths)
    {
        pending << paths;
        for (int i = 0; i < paths.size(); ++i)
            pendingNames << QString();
    }
    bool hasNext() const { return !pending.isEmpty(); }
    QString takeNext();
    // The entry takeNext() gives next, and the name it goes under (empty for its own).
    QString peekNext(int ahead = 0) const { return pending.value(ahead); }
    QString peekNextName(int ahead = 0) const { return pendingNames.value(ahead); }
    int waiting() const { return int(pending.size()); }
    // The name the current file goes under: a folder's relative path, or empty for its own.
    QString currentName() const { return name; }
    // The current entry, a folder, is replaced by its files, each with its relative path.
    void expand(const QStringList &files, const QStringList &names);
    // The current file ended with this sender code; returns whether the rest may still go.
    bool ended(int code, qint64 fileBytes);
    void dropRest(bool targetGone = false);
    void finish() { active = false; }
    QTcpSocket *target() const { return to; }
    BatchStatus status() const;

private:
    QTcpSocket *to = nullptr; // a key, checked against live sockets before use
    QStringList pending;
    QStringList pendingNames; // beside pending: empty but for a folder's files
    QString current;
    QString name;
    BatchStatus counts;
    bool active = false;
    QElapsedTimer clock;
};

#endif
