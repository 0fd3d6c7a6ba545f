#ifndef LUMO_TRANSFER_RECEIVETHREAD_H
#define LUMO_TRANSFER_RECEIVETHREAD_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "transfer/outbox.h"
#include "transfer/wireformat.h"

// One entry of the receive queue: bytes read from one connection, or the notice that the
// connection has closed. Connection ids are handed out by the worker and never reused.
// What the worker knows of a connection's peer when it reads from it.
enum class PeerKind : quint8 {
    Plain,    // any peer of the original protocol
    Instance, // another instance of this program, as the capability exchange says
};

struct ReceivedPiece {
    ReceivedPiece() = default;
    ReceivedPiece(quint64 connection, QByteArray bytes, bool endOfStream = false, PeerKind peer = PeerKind::Plain)
        : connection(connection), bytes(std::move(bytes)), endOfStream(endOfStream), peer(peer)
    {
    }

    quint64 connection = 0;
    QByteArray bytes;
    bool endOfStream = false;
    PeerKind peer = PeerKind::Plain;
    // While the UDP exchange proposes an instance: this end's nonces of it and the framing
    // versions both speak; the peer's upgrade frame must hold one of each.
    QVector<quint64> ownNonces;
    quint32 features = 0;
};

// What the window reads when it handles RecFinished or RecText: the values of the very
// transfer or text that emitted the code.
struct RecvSnapshot {
    quint64 recvFileBytes = 0;  // file bytes written
    quint64 recvTotalBytes = 0; // bytes of the stream the transfer took, markers included
    QByteArray lastRecvText;    // the text piece
    QString fileName;           // RecFinished: the path the file was stored under
    // RecFinished: from the file's start code to its end, as the engine saw them (the codes
    // reach a front end in runs, so its own clock would say less).
    qint64 elapsedNs = 0;
    quint64 resumedFrom = 0;    // RecFinished: bytes of it that were here already (a part taken up)
    bool replaced = false;      // RecFinished: it replaced a file of the same name
};

// Process-wide reports, one per RecFinished / RecText, in emission order. The engine pushes
// before it emits; the window takes one per code, so a report is never shown twice or out of
// place. File reports are always kept whole. Text bytes are kept up to maxHeldTextBytes; past
// that a text's entry keeps only its size, so a window that lags behind a flood costs bounded
// memory and still learns how much it missed.
struct TextReport {
    bool present = false;   // false: no text was waiting
    QByteArray bytes;       // the text piece, when kept
    qint64 leftOutBytes = 0; // size of the texts whose bytes were not kept
    // Texts folded into this entry, unshown, while maxHeldTexts waited: one code stood for all.
    qint64 leftOutTexts = 0;
};

// A received text as the front ends show it: up to its first NUL, cut after maxChars
// characters (marked with an ellipsis), so that a flood never makes one line the size of a
// socket read.
namespace peerText {
constexpr int maxChars = 4000;
QString shown(const QByteArray &bytes);
} // namespace peerText

// A folder's end on the receiving side: how many of its files were stored and how many not.
struct FolderReport {
    bool present = false;
    QString name;          // the folder, as named under the receive directory
    bool whole = false;    // its end frame came; false when it was cut or aborted
    int stored = 0;
    int failed = 0;
    quint64 bytes = 0;     // of the files stored
    qint64 elapsedNs = 0;  // from its first frame to its end
};

namespace recvReports {
constexpr qint64 maxHeldTextBytes = 4 * 1024 * 1024;
// Texts waiting at most; past it they fold into one entry with no code of their own, so a
// front end that lags (or never takes texts) costs bounded memory and wake-ups.
constexpr std::size_t maxHeldTexts = 1024;
constexpr std::size_t maxHeldFolders = 1024; // folder reports kept at most, the oldest dropped
// Engine thread. False: the text was folded into the entry before it, and no code is due.
bool push(int code, const RecvSnapshot &snapshot);
void pushFolder(const FolderReport &folder);           // engine thread, before RecFolderEnded
FolderReport takeFolder();                             // GUI thread, one per RecFolderEnded
RecvSnapshot take(int code);                           // GUI thread; empty RecFinished: the last again
TextReport takeText();                                 // GUI thread
void clear();                                          // tests
} // namespace recvReports

// Files arriving now, for progress displays: one entry per connection with an open file,
// updated by the engine as bytes are stored and removed when the transfer ends, however it
// ends. Any thread may take a copy.
struct IncomingTransfer {
    quint64 connection = 0;
    QString name;              // the received name
    quint64 declaredSize = 0;  // from the header; 0 when it was no number
    quint64 received = 0;      // file bytes stored so far
    // Inside a folder: its name, its files that have ended so far and how many it holds.
    QString folder{};
    int folderFilesDone = 0;
    int folderFiles = 0;
};
namespace recvProgress {
QVector<IncomingTransfer> active();
} // namespace recvProgress

// The receive directory: written by the window on every change of its field, read by the
// engine when it creates a file. Copied under a lock, since two threads touch it.
class SharedString {
public:
    void set(const QString &value);
    QString get() const;
private:
    mutable QMutex mutex;
    QString value;
};
extern SharedString receiveDirPath;

// The receive engine: takes pieces from dataQueue, one parser per connection, writes files
// into receiveDirPath and reports with sendRecState.
class receiveThread : public QThread {
    Q_OBJECT
public:
    receiveThread();
    ~receiveThread() override; // stops and joins the thread, closes an open file

    // Worker thread: appends all pieces of one read under one lock and wakes the engine.
    void appendPieces(const QList<ReceivedPiece> &pieces);
    // Bytes queued and not yet taken by the engine (for the worker's flow control).
    qint64 queuedBytes() const { return queued.load(); }
    void stopReceive();
    // What the latest piece of an open connection said of its peer; Plain once it closed.
    PeerKind peerKind(quint64 connection) const;
    // How long a connection has been silent: since its bytes last arrived (stamped as the
    // worker queues them), or since the queue last drained when that is later. Bytes waiting
    // in the queue, or held in the system while the worker did not read, are no silence; 0
    // once the connection closed. The caller holds queueMutex.
    qint64 silentMs(quint64 connection) const;
    static qint64 steadyMs();

    // Above highWater the worker stops reading its sockets; queueDrained() is emitted when
    // the queue falls below lowWater again.
    static constexpr qint64 highWater = 8 * 1024 * 1024;
    static constexpr qint64 lowWater = 1 * 1024 * 1024;
    // No piece for longer than this ends an open transfer.
    static constexpr int timeoutMs = 1000;
    // The same on an upgraded connection: as long as the sender's stall detection waits.
    static constexpr int upgradedTimeoutMs = 15000;
    // Reading back a part to resume stops after this long (the rest is received again), well
    // inside the time a sender waits for the answer.
    static constexpr qint64 resumeReadBudgetMs = 5000;

    std::deque<ReceivedPiece> *dataQueue; // guarded by queueMutex; a deque allocates per block, not per piece
    mutable QMutex queueMutex;
    const QString startMarker;
    const QString endMarker;
    const QString sizeMarker;
    const QString sizeEndMarker;
    const int packetSize = wire::packetSize;
    std::atomic<bool> running{false};
    // Set by a front end that stores nothing (send): every file is consumed unwritten.
    std::atomic<bool> discardFiles{false};

    // The codes and the peer's answers leave the engine in runs (see Outbox): the codes run
    // in the thread that made the engine, the answers in the thread of the outbox given here
    // (before start(); without one they are queued signals).
    void setAnswerOutbox(Outbox *box) { answerBox = box; }
    // Engine thread: emit sendRecState, fileNotStored and peerAnswered by way of the outboxes.
    void postRecState(int state);
    void postNotStored(int state, const QString &name);
    void postAnswered(quint64 connection, int type, quint64 value, const QByteArray &digest);

signals:
    void sendRecState(int state);
    // The received name of a file that was not stored, with RecCreateFailed, RecWriteFailed,
    // RecTimeout, RecSenderStopped, RecVerifyFailed, RecStreamFailed (emitted right after that code) or
    // RecRefused (under discardFiles).
    void fileNotStored(int state, const QString &name);
    void queueDrained();
    // The connection's peer sent an upgrade frame that holds one of this end's nonces.
    void peerUpgraded(quint64 connection, bool reply, quint32 feature);
    // Frames for the peer of an upgraded connection: the answers to its offers and files.
    void answerPeer(quint64 connection, const QByteArray &frame);
    // The peer's answer to a file this end sends (an extwire::Type, and the offset or code).
    // digest: of the accepted prefix, for an accept.
    void peerAnswered(quint64 connection, int type, quint64 value, const QByteArray &digest);

protected:
    void run() override;

private:
    void flushOutboxes(bool onlyDue);
    std::unique_ptr<Outbox> codeBox; // lives in the thread that made the engine
    Outbox *answerBox = nullptr;     // not owned
    QWaitCondition queueNotEmpty; // with queueMutex
    std::atomic<qint64> queued{0};
    bool stopRequested = false;   // guarded by queueMutex; keeps a stop that comes before run()
    struct PeerSeen {
        PeerKind kind = PeerKind::Plain;
        qint64 arrivedMs = 0; // steadyMs() of its latest piece
    };
    QHash<quint64, PeerSeen> peers; // guarded by queueMutex; open connections only
    qint64 drainedAtMs = 0;         // guarded by queueMutex; the latest fall below lowWater
    bool heldOff = false;           // guarded by queueMutex; above highWater, not yet drained
    // Pieces the engine is done with, freed by the producer in its own thread at its next
    // append: freeing into another thread's allocator arena contends with that thread.
    // Capped, so at most this much waits for an idle producer.
    std::vector<QByteArray> spent; // guarded by queueMutex
    qint64 spentBytes = 0;         // guarded by queueMutex
    static constexpr qint64 maxSpentBytes = 1024 * 1024;
};

#endif
