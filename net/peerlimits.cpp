#include "net/peerlimits.h"

#include <QTcpSocket>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <cerrno>
#include <climits>
#include <sys/resource.h>
#include <sys/socket.h>
#endif

namespace peerLimits {

void raiseDescriptorLimit()
{
#ifndef Q_OS_WIN
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    const rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) == 0)
        return;
#ifdef OPEN_MAX
    // Some systems refuse an unlimited hard limit as the soft one, but take their own maximum.
    if (soft < rlim_t(OPEN_MAX)) {
        limit.rlim_cur = rlim_t(OPEN_MAX);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
#else
    Q_UNUSED(soft)
#endif
#endif
}

int maxPeers(int most)
{
#ifndef Q_OS_WIN
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
        && limit.rlim_cur < 2 * rlim_t(most) + descriptorReserve)
        return qMax(1, (int(limit.rlim_cur) - descriptorReserve) / 2);
#endif
    return most;
}

QHostAddress addressKey(const QHostAddress &address)
{
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    if (v4)
        return QHostAddress(ip4);
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    Q_IPV6ADDR prefix = address.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        prefix[i] = 0;
    return QHostAddress(prefix);
}

// A client that reconnects quickly would otherwise be refused by its own old connections.
bool hungUp(const QTcpSocket *socket)
{
    const qintptr descriptor = socket->socketDescriptor();
    if (descriptor < 0 || socket->state() == QAbstractSocket::UnconnectedState)
        return true;
    char byte;
#ifdef Q_OS_WIN
    // Accepted sockets are non-blocking: no data gives WSAEWOULDBLOCK.
    const int n = ::recv(SOCKET(descriptor), &byte, 1, MSG_PEEK);
    return n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK && WSAGetLastError() != WSAEMSGSIZE);
#else
    const ssize_t n = ::recv(int(descriptor), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
#endif
}

} // namespace peerLimits

void PeerPlaces::add(const QTcpSocket *socket, const QHostAddress &key, qint64 now)
{
    if (places.contains(socket))
        return;
    places.insert(socket, Place{key, now, admitted++});
    ++perKey[key];
}

void PeerPlaces::remove(const QTcpSocket *socket)
{
    const auto it = places.constFind(socket);
    if (it == places.constEnd())
        return;
    const auto group = perKey.find(it->key);
    if (--*group == 0)
        perKey.erase(group);
    places.erase(it);
}

void PeerPlaces::touch(const QTcpSocket *socket, qint64 now)
{
    const auto it = places.find(socket);
    if (it != places.end())
        it->lastActive = now;
}

const QTcpSocket *PeerPlaces::idlest(const QHostAddress *group, qint64 silentSince,
                                     const std::function<bool(const QTcpSocket *)> &busy) const
{
    const QTcpSocket *found = nullptr;
    const Place *best = nullptr;
    for (auto it = places.constBegin(); it != places.constEnd(); ++it) {
        const Place &p = it.value();
        if (p.lastActive > silentSince || (group && p.key != *group))
            continue;
        if (best && (p.lastActive > best->lastActive || (p.lastActive == best->lastActive && p.order > best->order)))
            continue;
        if (busy(it.key()))
            continue;
        found = it.key();
        best = &p;
    }
    return found;
}
