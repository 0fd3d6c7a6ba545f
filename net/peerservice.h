#ifndef LUMO_NET_PEERSERVICE_H
#define LUMO_NET_PEERSERVICE_H

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVector>

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

    // The feature bits this process offers in its exchanges: all it knows. A bench turns the
    // extended framing off with it, to measure what the framing and the digest cost.
    static std::atomic<quint32> offeredFeatures;

    // Binds the service's port: from then on capability probes for this instance's
    // connections are answered, and discovery probes while serverListening and
    // answerDiscovery are true. On Linux only processes of the same user can share the port,
    // on Windows none.
    void startAnswering();
    bool isAnswering() const { return !listening.isEmpty(); }
    // Whether the TCP server listens: discovery is answered only then.
    bool serverListening = false;
    // Any thread: whether discovery probes are answered (capability probes always are).
    std::atomic<bool> answerDiscovery{true};

    // A connection just established: probe its peer for a short while.
    void track(QTcpSocket *socket);
    void untrack(const QTcpSocket *socket);
    // Whether an exchange for the connection completed. Only a proposal: the TCP peer proves
    // it with its upgrade frame (see proof()).
    bool isFast(const QTcpSocket *socket) const;
    // What the completed exchanges of a connection leave to prove it on TCP: the framing
    // versions both ends speak, this end's nonces (the peer's frame must hold one) and the
    // peer's (this end's frame carries them); at most two of each, one per exchange.
    struct Proof {
        quint32 features = 0;
        QVector<quint64> own;
        QVector<quint64> peer;
    };
    Proof proof(const QTcpSocket *socket) const;

    // Sends a discovery probe to each target; answers come as serverFound, with the host name
    // empty unless it may be shown (peerwire::shownHostName).
    void discover(const QList<QHostAddress> &targets);
    // Loopback, plus every interface's broadcast address when the port is the usual one
    // (another port is a test or a private set-up, kept to this machine) and the environment
    // variable LUMO_LOOPBACK_ONLY is not set (the tests set it).
    QList<QHostAddress> discoveryTargets() const;

    quint64 instanceId() const { return self; }
    quint16 port() const { return servicePort; }

    static constexpr int probeWindowMs = 300;
    static constexpr int probeIntervalMs = 100;
    // Discovery answers sent at most: a burst of answerBurst, then answersPerSecond, and to
    // any one address a burst of sourceBurst, then sourcePerSecond.
    static constexpr int answerBurst = 32;
    static constexpr int answersPerSecond = 64;
    static constexpr int sourceBurst = 4;
    static constexpr int sourcePerSecond = 2;
    static constexpr int maxSources = 256; // addresses remembered; beyond them, no answer
    // Capability answers, per connection: they never wait for the discovery budget.
    static constexpr int capabilityBurst = 8;
    static constexpr int capabilityPerSecond = 4;
    // Discover answers are taken this long after a probe, once per address, up to
    // FoundServers::maxServers of them.
    static constexpr int discoveryWindowMs = 1000;

signals:
    // An exchange for the connection completed (its proof() changed).
    void fastChanged(QTcpSocket *socket);
    void serverFound(const QHostAddress &address, const QString &hostName);

private:
    // A token bucket; starts full.
    struct Budget {
        double tokens = -1;
        qint64 at = 0;
        bool take(qint64 now, int burst, int perSecond);
        bool full(qint64 now, int burst, int perSecond) const;
    };
    struct Connection {
        QPointer<QTcpSocket> socket;
        QHostAddress peer;
        quint16 localPort = 0;
        quint16 peerPort = 0;
        quint64 probeNonce = 0;   // ours, while probing
        quint64 confirmNonce = 0; // ours, sent in an answer, awaiting the confirm
        quint64 proberNonce = 0;  // the prober's, from the probe we answered
        quint32 proberFeatures = 0;
        Proof proof;
        QElapsedTimer since;
        Budget answers;
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
    void onServerAnswer(const peerwire::Datagram &d, const QHostAddress &from, quint16 fromPort);
    void makeFast(Connection &c, quint64 own, quint64 peer, quint32 features);
    bool discoveryAllows(const QHostAddress &from);
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
    QElapsedTimer clock;
    Budget discoveryBudget;
    QHash<QHostAddress, Budget> sources; // per address, at most maxSources
    qint64 discoveredAt = -1;            // when the last discover probe went out
    QList<QHostAddress> answeredProbe;   // who answered it
};

// The servers the client page offers: what serverFound brought, at most maxServers, each
// forgotten forgetAfterMs after its last answer. Times are any monotonic milliseconds.
class FoundServers {
public:
    struct Entry {
        QString address;
        QString text; // as shown: the address, and the host name when there is one
        qint64 seen = 0;
    };
    static constexpr int maxServers = 64;
    static constexpr qint64 forgetAfterMs = 10000;

    // Whether what is shown changed: a server listed, or its name changed.
    bool take(const QString &address, const QString &hostName, qint64 now);
    // Whether any server was forgotten.
    bool forget(qint64 now);
    const QList<Entry> &entries() const { return list; }

private:
    QList<Entry> list;
};

#endif
