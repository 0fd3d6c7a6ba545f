#include "net/peerlimits.h"

#include <QTcpSocket>

#ifndef Q_OS_WIN
#include <climits>
#include <sys/resource.h>
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
        && limit.rlim_cur < rlim_t(most) + descriptorReserve)
        return qMax(1, int(limit.rlim_cur) - descriptorReserve);
#endif
    return most;
}

bool admits(const QSet<const QTcpSocket *> &open, const QHostAddress &address, int most)
{
    if (open.size() >= maxPeers(most))
        return false;
    int fromAddress = 0;
    for (const QTcpSocket *socket : open) {
        if (socket->peerAddress().isEqual(address, QHostAddress::ConvertV4MappedToIPv4)
            && ++fromAddress >= perAddress)
            return false;
    }
    return true;
}

} // namespace peerLimits
