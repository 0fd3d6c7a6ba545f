#include "app/quitsignals.h"

#include <QCoreApplication>

#include <atomic>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
#include <QAbstractNativeEventFilter>

#include <windows.h>
#endif

#ifdef Q_OS_UNIX
namespace {
// A handler may only do async-signal-safe things: it writes one byte, and the event loop
// reads it. [0] is written by the handler, [1] read by the notifier.
int wakeFds[2] = {-1, -1};
const int handledSignals[] = {SIGTERM, SIGINT, SIGHUP};
struct sigaction previousActions[3];
bool interruptSeen = false; // main thread: the first signal read was SIGINT

extern "C" void onQuitSignal(int signal)
{
    const int savedErrno = errno;
    const char byte = char(signal); // tells the event loop which one
    // Non-blocking: a full socket already holds a wake-up.
    [[maybe_unused]] const ssize_t n = ::write(wakeFds[0], &byte, 1);
    errno = savedErrno;
}

void setFlags(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}
} // namespace

QuitSignals::QuitSignals(std::function<void()> onSignal, QObject *parent)
    : QObject(parent), onSignal(std::move(onSignal))
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, wakeFds) != 0)
        return; // signals then end the process as before
    setFlags(wakeFds[0]);
    setFlags(wakeFds[1]);
    notifier = new QSocketNotifier(wakeFds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        bool first = !triggered;
        while (::read(wakeFds[1], bytes, sizeof bytes) > 0) {
            if (first)
                interruptSeen = bytes[0] == char(SIGINT);
            first = false;
        }
        trigger();
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        ::sigaction(handledSignals[i], &action, &previousActions[i]);
}

QuitSignals::~QuitSignals()
{
    if (!notifier)
        return;
    for (int i = 0; i < 3; ++i)
        ::sigaction(handledSignals[i], &previousActions[i], nullptr);
    delete notifier;
    ::close(wakeFds[0]);
    ::close(wakeFds[1]);
    wakeFds[0] = wakeFds[1] = -1;
}
#endif

#ifdef Q_OS_WIN
namespace {
std::atomic<QuitSignals *> current{nullptr}; // written in the main thread
std::atomic<bool> quitting{false};
std::atomic<bool> interruptSeen{false}; // written by the first console event

BOOL WINAPI onConsoleEvent(DWORD type)
{
    const bool interrupt = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT;
    const bool ending = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
    if (!interrupt && !ending)
        return FALSE;
    if (interrupt && quitting.load())
        return FALSE; // a second Ctrl-C: the default handler ends the process
    if (!quitting.exchange(true))
        interruptSeen = interrupt;
    // Runs in a thread of the system's: hand over to the main thread, where the object lives.
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] {
        if (QuitSignals *q = current.load())
            QMetaObject::invokeMethod(q, "trigger", Qt::DirectConnection);
    }, Qt::QueuedConnection);
    // For these the system ends the process as soon as we return; main's own return ends it
    // (and this thread) sooner, once the settings are saved.
    if (ending)
        ::Sleep(10000);
    return TRUE;
}

// A program without a window is asked to end by WM_CLOSE posted to its main thread
// (QProcess::terminate does that); without this filter the message is dropped.
class CloseMessage : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray &, void *message, long *) override
    {
        const MSG *msg = static_cast<const MSG *>(message);
        if (msg->hwnd != nullptr || msg->message != WM_CLOSE)
            return false;
        if (QuitSignals *q = current.load())
            QMetaObject::invokeMethod(q, "trigger", Qt::QueuedConnection);
        return true;
    }
};
CloseMessage closeMessage;
} // namespace

QuitSignals::QuitSignals(std::function<void()> onSignal, QObject *parent)
    : QObject(parent), onSignal(std::move(onSignal))
{
    current = this;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    QCoreApplication::instance()->installNativeEventFilter(&closeMessage);
}

QuitSignals::~QuitSignals()
{
    QCoreApplication::instance()->removeNativeEventFilter(&closeMessage);
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    current = nullptr;
}
#endif

bool QuitSignals::interrupted() const
{
    return triggered && interruptSeen;
}

void QuitSignals::trigger()
{
    if (triggered)
        return;
    triggered = true;
#ifdef Q_OS_UNIX
    // Should the clean end hang, a second Ctrl-C still ends the process.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(SIGINT, &fallback, nullptr);
#endif
    if (onSignal)
        onSignal();
    else
        QCoreApplication::quit();
}
