#include "net/acceptloop.h"

#include <QSocketNotifier>
#include <QTimer>

#ifdef Q_OS_WIN
#include <winsock2.h>
#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

enum class AcceptResult { Accepted, NoneWaiting, Failed };

// One connection from the listening socket; on failure, the system's text for it.
AcceptResult acceptOne(qintptr listener, qintptr *accepted, QString *error)
{
#ifdef Q_OS_WIN
    const SOCKET s = ::accept(SOCKET(listener), nullptr, nullptr);
    if (s != INVALID_SOCKET) {
        *accepted = qintptr(s);
        return AcceptResult::Accepted;
    }
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK || code == WSAECONNRESET || code == WSAEINTR)
        return AcceptResult::NoneWaiting;
#else
    const int fd = ::accept(int(listener), nullptr, nullptr);
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        *accepted = fd;
        return AcceptResult::Accepted;
    }
    const int code = errno;
    // A peer that gave up before we took it, or a signal: nothing wrong with accepting.
    if (code == EAGAIN || code == EWOULDBLOCK || code == EINTR || code == ECONNABORTED || code == EPROTO)
        return AcceptResult::NoneWaiting;
#endif
    *error = qt_error_string(code);
    return AcceptResult::Failed;
}

} // namespace

AcceptLoop::AcceptLoop(qintptr listenerDescriptor, QObject *parent)
    : QObject(parent), listener(listenerDescriptor)
{
    notifier = new QSocketNotifier(listener, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &AcceptLoop::acceptWaiting);
    retry = new QTimer(this);
    retry->setSingleShot(true);
    connect(retry, &QTimer::timeout, this, &AcceptLoop::resume);
}

AcceptLoop::~AcceptLoop()
{
    delete notifier; // before the descriptor it watches is closed
}

void AcceptLoop::closeDescriptor(qintptr descriptor)
{
#ifdef Q_OS_WIN
    ::closesocket(SOCKET(descriptor));
#else
    ::close(int(descriptor));
#endif
}

void AcceptLoop::acceptWaiting()
{
    for (int i = 0; i < perNotice; ++i) {
        qintptr descriptor = -1;
        QString error;
        const AcceptResult result = acceptOne(listener, &descriptor, &error);
        if (result == AcceptResult::NoneWaiting)
            break;
        if (result == AcceptResult::Failed) {
            notifier->setEnabled(false);
            retry->start(pause);
            pause = qMin(pause * 2, longestPauseMs);
            emit failed(error);
            break;
        }
        pause = pauseMs;
        emit accepted(descriptor);
    }
    emit batchDone();
}

void AcceptLoop::resume()
{
    notifier->setEnabled(true); // level-triggered: fires at once if peers wait
}
