#ifndef LUMO_NET_PEERSERVICE_H
#define LUMO_NET_PEERSERVICE_H

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <atomic>

#include "transfer/peerdatagram.h"

class QTcpSocket;
class QUdpSocket;

// The UDP service on the transfer port: it finds servers on the LAN, and finds out whether
// the peer of a TCP connection is an instance of this program, whose receiver takes any
// cutting of the stream, so that files may go to it unpaced. Peers that never answer (the
// original receivers, a firewall) keep the paced sender. Lives in the worker thread.
//
// The capability exchange, for a connection between A and B:
//   A -> B's port       probe: a nonce and A's two ports of the connection
//   B -> A              answer: A's nonce and one of B's (B holds that very connection)
//   A -> B's port       confirm: B's nonce
// A's probe answered makes the connection fast at A; B's nonce confirmed, at B. One exchange
// serves both directions, which matters when two instances share the port on one machine
// and one of them gets every datagram sent to it.
class PeerService : public QObject {
    Q_OBJECT
public:
    explicit PeerService(quint16 port, QObject *parent = nullptr);

    // Binds the service's port: from then on capability probes for this instance's
    // connections are answered, and discovery probes while serverListening and
    // answerDiscovery are true.
    void startAnswering();
    bool isAnswering() const { return !listening.isEmpty(); }
    // Whether the TCP server listens: discovery is answered only then.
    bool serverListening = false;
    // Any thread: whether discovery probes are answered (capability probes always are).
    std::atomic<bool> answerDiscovery{true};

    // A connection just established: probe its peer for a short while.
    void track(QTcpSocket *socket);
    void untrack(const QTcpSocket *socket);
    bool isFast(const QTcpSocket *socket) const;

    // Sends a discovery probe to each target; answers come as serverFound.
    void discover(const QList<QHostAddress> &targets);
    // Loopback, plus every interface's broadcast address when the port is the usual one
    // (another port is a test or a private set-up, kept to this machine) and the environment
    // variable LUMO_LOOPBACK_ONLY is not set (the tests set it).
    QList<QHostAddress> discoveryTargets() const;

    quint64 instanceId() const { return self; }
    quint16 port() const { return servicePort; }

    static constexpr int probeWindowMs = 300;
    static constexpr int probeIntervalMs = 100;
    // Answers sent at most: a burst of answerBurst, then answersPerSecond.
    static constexpr int answerBurst = 32;
    static constexpr int answersPerSecond = 64;

signals:
    void fastChanged(QTcpSocket *socket);
    void serverFound(const QHostAddress &address, const QString &hostName);

private:
    struct Connection {
        QPointer<QTcpSocket> socket;
        QHostAddress peer;
        quint16 localPort = 0;
        quint16 peerPort = 0;
        quint64 probeNonce = 0;   // ours, while probing
        quint64 confirmNonce = 0; // ours, sent in an answer, awaiting the confirm
        QElapsedTimer since;
        bool fast = false;
    };

    template <typename Handle>
    void readDatagrams(QUdpSocket *socket, Handle handle);
    void readListening(QUdpSocket *socket);
    void readProbing(QUdpSocket *socket);
    void onProbe(QUdpSocket *socket, const peerwire::Datagram &d, const QHostAddress &from, quint16 fromPort,
                 qsizetype received);
    void onConfirm(const peerwire::Datagram &d, const QHostAddress &from);
    void onAnswer(QUdpSocket *socket, const peerwire::Datagram &d, const QHostAddress &from, quint16 fromPort);
    void sendProbes();
    void makeFast(Connection &c);
    bool takeToken();
    QUdpSocket *probingSocket(const QHostAddress &to);
    Connection *find(const QHostAddress &peer, quint16 localPort, quint16 peerPort);
    static quint64 nonce();

    const quint16 servicePort;
    const quint64 self;
    QList<QUdpSocket *> listening;
    QUdpSocket *probe4 = nullptr;
    QUdpSocket *probe6 = nullptr;
    QHash<const QTcpSocket *, Connection> connections;
    QTimer *probeTimer;
    QElapsedTimer tokenClock;
    double tokens = answerBurst;
};

#endif
