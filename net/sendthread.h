#ifndef LUMO_NET_SENDTHREAD_H
#define LUMO_NET_SENDTHREAD_H

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QHash>
#include <QStringList>
#include <QList>
#include <QMutex>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

class AcceptLoop;
class FileDigest;
class QFile;

#include <atomic>
#include <deque>
#include <functional>
#include <optional>

#include "net/codes.h"
#include "net/peerlimits.h"
#include "net/peerservice.h"
#include "net/sendqueue.h"
#include "net/socketregistry.h"
#include "transfer/receivethread.h"

// Where the pieces read from the sockets go: the receive engine, or a recorder in tests.
class PieceSink {
public:
    virtual ~PieceSink() = default;
    virtual void appendPieces(const QList<ReceivedPiece> &pieces) = 0; // all pieces of one read
    virtual qint64 queuedBytes() const = 0; // drives the worker's flow control
};

// A file's counters at the moment its end code was emitted: the send queue may already be
// on the next file when a front end reads them.
struct FileReport {
    qint64 fileSize = 0;
    qint64 fileBytes = 0;   // file bytes read and written, or found at the receiver
    qint64 socketBytes = 0; // all bytes written, framing included
    qint64 resumedFrom = 0; // bytes the receiver already held
    // From the file's start code to its end code, as the worker gave them (the codes reach a
    // front end in runs, so its own clock would say less); a file that went whole with its
    // offer counts from the moment it was written.
    qint64 elapsedNs = 0;
};

// The network worker: owns the server and every socket, runs in its own thread, executes
// handleCmd and reports through its signals.
class sendThread : public QThread {
    Q_OBJECT
public:
    explicit sendThread(quint16 port = defaultPort);
    ~sendThread() override; // only after the thread has finished

    // Command data, written through WorkerHandle under commandMutex just before the command
    // is queued; the worker copies them under it.
    std::atomic<int> sendRole{RoleIdle};    // window writes; window reads
    std::atomic<int> receiveRole{RoleIdle}; // worker after each read, window resets
    QTcpSocket *targetSocket = nullptr;     // borrowed; checked against live sockets before use
    QString hostName;
    QString sendFilePath;                   // the first of sendFilePaths
    QStringList sendFilePaths;              // the files of one send command, in order
    quint64 sendSerial = 0;                 // counts send commands; see stopSerial
    QTcpSocket *clientSocket = nullptr;     // owned; read by the window only via currentClientSocket()
    std::atomic<bool> stopSend{false};      // front end sets, the send queue clears and polls
    // A stop holds for every send command written before it, even one the worker has not
    // begun yet (front end writes, worker reads).
    std::atomic<quint64> stopSerial{0};
    std::atomic<qint64> fileSize{0};        // sender writes, window reads
    std::atomic<qint64> fileBytesRead{0};
    std::atomic<qint64> socketBytesWritten{0};
    std::atomic<qint64> fileResumedFrom{0}; // of the file being sent: bytes the receiver had
    // Bytes the target socket holds unwritten (not yet taken by the system) as last seen: the
    // file's bytes that left the program are fileBytesRead less these.
    std::atomic<qint64> targetUnwritten{0};
    QTcpServer *server = nullptr;           // owned
    receiveThread *recThread = nullptr;     // owned since shutdown must join it

    mutable QMutex commandMutex;

    // Any thread: the report of the oldest end code not yet taken, in emission order; the
    // counters as they stand when none is waiting.
    FileReport takeFileReport();

    // Thread-safe views for the window (see SocketFacts).
    QTcpSocket *currentClientSocket() const;
    SocketFacts socketFacts(const QTcpSocket *socket) const;
    QAbstractSocket::SocketState socketState(const QTcpSocket *socket) const;
    QString serverErrorText() const;
    // Any thread: deferred deletion in the worker thread, if the socket still exists.
    void disposeSocket(QTcpSocket *socket);

    quint16 port() const { return listenPort; }

    // Accepted peers connected at once (fewer under a low descriptor limit, see
    // peerLimits::maxPeers, and at most peerLimits::perAddress from one address or IPv6 /64);
    // a newcomer beyond them is closed on arrival, so that descriptors remain for received
    // files, unless a peer that hung up or one idle for idleMs makes room for it.
    static constexpr int maxPeers = 512;
    // An accepted peer with no byte either way for this long, and no transfer on it, is closed
    // when a newcomer would otherwise be refused (tests shorten it).
    std::atomic<int> idleMs{peerLimits::idleMs};
    // Worker thread: the accepted peers that hold a place now.
    int peersHeld() const { return places.size(); }

    // The sender keeps at most this many bytes unwritten in a socket before it waits.
    static constexpr qint64 sendBufferBound = 1024 * 1024;
    // A transfer cut without its end marker is followed by this much silence on its
    // connection: receivers end a transfer after 1000 ms without bytes, so what follows
    // starts clean instead of landing in the cut file.
    static constexpr int silenceAfterCutMs = 1500;
    // A send whose connection takes no byte for this long ends as a lost connection (tests
    // shorten it before sending).
    std::atomic<int> stallMs{15000};
    // Most bytes the target socket held unwritten during the last transfer (sender writes).
    std::atomic<qint64> peakUnwritten{0};

    // Fast mode: files go unpaced to peers that answered the capability probe. The window
    // sets these from its settings before it starts listening or connecting.
    std::atomic<bool> fastTransfer{true};
    std::atomic<bool> discoverable{true}; // answer discovery probes while listening
    // Worker thread: whether files to this socket go unpaced: the exchange completed, both
    // upgrade frames are on the connection, the peer's with one of our nonces.
    bool isFast(const QTcpSocket *socket) const;
    // A file waits at most this long for the peer's upgrade frame once ours is written.
    static constexpr int upgradeWaitMs = 5000;
    // An upgraded receiver's answer to an offer or a file's end is awaited this long.
    static constexpr int answerWaitMs = 15000;
    // After a stop, the answers to a file already sent whole are awaited this long at most.
    static constexpr int stopGraceMs = 2000;
    PeerService *peerService() const { return peers; }
    // Unpaced sends read and write this much at a time, and keep at most fastBufferBound
    // unwritten in the socket.
    static constexpr int fastPieceSize = 1024 * 1024;
    static constexpr qint64 fastBufferBound = 4 * 1024 * 1024;

    // Replaces the engine as the receiver of pieces; call before start(). Not owned.
    void setPieceSink(PieceSink *sink) { pieceSink = sink; }
    // What a socket holds read and not yet taken; while the engine is behind, a full buffer
    // holds TCP back. Large, so that a fast peer's bytes go to the engine in few pieces; the
    // parser takes any cutting of the stream.
    static constexpr int readBufferSize = 1024 * 1024;
    // One read cut into queue pieces of at most readBufferSize bytes (in practice one piece,
    // shared, not copied); an empty read is one piece.
    static QList<ReceivedPiece> cutIntoPieces(quint64 connection, const QByteArray &data,
                                              PeerKind peer = PeerKind::Plain);
    // Worker thread: what the capability exchange says of this socket's peer.
    PeerKind peerKind(const QTcpSocket *socket) const;

signals:
    void sendTransState(int state);
    // The same code, emitted in the worker thread as it is given (sendTransState reaches the
    // front end a little later, with the codes around it): for a hook that must act at once.
    void transStateGiven(int state);
    // The send queue: before each file of a send command, and once when the batch ends.
    void batchFileStarting(const BatchStatus &status);
    void batchEnded(const BatchStatus &status);
    void onSocketStateChange(QAbstractSocket::SocketState state);
    void onServerErrorOccurs(QTcpServer *server);
    void onClientErrorOccurs(QTcpSocket *client);
    void onNewClientconnected(QTcpSocket *client);
    void onClientDisconnected();
    void sendRecState(int state);
    void sendActionSig(int type);
    // A connection turned fast (its facts say so now).
    void onFastModeChanged(QTcpSocket *socket);
    void serverDiscovered(const QString &address, const QString &hostName);

public slots:
    void handleCmd(int cmd_type);
    // Probes the LAN for servers; they come back as serverDiscovered.
    void discoverServers();

private slots:
    void onErrorOccurs(QAbstractSocket::SocketError error);
    void onNewConnection();
    void onServerReadyRead();
    void onSocketReadyRead();
    void resumeReading();

protected:
    void run() override;
    // After each command or call delivered to the worker, what it reported goes at once: a
    // caller that waited for the call finds those reports on their way to it.
    bool event(QEvent *event) override;

private:
    // The signals above reach the front end by way of frontBox, in the order given, in runs
    // (see Outbox): a small file's four reports would otherwise wake it four times.
    template <typename... Args, typename... Values>
    void report(void (sendThread::*signal)(Args...), Values &&...values)
    {
        frontBox->post([this, signal, values...] { (this->*signal)(values...); });
    }
    void reportTrans(int state)
    {
        if (state == TransStarted && !fileStartNs)
            fileStartNs = steadyNs();
        emit transStateGiven(state);
        report(&sendThread::sendTransState, state);
    }
    static qint64 steadyNs();
    std::optional<qint64> fileStartNs; // of the file being sent; see FileReport::elapsedNs
    Outbox *frontBox = nullptr;  // owned; lives in the thread that made the worker
    Outbox *answerBox = nullptr; // owned (child): the engine's answers, run in this thread
    void createServer();
    void startAccepting();
    void stopAccepting();
    void takePeer(qintptr descriptor);
    bool makeRoom(const QHostAddress &key);
    bool freePlace(const QHostAddress *group);
    bool busy(const QTcpSocket *socket, const QSet<quint64> &receiving) const;
    void evict(QTcpSocket *socket);
    void refuse(QTcpSocket *socket);
    void createClientSocket();
    void sendFiles();
    void runBatch(QTcpSocket *target, const QStringList &paths, quint64 serial);
    int sendFile(const QString &path, QTcpSocket *target, const QString &relativeName = QString());
    bool expandFolder(const QString &path, QTcpSocket *target);
    void endFolder(QTcpSocket *target, bool whole);
    bool waitForRoom(const QPointer<QTcpSocket> &socket, qint64 bound);
    bool waitForSilence(const QPointer<QTcpSocket> &socket);
    bool serveEventsWhile(const std::function<bool()> &busy, bool stoppable = true);
    qint64 silenceLeft(const QTcpSocket *socket) const;
    void sendGreeting(QTcpSocket *target);
    void flushGreetings(QTcpSocket *target);
    bool stopRequested() const;
    // The upgrade of a connection between two instances (net/upgrade.cpp).
    struct PeerAnswer {
        int type = 0; // an extwire::Type
        quint64 value = 0;
        QByteArray digest; // of the accepted prefix
        quint64 file = 0;  // the serial of the file it answers
        bool toEnd = false; // a file result, not the answer to an offer
    };
    struct Upgrade;
    Upgrade &upgradeOf(QTcpSocket *socket);
    QTcpSocket *socketOf(quint64 connection) const;
    void onExchanged(QTcpSocket *socket);
    void onPeerUpgraded(quint64 connection, bool reply, quint32 feature);
    void writeUpgrade(QTcpSocket *socket);
    void publishFast(QTcpSocket *socket);
    bool settleUpgrade(const QPointer<QTcpSocket> &socket);
    bool proved(const QTcpSocket *socket) const;
    bool extended(const QTcpSocket *socket) const;
    QByteArray greetingFor(const QTcpSocket *socket) const;
    QList<ReceivedPiece> withProof(QList<ReceivedPiece> pieces, const QTcpSocket *socket) const;
    void onAnswerPeer(quint64 connection, const QByteArray &frame);
    void onPeerAnswered(quint64 connection, int type, quint64 value, const QByteArray &digest);
    // nonces: of our reply frame, to which the peer's answer is keyed.
    bool resumable(QFile &file, const PeerAnswer &accept, FileDigest &digest, const QVector<quint64> &nonces);
    std::optional<PeerAnswer> awaitAnswer(const QPointer<QTcpSocket> &socket, quint64 file, bool toEnd,
                                          bool throughStop = false);
    void expect(QTcpSocket *socket, quint64 file, bool toEnd);
    bool sentAhead(const QString &path) const;
    int sendFileExtended(QFile &file, const QString &name, const QPointer<QTcpSocket> &socket);
    void offerNext(const QPointer<QTcpSocket> &socket);
    bool takesWhole(const QTcpSocket *socket) const;
    void withdrawOffer(bool withAbort);
    void feed(QTcpSocket *socket, int role);
    void endStream(QTcpSocket *socket);
    void deliver(const QList<ReceivedPiece> &pieces);
    qint64 queuedBytes() const;
    void listen();
    void publish(const QTcpSocket *socket);
    void forget(const QTcpSocket *socket);
    bool isLive(const QTcpSocket *socket) const;
    quint64 connectionId(QTcpSocket *socket);

    const quint16 listenPort;
    AcceptLoop *acceptLoop = nullptr; // owned (child), while listening
    PeerPlaces places;                // the accepted peers that count toward the caps
    QElapsedTimer activityClock;      // the times of places
    bool hungUpLooked = false;        // this accept batch looked for peers that hung up
    bool refusing = false;            // a burst above maxPeers is under way (logged once)
    SocketRegistry registry;
    QHash<const QTcpSocket *, quint64> connectionIds; // worker thread only
    quint64 nextConnectionId = 1;
    bool readingPaused = false;       // flow control, worker thread only
    // A peer that leaves our answers unread is not read either, as TCP would hold it back:
    // above this many unwritten bytes toward a connection this end sends nothing to.
    static constexpr qint64 maxUnreadAnswers = 256 * 1024;
    QSet<const QTcpSocket *> answersHeld; // worker thread only
    bool sendsTo(const QTcpSocket *socket) const; // a file or batch of ours goes to it now
    bool holdsAnswers(QTcpSocket *socket);
    void noteUnwritten(const QTcpSocket *socket);
    void onAnswersWritten(QTcpSocket *socket, int role);
    PeerService *peers = nullptr;     // owned (child)
    QTimer *trimTimer = nullptr;      // owned (child); gives freed memory back after closes
    PieceSink *pieceSink = nullptr;   // set before start; null means the engine
    void pushFileReport();
    QMutex reportMutex;
    QList<FileReport> fileReports; // guarded by reportMutex; bounded
    // Sending, worker thread only.
    SendQueue queue;
    int folderFilesLeft = -1; // of the folder whose frames are open on the target, or -1
    struct FollowUp {
        QTcpSocket *target = nullptr;
        QStringList paths;
        quint64 serial = 0;
    } followUp;                       // sends given while a stopped batch was ending
    QHash<const QTcpSocket *, QElapsedTimer> cutAt; // connections whose last transfer was cut
    QHash<QTcpSocket *, int> heldGreetings;         // greetings waiting for a silence to end
    QTcpSocket *sendingTo = nullptr;  // the target of the file being sent now
    // The next files' offers, written while the last one's result was on its way.
    struct Offered {
        QPointer<QTcpSocket> socket;
        QString path;
        QString name;
        qint64 size = 0;
        qint64 modified = 0;
        qint64 frameBytes = 0;
        quint64 serial = 0;
        qint64 writtenNs = 0; // steadyNs() when its frames were written
        // The whole file went with its offer (start, data, end): only its answers are to come.
        bool whole = false;
    };
    quint64 fileSerial = 0; // of the latest file offered
    // Files sent whole with their offer, to a peer that takes them so, at most this large, and
    // at most this many and bytes of them written before their answers came.
    static constexpr qint64 aheadLimit = fastPieceSize;
    static constexpr int maxAhead = 32;
    static constexpr qint64 maxAheadBytes = 2 * fastPieceSize;
    std::deque<Offered> offeredAhead;
    struct Upgrade {
        QVector<quint64> sentNonces; // in our last frame; empty while none was written
        QElapsedTimer sentAt;
        bool due = false;            // a first frame waits for the connection to be free
        bool replyDue = false;       // the peer's frame was valid: our reply waits
        bool replied = false;        // our reply is written: our direction switched
        bool peerReplied = false;    // the peer's reply came: its direction switched
        quint32 feature = 0;         // of our reply
        // The answers to come, in the order the peer gives them: one per offer, one per end.
        QList<QPair<quint64, bool>> awaited; // file serial, toEnd
        QList<PeerAnswer> answers;   // come and not yet taken
        quint64 wantedFrom = 0;      // answers to files before this one were withdrawn: dropped
    };
    QHash<const QTcpSocket *, Upgrade> upgrades; // worker thread only
};

#endif
