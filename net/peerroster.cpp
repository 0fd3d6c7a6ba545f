#include "net/peerroster.h"

#include <QHostAddress>

#include "net/sendthread.h"

QString shownPeerAddress(const QString &address)
{
    bool v4 = false;
    const quint32 ipv4 = QHostAddress(address).toIPv4Address(&v4);
    return v4 ? QHostAddress(ipv4).toString() : address;
}

QVector<PeerRoster::Entry> PeerRoster::takeClosed(sendThread &worker,
                                                  const std::function<bool(const QTcpSocket *)> &isClosed)
{
    QVector<Entry> closed;
    for (int i = 0; i < peers.size();) {
        const QTcpSocket *socket = peers.at(i).first;
        if (isClosed ? !isClosed(socket) : worker.socketState(socket) != QAbstractSocket::UnconnectedState) {
            ++i;
            continue;
        }
        closed.append(peers.takeAt(i));
        worker.disposeSocket(closed.last().first);
    }
    return closed;
}
