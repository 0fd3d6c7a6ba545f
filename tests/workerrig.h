// The worker handle as the front ends use it, driven by queued commands,
// plus a piece recorder that stands in for the receive engine. Loopback only.
#ifndef LUMO_TESTS_WORKERRIG_H
#define LUMO_TESTS_WORKERRIG_H

#include <QMutex>
#include <QMutexLocker>
#include <QTcpServer>

#include "net/sendthread.h"
#include "net/workerhandle.h"
#include "tests/freeport.h"


// Records what the worker hands to the engine; queuedBytes() is under the test's control.
class PieceRecorder : public PieceSink {
public:
    void appendPieces(const QList<ReceivedPiece> &pieces) override
    {
        QMutexLocker lock(&mutex);
        for (const ReceivedPiece &p : pieces) {
            all.append(p);
            queued += p.bytes.size();
        }
    }
    qint64 queuedBytes() const override
    {
        QMutexLocker lock(&mutex);
        return queued;
    }
    QList<ReceivedPiece> pieces() const
    {
        QMutexLocker lock(&mutex);
        return all;
    }
    // Takes everything queued; like the engine, tells the worker when the queue fell below
    // the low mark.
    void drain(QObject *worker = nullptr)
    {
        QMutexLocker lock(&mutex);
        const bool crossed = queued >= receiveThread::lowWater;
        queued = 0;
        if (worker && crossed)
            QMetaObject::invokeMethod(worker, "resumeReading", Qt::QueuedConnection);
    }
    // Bytes of one connection, in order.
    QByteArray stream(quint64 connection) const
    {
        QByteArray out;
        for (const ReceivedPiece &p : pieces()) {
            if (p.connection == connection)
                out += p.bytes;
        }
        return out;
    }
    qint64 totalBytes() const
    {
        qint64 n = 0;
        for (const ReceivedPiece &p : pieces())
            n += p.bytes.size();
        return n;
    }

private:
    mutable QMutex mutex;
    QList<ReceivedPiece> all;
    qint64 queued = 0;
};

// The worker's signals as the window gets them: queued into the test thread, in emission
// order. (QSignalSpy records in the emitting thread, which races with the test.)
class WorkerLog : public QObject {
public:
    enum Kind { Trans, State, ServerError, ClientError, NewClient, ClientGone, Rec, Action };
    struct Event {
        Kind kind;
        int value;
        QTcpSocket *socket;
    };
    QList<Event> events;

    explicit WorkerLog(sendThread *w)
    {
        auto add = [this](Kind k, int v, QTcpSocket *s = nullptr) { events.append(Event{k, v, s}); };
        connect(w, &sendThread::sendTransState, this, [add](int v) { add(Trans, v); });
        connect(w, &sendThread::onSocketStateChange, this, [add](QAbstractSocket::SocketState v) { add(State, v); });
        connect(w, &sendThread::onServerErrorOccurs, this, [add] { add(ServerError, 0); });
        connect(w, &sendThread::onClientErrorOccurs, this, [add](QTcpSocket *s) { add(ClientError, 0, s); });
        connect(w, &sendThread::onNewClientconnected, this, [add](QTcpSocket *s) { add(NewClient, 0, s); });
        connect(w, &sendThread::onClientDisconnected, this, [add] { add(ClientGone, 0); });
        connect(w, &sendThread::sendRecState, this, [add](int v) { add(Rec, v); });
        connect(w, &sendThread::sendActionSig, this, [add](int v) { add(Action, v); });
    }
    QList<int> values(Kind k) const
    {
        QList<int> out;
        for (const Event &e : events)
            if (e.kind == k)
                out << e.value;
        return out;
    }
    int count(Kind k) const { return values(k).size(); }
    QList<QTcpSocket *> sockets(Kind k) const
    {
        QList<QTcpSocket *> out;
        for (const Event &e : events)
            if (e.kind == k)
                out << e.socket;
        return out;
    }
    int last(Kind k) const { return values(k).value(values(k).size() - 1, -1); }
};

// The worker handle with what tests add: waiting for the worker thread to catch up.
struct WorkerRig : WorkerHandle {
    sendThread *const w;
    explicit WorkerRig(quint16 port, PieceSink *sink = nullptr) : WorkerHandle(port, sink), w(get()) {}

    void cmd(int code) { command(code); }
    // Runs fn in the worker thread once every command queued before it has run.
    template <typename Fn>
    void inWorker(Fn fn) { QMetaObject::invokeMethod(w, fn, Qt::BlockingQueuedConnection); }
    // Every signal emitted so far has reached the test thread after this.
    void settle()
    {
        inWorker([] {});
        QCoreApplication::processEvents();
    }
    void setSend(QTcpSocket *target, const QString &path) { WorkerHandle::setSend(target, {path}); }
};

#endif
