#include "net/sendthread.h"

#include <QAbstractEventDispatcher>
#include <QMetaType>
#include <QMutexLocker>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

#include "net/acceptloop.h"
#include "net/memorytuning.h"
#include "net/peerlimits.h"
#include "net/socketoptions.h"
#include "transfer/receivethread.h"

sendThread::sendThread(quint16 port)
    : QThread(nullptr), listenPort(port)
{
    memoryTuning::keepLargeBuffers();
    activityClock.start();
    qRegisterMetaType<QAbstractSocket::SocketState>("QAbstractSocket::SocketState");
    qRegisterMetaType<BatchStatus>("BatchStatus");

    frontBox = new Outbox;
    answerBox = new Outbox(this);
    recThread = new receiveThread;
    recThread->setAnswerOutbox(answerBox);
    // Straight from the engine to the front ends (its codes run in their thread already).
    connect(recThread, &receiveThread::sendRecState, this, &sendThread::sendRecState, Qt::DirectConnection);
    connect(recThread, &receiveThread::queueDrained, this, &sendThread::resumeReading);
    recThread->start(QThread::InheritPriority);

    peers = new PeerService(port, this);
    connect(peers, &PeerService::fastChanged, this, [this](QTcpSocket *socket) {
        if (isLive(socket))
            onExchanged(socket);
    });
    connect(recThread, &receiveThread::peerUpgraded, this, &sendThread::onPeerUpgraded);
    connect(recThread, &receiveThread::answerPeer, this, &sendThread::onAnswerPeer);
    connect(recThread, &receiveThread::peerAnswered, this, &sendThread::onPeerAnswered);
    connect(peers, &PeerService::serverFound, this, [this](const QHostAddress &address, const QString &hostName) {
        bool v4 = false;
        const QHostAddress plain(address.toIPv4Address(&v4));
        report(&sendThread::serverDiscovered, v4 ? plain.toString() : address.toString(), hostName);
    });

    // Peers that come and go leave freed memory that the allocator keeps for itself; give
    // it back a while after a close, at most every few seconds however many come.
    trimTimer = new QTimer(this);
    trimTimer->setSingleShot(true);
    trimTimer->setInterval(2000);
    connect(trimTimer, &QTimer::timeout, this, [] { memoryTuning::giveBack(); });

    createServer();
    createClientSocket();
}

bool sendThread::isFast(const QTcpSocket *socket) const
{
    return fastTransfer && peers && peers->isFast(socket) && proved(socket);
}

void sendThread::discoverServers()
{
    if (peers)
        peers->discover(peers->discoveryTargets());
}

sendThread::~sendThread()
{
    delete server;
    server = nullptr;
    registry.clear();
    delete clientSocket;
    clientSocket = nullptr;
    // The engine reads process-wide values; it must end before they are destroyed.
    delete recThread;
    recThread = nullptr;
    // Last, as the sockets' ends above report into it; what it still holds is dropped, since
    // it would reach a worker that is gone.
    delete frontBox;
    frontBox = nullptr;
}

void sendThread::run()
{
    // What the worker reported goes to the front end whenever it is about to rest.
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            [this] { frontBox->flush(); }, Qt::DirectConnection);
    exec();
    frontBox->flush();
    // Its timer and sockets belong to this thread and must end in it.
    delete peers;
    peers = nullptr;
    delete trimTimer;
    trimTimer = nullptr;
}

bool sendThread::event(QEvent *event)
{
    const bool handled = QThread::event(event);
    if (frontBox)
        frontBox->flush();
    return handled;
}

void sendThread::handleCmd(int cmd_type)
{
    switch (static_cast<unsigned>(cmd_type)) {
    case CmdStartListen:
        if (!server->isListening()) {
            listen();
            if (server->isListening())
                startAccepting();
        }
        break;
    case CmdStopListen:
        if (server->isListening()) {
            stopAccepting();
            server->close();
            peers->serverListening = false;
            report(&sendThread::sendActionSig, ActionListenStopped);
        }
        break;
    case CmdConnect: {
        QString host;
        {
            QMutexLocker lock(&commandMutex);
            host = hostName;
        }
        // Outside the unconnected state the socket would answer with an error of its own.
        if (clientSocket->state() == QAbstractSocket::UnconnectedState)
            clientSocket->connectToHost(host, listenPort, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
        break;
    }
    case CmdDisconnect:
        if (!clientSocket)
            break;
        if (clientSocket->state() == QAbstractSocket::ConnectedState)
            clientSocket->disconnectFromHost();
        else
            createClientSocket(); // abandons a lookup or a connection attempt
        break;
    case CmdSendTest: {
        QTcpSocket *target;
        {
            QMutexLocker lock(&commandMutex);
            target = targetSocket;
        }
        sendGreeting(target);
        break;
    }
    case CmdSendFile:
        sendFiles();
        break;
    default:
        break; // unknown codes are ignored without a trace
    }
}

void sendThread::listen()
{
    if (server->listen(QHostAddress::Any, listenPort)) {
        peers->answerDiscovery = discoverable.load();
        peers->serverListening = true;
        peers->startAnswering();
        report(&sendThread::sendActionSig, ActionListening);
        return;
    }
    // The window shows nothing for this; someone starting us from a terminal learns why.
    if (server->serverError() == QAbstractSocket::AddressInUseError)
        std::fprintf(stderr, "port %u is in use\n", unsigned(listenPort));
    else
        std::fprintf(stderr, "cannot listen on port %u: %s\n", unsigned(listenPort),
                     server->errorString().toLocal8Bit().constData());
}

QTcpSocket *sendThread::currentClientSocket() const
{
    return registry.client();
}

SocketFacts sendThread::socketFacts(const QTcpSocket *socket) const
{
    return registry.facts(socket);
}

QAbstractSocket::SocketState sendThread::socketState(const QTcpSocket *socket) const
{
    return socketFacts(socket).state;
}

QString sendThread::serverErrorText() const
{
    return registry.serverError();
}

void sendThread::disposeSocket(QTcpSocket *socket)
{
    QMetaObject::invokeMethod(this, [this, socket] {
        // The client-role socket is ours to replace, never the window's to delete.
        if (!isLive(socket) || socket == clientSocket)
            return;
        endStream(socket);
        // A socket deleted while connected aborts and signals from its destructor; none of
        // that may reach us.
        QObject::disconnect(socket, nullptr, this, nullptr);
        places.remove(socket);
        cutAt.remove(socket);
        heldGreetings.remove(socket);
        // Its destroyed notice no longer reaches us, and a new socket may get its address.
        upgrades.remove(socket);
        forget(socket);
        socket->deleteLater();
    }, Qt::QueuedConnection);
}

bool sendThread::isLive(const QTcpSocket *socket) const
{
    return socket && registry.contains(socket);
}

void sendThread::publish(const QTcpSocket *socket)
{
    SocketFacts f;
    f.state = socket->state();
    f.peerAddress = socket->peerAddress().toString();
    f.peerPort = socket->peerPort();
    f.errorString = socket->errorString();
    f.fast = isFast(socket);
    registry.publish(socket, f);
}

void sendThread::forget(const QTcpSocket *socket)
{
    registry.forget(socket);
}

namespace {

// Hands out the connections that acceptPeers took. Its own accept loop stays paused: it
// retries a failed accept (out of descriptors) on every event loop turn.
class PeerServer : public QTcpServer {
public:
    using QTcpServer::QTcpServer;
    QList<QTcpSocket *> accepted;
    bool hasPendingConnections() const override { return !accepted.isEmpty(); }
    QTcpSocket *nextPendingConnection() override { return accepted.isEmpty() ? nullptr : accepted.takeFirst(); }
};

} // namespace

void sendThread::createServer()
{
    server = new PeerServer(this);
    server->setProxy(QNetworkProxy::NoProxy);
}

void sendThread::createClientSocket()
{
    QTcpSocket *old = clientSocket;
    QAbstractSocket::SocketState oldState = QAbstractSocket::UnconnectedState;
    if (old) {
        oldState = old->state();
        endStream(old);
        // Its destructor aborts a lookup or attempt and signals; we report that ourselves.
        QObject::disconnect(old, nullptr, this, nullptr);
    }
    auto *fresh = new QTcpSocket(this);
    registry.replaceClient(old, fresh);
    clientSocket = fresh;
    cutAt.remove(old);
    heldGreetings.remove(old);
    upgrades.remove(old);
    answersHeld.remove(old);
    delete old;

    fresh->setReadBufferSize(readBufferSize);
    fresh->setProxy(QNetworkProxy::NoProxy);
    connect(fresh, &QTcpSocket::readyRead, this, &sendThread::onSocketReadyRead);
    connect(fresh, &QTcpSocket::bytesWritten, this, [this, fresh] { onAnswersWritten(fresh, RoleClient); });
    connect(fresh, &QAbstractSocket::errorOccurred, this, &sendThread::onErrorOccurs);
    connect(fresh, &QAbstractSocket::stateChanged, this, [this, fresh](QAbstractSocket::SocketState state) {
        // Options need a live socket engine, which exists only from here on.
        if (state == QAbstractSocket::ConnectedState) {
            // Connected again after a disconnect: nothing of the last connection holds.
            upgrades.remove(fresh);
            cutAt.remove(fresh);
            heldGreetings.remove(fresh);
            fresh->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            socketOptions::keepAlive(fresh->socketDescriptor());
            if (fastTransfer && peers)
                peers->track(fresh);
        }
        publish(fresh); // before the window hears of the change
        report(&sendThread::onSocketStateChange, state);
    });
    connect(fresh, &QAbstractSocket::disconnected, this, [this, fresh] { endStream(fresh); });
    publish(fresh);

    if (oldState != QAbstractSocket::UnconnectedState)
        report(&sendThread::onSocketStateChange, QAbstractSocket::UnconnectedState);
}

void sendThread::onErrorOccurs(QAbstractSocket::SocketError)
{
    publish(clientSocket); // the window reads the error text from the facts
    report(&sendThread::onClientErrorOccurs, clientSocket);
}

void sendThread::onNewConnection()
{
    hungUpLooked = false; // the batch is over: the next may look again
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        socket->setReadBufferSize(readBufferSize);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socketOptions::keepAlive(socket->socketDescriptor());
        connectionId(socket);
        if (fastTransfer && peers)
            peers->track(socket);
        publish(socket);
        connect(socket, &QAbstractSocket::stateChanged, this, [this, socket] {
            if (isLive(socket))
                publish(socket);
        });
        connect(socket, &QObject::destroyed, this, [this, socket] {
            places.remove(socket);
            answersHeld.remove(socket);
            cutAt.remove(socket);
            heldGreetings.remove(socket);
            // Deleted behind our back (with the server): no bytes to save, only the notice.
            forget(socket);
            const quint64 id = connectionIds.take(socket);
            if (id)
                deliver({ReceivedPiece{id, {}, true}});
        }, Qt::DirectConnection);
        report(&sendThread::onNewClientconnected, socket);
        connect(socket, &QTcpSocket::readyRead, this, &sendThread::onServerReadyRead);
        connect(socket, &QIODevice::bytesWritten, this, [this, socket] {
            places.touch(socket, activityClock.elapsed());
            onAnswersWritten(socket, RoleServer);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (!trimTimer->isActive())
                trimTimer->start();
            places.remove(socket); // its place is free at once
            endStream(socket);
            publish(socket); // reads as unconnected before the window looks
            report(&sendThread::onClientDisconnected);
        });
    }
}

void sendThread::startAccepting()
{
    // The server only listens; accepting is the loop's.
    server->pauseAccepting();
    acceptLoop = new AcceptLoop(server->socketDescriptor(), this);
    connect(acceptLoop, &AcceptLoop::accepted, this, &sendThread::takePeer);
    connect(acceptLoop, &AcceptLoop::batchDone, this, &sendThread::onNewConnection);
    connect(acceptLoop, &AcceptLoop::failed, this, [this](const QString &error) {
        // Out of descriptors, most likely: a peer that hung up or sits idle gives one back
        // before the loop tries again.
        freePlace(nullptr);
        registry.setServerError(error);
        report(&sendThread::onServerErrorOccurs, server);
    });
}

void sendThread::stopAccepting()
{
    delete acceptLoop; // before the descriptor it watches is closed
    acceptLoop = nullptr;
}

void sendThread::takePeer(qintptr descriptor)
{
    auto *socket = new QTcpSocket(server);
    if (!socket->setSocketDescriptor(descriptor)) {
        AcceptLoop::closeDescriptor(descriptor);
        delete socket;
        return;
    }
    const QHostAddress key = peerLimits::addressKey(socket->peerAddress());
    if (!makeRoom(key)) {
        refuse(socket);
        return;
    }
    places.add(socket, key, activityClock.elapsed());
    refusing = false;
    static_cast<PeerServer *>(server)->accepted.append(socket);
}

// Whether a newcomer that counts under key may join the peers, once those that hung up, or
// else idle ones, have made room for it.
bool sendThread::makeRoom(const QHostAddress &key)
{
    const int most = peerLimits::maxPeers(maxPeers);
    for (;;) {
        const bool groupFull = places.count(key) >= peerLimits::perAddress;
        if (!groupFull && places.size() < most)
            return true;
        if (!freePlace(groupFull ? &key : nullptr))
            return false;
    }
}

// Closes the peers that hung up (looked for once per accept batch, since each costs a system
// call), or else the one of group (of any group, when null) that has been idle longest.
// Whether a peer was closed.
bool sendThread::freePlace(const QHostAddress *group)
{
    if (!hungUpLooked) {
        hungUpLooked = true;
        bool closed = false;
        for (const QTcpSocket *socket : places.sockets()) {
            if (peerLimits::hungUp(socket)) {
                evict(const_cast<QTcpSocket *>(socket));
                closed = true;
            }
        }
        if (closed)
            return true;
    }
    std::optional<QSet<quint64>> receiving; // asked of the engine only once a peer is idle
    const auto isBusy = [&](const QTcpSocket *socket) {
        if (!receiving) {
            receiving.emplace();
            for (const IncomingTransfer &t : recvProgress::active())
                receiving->insert(t.connection);
        }
        return busy(socket, *receiving);
    };
    const QTcpSocket *idle = places.idlest(group, activityClock.elapsed() - idleMs.load(), isBusy);
    if (!idle)
        return false;
    evict(const_cast<QTcpSocket *>(idle));
    return true;
}

// Whether something is under way on an accepted peer, by what the worker knows: a batch or a
// file going to it, offers or ends awaiting its answers, the upgrade exchange, held greetings,
// bytes not yet taken either way, a file the engine is receiving from it.
bool sendThread::busy(const QTcpSocket *socket, const QSet<quint64> &receiving) const
{
    if (sendsTo(socket) || socket == followUp.target || heldGreetings.contains(const_cast<QTcpSocket *>(socket)) || socket->bytesAvailable() > 0
        || socket->bytesToWrite() > 0 || receiving.contains(connectionIds.value(socket)))
        return true;
    for (const Offered &o : offeredAhead) {
        if (o.socket.data() == socket)
            return true;
    }
    const auto upgrade = upgrades.constFind(socket);
    return upgrade != upgrades.constEnd() && (!upgrade->awaited.isEmpty() || upgrade->due || upgrade->replyDue);
}

// Closes an accepted peer to make room; its place is free on return. One taken in this batch
// is not announced yet and goes quietly; any other ends as a peer's close does, its bytes
// still unread handed to the engine first (the close drops them).
void sendThread::evict(QTcpSocket *socket)
{
    places.remove(socket);
    if (static_cast<PeerServer *>(server)->accepted.removeOne(socket)) {
        socket->abort();
        delete socket;
        return;
    }
    endStream(socket);
    socket->abort();
}

void sendThread::refuse(QTcpSocket *socket)
{
    if (!refusing) {
        refusing = true;
        std::fprintf(stderr,
                     "connections beyond %d peers, or %d from one address (IPv6: one /64), are closed at once "
                     "unless idle ones make room\n",
                     peerLimits::maxPeers(maxPeers), peerLimits::perAddress);
    }
    socket->abort();
    delete socket;
}

void sendThread::onServerReadyRead()
{
    if (auto *socket = qobject_cast<QTcpSocket *>(sender())) {
        places.touch(socket, activityClock.elapsed());
        feed(socket, RoleServer);
    }
}

void sendThread::onSocketReadyRead()
{
    feed(clientSocket, RoleClient);
}

QList<ReceivedPiece> sendThread::cutIntoPieces(quint64 connection, const QByteArray &data, PeerKind peer)
{
    QList<ReceivedPiece> pieces;
    int offset = 0;
    while (data.size() - offset > readBufferSize) {
        pieces.append(ReceivedPiece{connection, data.mid(offset, readBufferSize), false, peer});
        offset += readBufferSize;
    }
    pieces.append(ReceivedPiece{connection, data.mid(offset), false, peer});
    return pieces;
}

PeerKind sendThread::peerKind(const QTcpSocket *socket) const
{
    return peers && peers->isFast(socket) ? PeerKind::Instance : PeerKind::Plain;
}

void sendThread::feed(QTcpSocket *socket, int role)
{
    // While paused, the socket's read buffer fills up to its cap and TCP holds the peer back.
    if (readingPaused || holdsAnswers(socket))
        return;
    // Asking for exactly what is buffered lets the socket hand over its buffer uncopied
    // when it is one block, as it is after each full read.
    deliver(withProof(cutIntoPieces(connectionId(socket), socket->read(socket->bytesAvailable()), peerKind(socket)),
                      socket));
    receiveRole = role;
    // The engine signals every fall below its low mark, so a pause decided on a count above
    // the high mark is always followed by a drained notice.
    if (queuedBytes() > receiveThread::highWater)
        readingPaused = true;
}

bool sendThread::sendsTo(const QTcpSocket *socket) const
{
    return socket == sendingTo || (queue.running() && queue.target() == socket);
}

bool sendThread::holdsAnswers(QTcpSocket *socket)
{
    // Toward a peer this end sends to, the sender bounds what it writes itself.
    if (sendsTo(socket) || socket->bytesToWrite() <= maxUnreadAnswers)
        return false;
    answersHeld.insert(socket);
    return true;
}

void sendThread::noteUnwritten(const QTcpSocket *socket)
{
    if (socket && socket == sendingTo)
        targetUnwritten = socket->bytesToWrite();
}

void sendThread::onAnswersWritten(QTcpSocket *socket, int role)
{
    noteUnwritten(socket);
    if (socket->bytesToWrite() > maxUnreadAnswers / 2 || !answersHeld.remove(socket))
        return;
    if (socket->bytesAvailable() > 0)
        feed(socket, role);
}

void sendThread::resumeReading()
{
    if (!readingPaused)
        return;
    readingPaused = false;
    // Bytes already buffered raise no new readyRead: read every socket that holds some.
    if (clientSocket->bytesAvailable() > 0)
        feed(clientSocket, RoleClient);
    const auto accepted = server->findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
    for (QTcpSocket *socket : accepted) {
        if (isLive(socket) && socket->bytesAvailable() > 0)
            feed(socket, RoleServer);
    }
}

void sendThread::endStream(QTcpSocket *socket)
{
    const quint64 id = connectionIds.take(socket);
    if (!id)
        return;
    // What is left in the buffer goes too, paused or not: nothing more can come, and the
    // socket may be deleted before reading resumes.
    QList<ReceivedPiece> pieces;
    if (socket->bytesAvailable() > 0)
        pieces = withProof(cutIntoPieces(id, socket->readAll(), peerKind(socket)), socket);
    pieces.append(ReceivedPiece{id, {}, true, PeerKind::Plain});
    deliver(pieces);
}

void sendThread::deliver(const QList<ReceivedPiece> &pieces)
{
    if (pieceSink)
        pieceSink->appendPieces(pieces);
    else
        recThread->appendPieces(pieces);
}

qint64 sendThread::queuedBytes() const
{
    return pieceSink ? pieceSink->queuedBytes() : recThread->queuedBytes();
}

quint64 sendThread::connectionId(QTcpSocket *socket)
{
    auto it = connectionIds.find(socket);
    if (it == connectionIds.end())
        it = connectionIds.insert(socket, nextConnectionId++);
    return it.value();
}
