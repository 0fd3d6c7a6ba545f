#include "net/peerlimits.h"

#include <QTcpSocket>
#include <QVector>

#include <algorithm>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <cerrno>
#include <climits>
#include <sys/resource.h>
#include <sys/socket.h>
#endif

namespace {

// A peer that has closed its end, or reset it, before the worker read that: it no longer holds
// a place (a client that reconnects quickly would otherwise be refused by its own old ones).
bool hungUp(const QTcpSocket *socket)
{
    const qintptr descriptor = socket->socketDescriptor();
    if (descriptor < 0)
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

} // namespace

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
        && limit.rlim_cur < rlim_t(most) + descriptorReserve)
        return qMax(1, int(limit.rlim_cur) - descriptorReserve);
#endif
    return most;
}

bool admits(const QSet<const QTcpSocket *> &open, const QHostAddress &address, int most)
{
    if (open.size() >= maxPeers(most))
        return false;
    QVector<const QTcpSocket *> same;
    for (const QTcpSocket *socket : open) {
        if (socket->peerAddress().isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
            same.append(socket);
    }
    // Looked into only at the cap, so that an ordinary accept costs no system call.
    return same.size() < perAddress
        || std::count_if(same.cbegin(), same.cend(), [](const QTcpSocket *s) { return !hungUp(s); }) < perAddress;
}

} // namespace peerLimits
