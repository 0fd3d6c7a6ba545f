// The upgrade of a connection between two instances: the UDP exchange proposes, the TCP peer
// proves it by writing an upgrade frame that holds one of this end's nonces. Only then does
// the connection turn fast: any process of the peer's host could have answered a datagram.
#include "net/sendthread.h"

#include "transfer/extframing.h"

void sendThread::onExchanged(QTcpSocket *socket)
{
    const PeerService::Proof proof = peers->proof(socket);
    if (!(proof.features & extwire::featureProof))
        return;
    if (!upgrades.contains(socket)) {
        connect(socket, &QObject::destroyed, this, [this, socket] { upgrades.remove(socket); },
                Qt::DirectConnection);
    }
    Upgrade &u = upgrades[socket];
    // A second exchange (two instances sharing the UDP port) brings nonces the peer may need.
    if (!u.proved && u.sentNonces != proof.peer)
        u.due = true;
    writeUpgrade(socket);
    publishFast(socket);
}

// Written only between transfers, never into the silence after a cut one.
void sendThread::writeUpgrade(QTcpSocket *socket)
{
    const auto it = upgrades.find(socket);
    if (it == upgrades.end() || !it->due || !fastTransfer || sendingTo == socket || silenceLeft(socket) > 0)
        return;
    const PeerService::Proof proof = peers->proof(socket);
    if (proof.peer.isEmpty())
        return;
    it->due = false;
    it->sentNonces = proof.peer.mid(0, extwire::maxUpgradeNonces);
    it->sentAt.start();
    socket->write(extwire::encodeUpgrade(extwire::featureProof, it->sentNonces));
}

void sendThread::onPeerUpgraded(quint64 connection)
{
    QTcpSocket *socket = nullptr;
    for (auto it = connectionIds.cbegin(); it != connectionIds.cend(); ++it) {
        if (it.value() == connection)
            socket = const_cast<QTcpSocket *>(it.key());
    }
    if (!isLive(socket) || !peers)
        return;
    if (!upgrades.contains(socket)) {
        connect(socket, &QObject::destroyed, this, [this, socket] { upgrades.remove(socket); },
                Qt::DirectConnection);
    }
    Upgrade &u = upgrades[socket];
    if (u.proved)
        return;
    u.proved = true;
    // The peer's frame may overtake the UDP confirm: answer it with ours.
    if (u.sentNonces.isEmpty())
        u.due = true;
    writeUpgrade(socket);
    publishFast(socket);
}

void sendThread::publishFast(QTcpSocket *socket)
{
    const bool was = socketFacts(socket).fast;
    publish(socket);
    if (isFast(socket) != was)
        emit onFastModeChanged(socket);
}

// Before a file: our frame goes out if it waits, and the peer's gets its time to come, so
// that the file goes unpaced when the peer is an instance and paced when it is not.
bool sendThread::settleUpgrade(const QPointer<QTcpSocket> &socket)
{
    if (!socket)
        return true;
    writeUpgrade(socket);
    const auto waiting = [this, &socket] {
        if (!socket)
            return false;
        const auto it = upgrades.constFind(socket);
        return it != upgrades.constEnd() && !it->sentNonces.isEmpty() && !it->proved
               && it->sentAt.elapsed() < upgradeWaitMs;
    };
    return !waiting() || serveEventsWhile(waiting);
}

bool sendThread::proved(const QTcpSocket *socket) const
{
    const auto it = upgrades.constFind(socket);
    return it != upgrades.constEnd() && it->proved && !it->sentNonces.isEmpty();
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
