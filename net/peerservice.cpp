#include "net/peerservice.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QUdpSocket>

#include "net/codes.h"

namespace {

// Larger datagrams are none of ours; they are read and dropped.
constexpr qint64 maxDatagram = 512;
// Datagrams handled per wake-up; the rest wait for the next turn of the event loop.
constexpr int maxPerRead = 64;

bool sameAddress(const QHostAddress &a, const QHostAddress &b)
{
    return a.isEqual(b, QHostAddress::TolerantConversion);
}

bool isIPv6(const QHostAddress &address)
{
    bool v4 = false;
    address.toIPv4Address(&v4);
    return !v4 && address.protocol() == QAbstractSocket::IPv6Protocol;
}

} // namespace

PeerService::PeerService(quint16 port, QObject *parent)
    : QObject(parent), servicePort(port), self(nonce()), probeTimer(new QTimer(this))
{
    probeTimer->setInterval(probeIntervalMs);
    connect(probeTimer, &QTimer::timeout, this, &PeerService::sendProbes);
    tokenClock.start();
}

quint64 PeerService::nonce()
{
    quint64 n = 0;
    while (n == 0)
        n = QRandomGenerator::system()->generate64();
    return n;
}

void PeerService::startAnswering()
{
    if (!listening.isEmpty())
        return;
    // Shared, so that two instances on one machine can both have it.
    const auto mode = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;
    for (const QHostAddress &any : {QHostAddress(QHostAddress::AnyIPv4), QHostAddress(QHostAddress::AnyIPv6)}) {
        auto *socket = new QUdpSocket(this);
        if (!socket->bind(any, servicePort, mode)) {
            delete socket;
            continue;
        }
        connect(socket, &QUdpSocket::readyRead, this, [this, socket] { readListening(socket); });
        listening.append(socket);
    }
}

QUdpSocket *PeerService::probingSocket(const QHostAddress &to)
{
    QUdpSocket *&socket = isIPv6(to) ? probe6 : probe4;
    if (!socket) {
        socket = new QUdpSocket(this);
        const QHostAddress any(isIPv6(to) ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4);
        if (!socket->bind(any, 0)) {
            delete socket;
            socket = nullptr;
            return nullptr;
        }
        QUdpSocket *s = socket;
        connect(s, &QUdpSocket::readyRead, this, [this, s] { readProbing(s); });
    }
    return socket;
}

void PeerService::track(QTcpSocket *socket)
{
    if (!socket || connections.contains(socket))
        return;
    Connection c;
    c.socket = socket;
    c.peer = socket->peerAddress();
    c.localPort = socket->localPort();
    c.peerPort = socket->peerPort();
    c.probeNonce = nonce();
    c.since.start();
    connections.insert(socket, c);
    // Keys are pointers: a closed socket must go before its address can come back.
    connect(socket, &QAbstractSocket::disconnected, this, [this, socket] { untrack(socket); });
    connect(socket, &QObject::destroyed, this, [this, socket] { untrack(socket); }, Qt::DirectConnection);
    sendProbes();
    probeTimer->start();
}

void PeerService::untrack(const QTcpSocket *socket)
{
    connections.remove(socket);
}

bool PeerService::isFast(const QTcpSocket *socket) const
{
    const auto it = connections.constFind(socket);
    return it != connections.constEnd() && it->fast;
}

// Probes every connection still within its window; a probe may be lost, or come before the
// peer has taken the connection from its listen queue, so it goes out a few times.
void PeerService::sendProbes()
{
    bool probing = false;
    for (Connection &c : connections) {
        if (!c.probeNonce)
            continue;
        if (c.since.elapsed() >= probeWindowMs || !c.socket) {
            c.probeNonce = 0; // too late: a send may already have started paced
            continue;
        }
        probing = true;
        QUdpSocket *socket = probingSocket(c.peer);
        if (!socket)
            continue;
        peerwire::Datagram d;
        d.kind = peerwire::Kind::CapabilityProbe;
        d.sender = self;
        d.nonce = c.probeNonce;
        d.localPort = c.localPort;
        d.remotePort = c.peerPort;
        socket->writeDatagram(peerwire::encode(d), c.peer, servicePort);
    }
    if (!probing)
        probeTimer->stop();
}

void PeerService::discover(const QList<QHostAddress> &targets)
{
    peerwire::Datagram d;
    d.kind = peerwire::Kind::DiscoverProbe;
    d.sender = self;
    const QByteArray bytes = peerwire::encode(d);
    for (const QHostAddress &to : targets) {
        if (QUdpSocket *socket = probingSocket(to))
            socket->writeDatagram(bytes, to, servicePort);
    }
}

QList<QHostAddress> PeerService::discoveryTargets() const
{
    QList<QHostAddress> targets{QHostAddress(QHostAddress::LocalHost)};
    // Tests run the program on the usual port too, and must not reach the network.
    if (servicePort != defaultPort || qEnvironmentVariableIsSet("LUMO_LOOPBACK_ONLY"))
        return targets;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        const auto flags = iface.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning)
            || !(flags & QNetworkInterface::CanBroadcast) || (flags & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol && !entry.broadcast().isNull()
                && !targets.contains(entry.broadcast()))
                targets.append(entry.broadcast());
        }
    }
    return targets;
}

bool PeerService::takeToken()
{
    tokens = qMin<double>(answerBurst, tokens + tokenClock.restart() * answersPerSecond / 1000.0);
    if (tokens < 1)
        return false;
    tokens -= 1;
    return true;
}

PeerService::Connection *PeerService::find(const QHostAddress &peer, quint16 localPort, quint16 peerPort)
{
    for (Connection &c : connections) {
        if (c.socket && c.localPort == localPort && c.peerPort == peerPort && sameAddress(c.peer, peer))
            return &c;
    }
    return nullptr;
}

void PeerService::makeFast(Connection &c)
{
    c.probeNonce = 0;
    c.confirmNonce = 0;
    if (c.fast || !c.socket)
        return;
    c.fast = true;
    emit fastChanged(c.socket);
}

// Reads what socket holds (a bounded number per call) and hands each well-formed datagram of
// another instance to handle(datagram, from, fromPort, size).
template <typename Handle>
void PeerService::readDatagrams(QUdpSocket *socket, Handle handle)
{
    char buffer[maxDatagram];
    for (int i = 0; i < maxPerRead && socket->hasPendingDatagrams(); ++i) {
        const qint64 pending = socket->pendingDatagramSize();
        QHostAddress from;
        quint16 fromPort = 0;
        const qint64 n = socket->readDatagram(buffer, sizeof buffer, &from, &fromPort);
        if (n < 0 || pending > maxDatagram)
            continue;
        const auto d = peerwire::parse(buffer, n);
        if (d && d->sender != self)
            handle(*d, from, fromPort, n);
    }
}

void PeerService::readListening(QUdpSocket *socket)
{
    readDatagrams(socket, [this, socket](const peerwire::Datagram &d, const QHostAddress &from, quint16 fromPort,
                                         qint64 size) {
        if (d.kind == peerwire::Kind::DiscoverProbe || d.kind == peerwire::Kind::CapabilityProbe)
            onProbe(socket, d, from, fromPort, size);
        else if (d.kind == peerwire::Kind::CapabilityConfirm)
            onConfirm(d, from);
    });
}

void PeerService::onProbe(QUdpSocket *socket, const peerwire::Datagram &d, const QHostAddress &from,
                          quint16 fromPort, qsizetype received)
{
    peerwire::Datagram answer;
    answer.sender = self;
    if (d.kind == peerwire::Kind::DiscoverProbe) {
        if (!answerDiscovery || !serverListening)
            return;
        answer.kind = peerwire::Kind::DiscoverAnswer;
        answer.role = RoleServer;
        answer.programVersion = QStringLiteral("1.0");
        answer.hostName = QHostInfo::localHostName();
    } else {
        // Seen from here, the prober's local port is our peer port and the other way round.
        Connection *c = find(from, d.remotePort, d.localPort);
        if (!c)
            return;
        if (!c->confirmNonce)
            c->confirmNonce = nonce();
        answer.kind = peerwire::Kind::CapabilityAnswer;
        answer.nonce = d.nonce;
        answer.other = c->confirmNonce;
    }
    const QByteArray bytes = peerwire::encode(answer);
    if (bytes.size() <= received && takeToken())
        socket->writeDatagram(bytes, from, fromPort);
}

void PeerService::onConfirm(const peerwire::Datagram &d, const QHostAddress &from)
{
    if (d.other != self)
        return;
    for (Connection &c : connections) {
        if (c.confirmNonce && c.confirmNonce == d.nonce && sameAddress(c.peer, from)) {
            makeFast(c);
            return;
        }
    }
}

void PeerService::readProbing(QUdpSocket *socket)
{
    readDatagrams(socket, [this, socket](const peerwire::Datagram &d, const QHostAddress &from, quint16 fromPort,
                                         qint64) {
        if (d.kind == peerwire::Kind::CapabilityAnswer)
            onAnswer(socket, d, from, fromPort);
        else if (d.kind == peerwire::Kind::DiscoverAnswer && d.role == RoleServer)
            emit serverFound(from, d.hostName);
    });
}

void PeerService::onAnswer(QUdpSocket *socket, const peerwire::Datagram &d, const QHostAddress &from,
                           quint16 fromPort)
{
    for (Connection &c : connections) {
        if (!c.probeNonce || c.probeNonce != d.nonce || !sameAddress(c.peer, from))
            continue;
        if (c.since.elapsed() >= probeWindowMs) {
            c.probeNonce = 0;
            return;
        }
        makeFast(c);
        peerwire::Datagram confirm;
        confirm.kind = peerwire::Kind::CapabilityConfirm;
        confirm.sender = self;
        confirm.nonce = d.other;
        confirm.other = d.sender;
        socket->writeDatagram(peerwire::encode(confirm), from, fromPort);
        return;
    }
}
