#ifndef LUMO_NET_PEERROSTER_H
#define LUMO_NET_PEERROSTER_H

#include <QPair>
#include <QString>
#include <QVector>

#include <functional>

class QTcpSocket;
class sendThread;

// How a peer's address is shown: a dual-stack listener sees an IPv4 peer as
// ::ffff:a.b.c.d, which is shown as a.b.c.d.
QString shownPeerAddress(const QString &address);

// The accepted peers a front end knows, in accept order, each with the name it shows. The
// sockets are keys only: they live in the worker thread.
class PeerRoster {
public:
    using Entry = QPair<QTcpSocket *, QString>;
    void add(QTcpSocket *socket, const QString &name) { peers.append({socket, name}); }
    // The worker's disconnect signal names no socket: every known one that has closed is
    // taken out here and disposed of in the worker.
    // closed tells which have; by default the worker's own facts.
    QVector<Entry> takeClosed(sendThread &worker, const std::function<bool(const QTcpSocket *)> &closed = {});
    const QVector<Entry> &entries() const { return peers; }

private:
    QVector<Entry> peers;
};

#endif
