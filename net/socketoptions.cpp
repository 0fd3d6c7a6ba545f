#include "net/socketoptions.h"

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <mstcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#endif
#endif

void socketOptions::keepAlive(qintptr descriptor, int idleSeconds, int intervalSeconds, int count)
{
#ifdef Q_OS_WIN
    // Windows counts its probes itself (ten); idle time and interval are ours.
    Q_UNUSED(count);
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = ULONG(idleSeconds) * 1000;
    values.keepaliveinterval = ULONG(intervalSeconds) * 1000;
    DWORD returned = 0;
    ::WSAIoctl(SOCKET(descriptor), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
               nullptr, nullptr);
#else
    const int fd = int(descriptor);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#if defined(TCP_KEEPIDLE)
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
#elif defined(TCP_KEEPALIVE)
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPALIVE, &idleSeconds, sizeof idleSeconds);
#endif
#ifdef TCP_KEEPINTVL
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
#endif
#ifdef TCP_KEEPCNT
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
#endif
}

qint64 socketOptions::unsentBytes(qintptr descriptor)
{
#if defined(Q_OS_LINUX)
    int queued = 0;
    if (::ioctl(int(descriptor), SIOCOUTQ, &queued) == 0)
        return queued;
#elif defined(Q_OS_MACOS)
    int queued = 0;
    socklen_t size = sizeof queued;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_NWRITE, &queued, &size) == 0)
        return queued;
#else
    Q_UNUSED(descriptor);
#endif
    return 0;
}
