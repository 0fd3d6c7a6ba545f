// The upgrade of a connection between two instances: the UDP exchange proposes, the TCP peer
// proves it by writing an upgrade frame that holds one of this end's nonces. Only then does
// the connection turn fast: any process of the peer's host could have answered a datagram.
//
// Each end writes a first frame when its exchange completes, and a reply when a valid frame
// of the peer's arrives. A reply always holds a nonce the peer owns (it answers a frame that
// came from the very exchange), so a direction switches to the extended framing right after
// its reply, and the connection is ready once both replies are on it.
#include "net/sendthread.h"

#include "transfer/extframing.h"

sendThread::Upgrade &sendThread::upgradeOf(QTcpSocket *socket)
{
    if (!upgrades.contains(socket)) {
        connect(socket, &QObject::destroyed, this, [this, socket] { upgrades.remove(socket); },
                Qt::DirectConnection);
    }
    return upgrades[socket];
}

QTcpSocket *sendThread::socketOf(quint64 connection) const
{
    for (auto it = connectionIds.cbegin(); it != connectionIds.cend(); ++it) {
        if (it.value() == connection)
            return isLive(it.key()) ? const_cast<QTcpSocket *>(it.key()) : nullptr;
    }
    return nullptr;
}

void sendThread::onExchanged(QTcpSocket *socket)
{
    const PeerService::Proof proof = peers->proof(socket);
    if (!(proof.features & extwire::featureProof))
        return;
    Upgrade &u = upgradeOf(socket);
    // A second exchange (two instances sharing the UDP port) brings nonces the peer may need.
    if (!u.replied && u.sentNonces != proof.peer)
        u.due = true;
    writeUpgrade(socket);
    publishFast(socket);
}

// Written only between transfers, never into the silence after a cut one.
void sendThread::writeUpgrade(QTcpSocket *socket)
{
    const auto it = upgrades.find(socket);
    if (it == upgrades.end() || !(it->due || it->replyDue) || !fastTransfer || sendingTo == socket
        || silenceLeft(socket) > 0)
        return;
    const PeerService::Proof proof = peers->proof(socket);
    if (proof.peer.isEmpty())
        return;
    const QVector<quint64> nonces = proof.peer.mid(0, extwire::maxUpgradeNonces);
    const quint32 feature = extwire::chosenFeature(proof.features);
    const bool reply = it->replyDue;
    it->due = false;
    it->replyDue = false;
    it->sentNonces = nonces;
    it->sentAt.start();
    if (reply) {
        it->replied = true;
        it->feature = feature;
    }
    socket->write(extwire::encodeUpgrade(feature, reply, nonces));
}

void sendThread::onPeerUpgraded(quint64 connection, bool reply, quint32)
{
    QTcpSocket *socket = socketOf(connection);
    if (!socket || !peers)
        return;
    Upgrade &u = upgradeOf(socket);
    if (reply)
        u.peerReplied = true;
    if (!u.replied)
        u.replyDue = true;
    writeUpgrade(socket);
    publishFast(socket);
}

void sendThread::publishFast(QTcpSocket *socket)
{
    const bool was = socketFacts(socket).fast;
    publish(socket);
    if (isFast(socket) != was)
        report(&sendThread::onFastModeChanged, socket);
}

// Before a file: a frame of ours goes out if it waits, and the peer's get their time to come,
// so that the file goes unpaced when the peer is an instance and paced when it is not.
bool sendThread::settleUpgrade(const QPointer<QTcpSocket> &socket)
{
    if (!socket)
        return true;
    writeUpgrade(socket);
    const auto waiting = [this, &socket] {
        if (!socket)
            return false;
        const auto it = upgrades.constFind(socket);
        return it != upgrades.constEnd() && !it->sentNonces.isEmpty() && !(it->replied && it->peerReplied)
               && it->sentAt.elapsed() < upgradeWaitMs;
    };
    return !waiting() || serveEventsWhile(waiting);
}

bool sendThread::proved(const QTcpSocket *socket) const
{
    const auto it = upgrades.constFind(socket);
    return it != upgrades.constEnd() && it->replied && it->peerReplied;
}

// Our direction: from our reply on, whatever we write must be a frame.
bool sendThread::extended(const QTcpSocket *socket) const
{
    const auto it = upgrades.constFind(socket);
    return it != upgrades.constEnd() && it->replied && extwire::isFraming(it->feature);
}

QList<ReceivedPiece> sendThread::withProof(QList<ReceivedPiece> pieces, const QTcpSocket *socket) const
{
    if (!peers || !fastTransfer)
        return pieces;
    const PeerService::Proof proof = peers->proof(socket);
    if (!(proof.features & extwire::featureProof) || proof.own.isEmpty())
        return pieces;
    for (ReceivedPiece &piece : pieces) {
        piece.ownNonces = proof.own;
        piece.features = proof.features;
    }
    return pieces;
}

QByteArray sendThread::greetingFor(const QTcpSocket *socket) const
{
    return extended(socket) ? extwire::text(wire::greeting) : wire::greeting;
}

void sendThread::onAnswerPeer(quint64 connection, const QByteArray &frame)
{
    if (QTcpSocket *socket = socketOf(connection))
        socket->write(frame);
}

void sendThread::onPeerAnswered(quint64 connection, int type, quint64 value, const QByteArray &digest)
{
    QTcpSocket *socket = socketOf(connection);
    if (!socket)
        return;
    Upgrade &upgrade = upgradeOf(socket);
    if (upgrade.awaited.isEmpty())
        return; // nothing was asked: a peer's error
    const QPair<quint64, bool> to = upgrade.awaited.takeFirst();
    const bool toEnd = type == int(extwire::Type::Result);
    if (toEnd != to.second || to.first < upgrade.wantedFrom)
        return; // out of step, or to a withdrawn file
    // Two answers for each file ahead and the one being sent; more are a peer's error.
    if (upgrade.answers.size() < 2 * (maxAhead + 1))
        upgrade.answers.append(PeerAnswer{type, value, digest, to.first, toEnd});
}
