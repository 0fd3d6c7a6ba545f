#ifndef LUMO_APP_SENDBATCH_H
#define LUMO_APP_SENDBATCH_H

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

class QTcpSocket;

// The files of one send, sent one after another to one target: what is left, where the
// batch stands and what it has done. The window starts each file; this only keeps count.
class SendBatch {
public:
    bool running() const { return active; }
    void begin(QTcpSocket *target, int role, const QStringList &paths);
    void add(const QStringList &paths) { pending << paths; }
    bool hasNext() const { return !pending.isEmpty(); }
    QString takeNext();
    // Ends the current file with the worker's code and the file bytes it sent.
    void ended(int code, qint64 fileBytes);
    void dropRest();
    void finish()
    {
        active = false;
        stopping = false;
    }

    QTcpSocket *target() const { return to; }
    int role() const { return sendRole; }
    int position() const { return started; } // of the current file, from 1
    int total() const { return started + int(pending.size()) + dropped; }
    // "Stop" holds for the whole batch, including a file the worker has not started yet.
    bool stopping = false;

    QString summary() const;

private:
    QTcpSocket *to = nullptr; // a key only, never dereferenced
    int sendRole = 0;
    QStringList pending;
    int started = 0;
    int sent = 0;
    int failed = 0;
    int dropped = 0;
    qint64 bytes = 0;
    bool active = false;
    QElapsedTimer clock;
};

#endif
