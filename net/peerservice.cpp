#include "net/peerservice.h"

#include "transfer/extframing.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QUdpSocket>

#include "net/codes.h"

#include <algorithm>
#include <cstdio>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// Larger datagrams are none of ours; they are read and dropped.
constexpr qint64 maxDatagram = 512;
// Datagrams handled per wake-up; the rest wait for the next turn of the event loop.
constexpr int maxPerRead = 64;

bool sameAddress(const QHostAddress &a, const QHostAddress &b)
{
    return a.isEqual(b, QHostAddress::TolerantConversion);
}

// An IPv4 peer of a dual-stack server comes as ::ffff:a.b.c.d, which the IPv4 socket cannot
// send to (EAFNOSUPPORT): it is probed at its IPv4 address.
QHostAddress plainAddress(const QHostAddress &address)
{
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    return v4 && address.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress(ip4) : address;
}

bool isIPv6(const QHostAddress &address)
{
    bool v4 = false;
    address.toIPv4Address(&v4);
    return !v4 && address.protocol() == QAbstractSocket::IPv6Protocol;
}

// Binds the service's port so that no other user can bind it beside us and take its unicast
// datagrams. Linux lets any user share a port bound with SO_REUSEADDR, but one bound with
// SO_REUSEPORT alone only with processes of the same user; Windows shares nothing bound with
// SO_EXCLUSIVEADDRUSE.
bool bindService(QUdpSocket *socket, const QHostAddress &any, quint16 port)
{
#if defined(Q_OS_LINUX)
    const bool v6 = any.protocol() == QAbstractSocket::IPv6Protocol;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in a4{};
    a4.sin_family = AF_INET;
    a4.sin_port = htons(port);
    a4.sin_addr.s_addr = htonl(INADDR_ANY);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(port);
    a6.sin6_addr = in6addr_any;
    const int one = 1;
    const bool bound = ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) == 0
                       && (!v6 || ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) == 0)
                       && (v6 ? ::bind(fd, reinterpret_cast<const sockaddr *>(&a6), sizeof a6)
                              : ::bind(fd, reinterpret_cast<const sockaddr *>(&a4), sizeof a4)) == 0;
    if (!bound || !socket->setSocketDescriptor(fd, QAbstractSocket::BoundState)) {
        ::close(fd);
        return false;
    }
    return true;
#elif defined(Q_OS_WIN)
    return socket->bind(any, port, QAbstractSocket::DontShareAddress);
#else
    return socket->bind(any, port, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
#endif
}

} // namespace

std::atomic<quint32> PeerService::offeredFeatures{extwire::knownFeatures};

PeerService::PeerService(quint16 port, QObject *parent)
    : QObject(parent), servicePort(port), self(nonce()), probeTimer(new QTimer(this))
{
    probeTimer->setInterval(probeIntervalMs);
    connect(probeTimer, &QTimer::timeout, this, &PeerService::sendProbes);
    clock.start();
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
    for (const QHostAddress &any : {QHostAddress(QHostAddress::AnyIPv4), QHostAddress(QHostAddress::AnyIPv6)}) {
        auto *socket = new QUdpSocket(this);
        if (!bindService(socket, any, servicePort)) {
            delete socket;
            // Held by another user or program: it, not we, gets what is sent to the port.
            if (any == QHostAddress(QHostAddress::AnyIPv4))
                std::fprintf(stderr, "UDP port %u is in use: no discovery answers and no fast mode here\n",
                             unsigned(servicePort));
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
    c.peer = plainAddress(socket->peerAddress());
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

PeerService::Proof PeerService::proof(const QTcpSocket *socket) const
{
    const auto it = connections.constFind(socket);
    if (it == connections.constEnd())
        return {};
    Proof p = it->proof;
    // A probe answered and not confirmed yet: the peer's upgrade frame may overtake the
    // confirm, and holds the answer's nonce all the same.
    if (it->confirmNonce && !p.own.contains(it->confirmNonce)) {
        p.own.append(it->confirmNonce);
        p.peer.append(it->proberNonce);
        p.features |= it->proberFeatures & offeredFeatures.load();
    }
    return p;
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
        d.features = offeredFeatures.load();
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
    discoveredAt = clock.elapsed();
    answeredProbe.clear();
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

bool PeerService::Budget::take(qint64 now, int burst, int perSecond)
{
    tokens = tokens < 0 ? burst : qMin<double>(burst, tokens + double(now - at) * perSecond / 1000.0);
    at = now;
    if (tokens < 1)
        return false;
    tokens -= 1;
    return true;
}

bool PeerService::Budget::full(qint64 now, int burst, int perSecond) const
{
    return tokens < 0 || tokens + double(now - at) * perSecond / 1000.0 >= burst;
}

// A flood from one address leaves the others their answers; one from many addresses is held
// by the global budget. The source is charged first, so that a held-back source cannot drain
// the global budget.
bool PeerService::discoveryAllows(const QHostAddress &from)
{
    const qint64 now = clock.elapsed();
    auto it = sources.find(from);
    if (it == sources.end()) {
        if (sources.size() >= maxSources) {
            // A full bucket forgotten loses nothing.
            for (auto i = sources.begin(); i != sources.end();) {
                if (i->full(now, sourceBurst, sourcePerSecond))
                    i = sources.erase(i);
                else
                    ++i;
            }
            if (sources.size() >= maxSources)
                return false;
        }
        it = sources.insert(from, Budget());
    }
    return it->take(now, sourceBurst, sourcePerSecond) && discoveryBudget.take(now, answerBurst, answersPerSecond);
}

PeerService::Connection *PeerService::find(const QHostAddress &peer, quint16 localPort, quint16 peerPort)
{
    for (Connection &c : connections) {
        if (c.socket && c.localPort == localPort && c.peerPort == peerPort && sameAddress(c.peer, peer))
            return &c;
    }
    return nullptr;
}

void PeerService::makeFast(Connection &c, quint64 own, quint64 peer, quint32 features)
{
    // Each exchange ends on its own: the other may still complete and add its nonces.
    if (c.probeNonce == own)
        c.probeNonce = 0;
    else
        c.confirmNonce = 0;
    if (!c.socket || c.proof.own.contains(own))
        return;
    c.proof.own.append(own);
    c.proof.peer.append(peer);
    c.proof.features |= features & offeredFeatures.load();
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
        if (!answerDiscovery || !serverListening || !discoveryAllows(from))
            return;
        answer.kind = peerwire::Kind::DiscoverAnswer;
        answer.role = RoleServer;
        answer.programVersion = QStringLiteral("1.0");
        answer.hostName = QHostInfo::localHostName();
    } else {
        // Seen from here, the prober's local port is our peer port and the other way round.
        Connection *c = find(from, d.remotePort, d.localPort);
        if (!c || !c->answers.take(clock.elapsed(), capabilityBurst, capabilityPerSecond))
            return;
        if (!c->confirmNonce)
            c->confirmNonce = nonce();
        c->proberNonce = d.nonce;
        c->proberFeatures = d.features;
        answer.kind = peerwire::Kind::CapabilityAnswer;
        answer.nonce = d.nonce;
        answer.other = c->confirmNonce;
        // A prober that sends none is an older version, which takes only the short answer.
        answer.features = d.features ? offeredFeatures.load() : 0;
    }
    const QByteArray bytes = peerwire::encode(answer);
    if (bytes.size() <= received)
        socket->writeDatagram(bytes, from, fromPort);
}

void PeerService::onConfirm(const peerwire::Datagram &d, const QHostAddress &from)
{
    if (d.other != self)
        return;
    for (Connection &c : connections) {
        if (c.confirmNonce && c.confirmNonce == d.nonce && sameAddress(c.peer, from)) {
            makeFast(c, c.confirmNonce, c.proberNonce, c.proberFeatures);
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
        else if (d.kind == peerwire::Kind::DiscoverAnswer)
            onServerAnswer(d, from, fromPort);
    });
}

// Only answers to our own recent probe count, one per address, from the service's port: a
// stranger's flood costs this thread a parse per datagram and the window next to nothing.
void PeerService::onServerAnswer(const peerwire::Datagram &d, const QHostAddress &from, quint16 fromPort)
{
    if (d.role != RoleServer || fromPort != servicePort || discoveredAt < 0
        || clock.elapsed() - discoveredAt > discoveryWindowMs || answeredProbe.size() >= FoundServers::maxServers
        || answeredProbe.contains(from))
        return;
    answeredProbe.append(from);
    emit serverFound(from, peerwire::shownHostName(d.hostName));
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
        makeFast(c, c.probeNonce, d.other, d.features);
        peerwire::Datagram confirm;
        confirm.kind = peerwire::Kind::CapabilityConfirm;
        confirm.sender = self;
        confirm.nonce = d.other;
        confirm.other = d.sender;
        socket->writeDatagram(peerwire::encode(confirm), from, fromPort);
        return;
    }
}

bool FoundServers::take(const QString &address, const QString &hostName, qint64 now)
{
    const QString text = hostName.isEmpty() ? address : address + QLatin1Char(' ') + hostName;
    for (Entry &e : list) {
        if (e.address == address) {
            e.seen = now;
            const bool renamed = e.text != text;
            e.text = text;
            return renamed;
        }
    }
    // A full list takes no newcomer: the servers already offered stay while they answer.
    const bool forgot = list.size() >= maxServers && forget(now);
    if (list.size() >= maxServers)
        return forgot;
    list.append({address, text, now});
    return true;
}

bool FoundServers::forget(qint64 now)
{
    const auto silent = [now](const Entry &e) { return now - e.seen > forgetAfterMs; };
    const auto end = std::remove_if(list.begin(), list.end(), silent);
    if (end == list.end())
        return false;
    list.erase(end, list.end());
    return true;
}
