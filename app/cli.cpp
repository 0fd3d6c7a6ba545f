// The command line drives the worker through the same handle as the window: the same
// commands, the same send queue, the same reports. Only what the user sees differs.
#include "app/cli.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QMutexLocker>
#include <QSet>
#include <QTimer>
#include <QVector>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/outputqueue.h"
#include "app/quitsignals.h"
#include "net/localaddresses.h"
#include "net/peerroster.h"
#include "net/sendthread.h"
#include "net/workerhandle.h"
#include "transfer/receivefile.h"
#include "transfer/receivethread.h"

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace cli {

namespace {

const QString programName = QStringLiteral("lumo-transfer");

using Kind = OutputQueue::Kind;
// While receive runs, its lines go through these; otherwise straight to the streams. One
// queue for both when they go to one place: stderr is then its second stream.
OutputQueue *outQueue = nullptr;
OutputQueue *errQueue = nullptr;
bool quiet = false; // -q: failures only

void printTo(FILE *stream, const QString &line, Kind kind = OutputQueue::Kept)
{
    if (OutputQueue *queue = stream == stdout ? outQueue : errQueue)
        return queue->add(line.toLocal8Bit(), kind, stream == stderr && outQueue == errQueue);
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

void say(const QString &line, Kind kind = OutputQueue::Kept)
{
    if (!quiet)
        printTo(stdout, line + QLatin1Char('\n'), kind);
}
void complain(const QString &line, Kind kind = OutputQueue::Kept)
{
    printTo(stderr, programName + QStringLiteral(": ") + line + QLatin1Char('\n'), kind);
}
void note(const QString &line, Kind kind = OutputQueue::Kept)
{
    if (!quiet)
        printTo(stderr, line + QLatin1Char('\n'), kind);
}

bool stderrIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr));
#else
    return isatty(fileno(stderr));
#endif
}

// Columns of the terminal on stderr, 80 when it cannot tell.
int terminalColumns()
{
#ifdef Q_OS_WIN
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#else
    struct winsize size = {};
    if (::ioctl(fileno(stderr), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#endif
    return 80;
}

// Whether stdout and stderr reach one terminal, file or pipe, where their lines interleave.
bool outputsMeet()
{
#ifdef Q_OS_WIN
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    if (::GetConsoleMode(out, &mode) && ::GetConsoleMode(err, &mode))
        return true;
    BY_HANDLE_FILE_INFORMATION a, b;
    return ::GetFileInformationByHandle(out, &a) && ::GetFileInformationByHandle(err, &b)
        && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh
        && a.nFileIndexLow == b.nFileIndexLow;
#else
    struct stat out, err;
    return ::fstat(fileno(stdout), &out) == 0 && ::fstat(fileno(stderr), &err) == 0 && out.st_dev == err.st_dev
        && out.st_ino == err.st_ino;
#endif
}

QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Why path cannot be sent, or nothing. Looked at before it is opened, and opened without
// waiting, so that a named pipe or a device never holds the sender.
QString unsendable(const QString &path)
{
#ifdef Q_OS_WIN
    const wchar_t *native = reinterpret_cast<const wchar_t *>(path.utf16());
    struct _stat64 info;
    if (::_wstat64(native, &info) != 0)
        return systemReason(errno);
    if ((info.st_mode & _S_IFMT) == _S_IFDIR)
        return systemReason(EISDIR);
    if ((info.st_mode & _S_IFMT) != _S_IFREG)
        return QStringLiteral("not a regular file");
    const int fd = ::_wopen(native, _O_RDONLY | _O_BINARY);
    if (fd < 0)
        return systemReason(errno);
    ::_close(fd);
    return QString();
#else
    const QByteArray native = QFile::encodeName(path);
    struct stat info;
    if (::stat(native.constData(), &info) != 0)
        return systemReason(errno);
    if (S_ISDIR(info.st_mode))
        return systemReason(EISDIR);
    if (S_ISFIFO(info.st_mode))
        return QStringLiteral("a named pipe, not a regular file");
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))
        return QStringLiteral("a device, not a regular file");
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("not a regular file");
    // Replaced by a pipe since: O_NONBLOCK opens it without waiting, fstat tells.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return systemReason(errno);
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    return regular ? QString() : QStringLiteral("not a regular file");
#endif
}

QString secondsText(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 3);
}

QString rateText(qint64 bytes, qint64 ms)
{
    const double perSecond = double(bytes) / (double(qMax<qint64>(ms, 1)) / 1000.0);
    return QString::number(perSecond / (1024.0 * 1024.0), 'f', 2) + QStringLiteral(" MiB/s");
}

using Worker = WorkerHandle;

// send HOST FILE...: one connection, the files one after another, then an orderly close
// that lets the last bytes leave before the process does.
class Sender : public QObject {
public:
    // refused: some of the files given were refused before the send.
    Sender(const Worker &worker, const QString &host, const QStringList &files, bool refused)
        : worker(worker), host(host), files(files), terminal(stderrIsTerminal() && !quiet), failed(refused)
    {
        sendThread *w = worker.get();
        // Nothing the peer sends is stored: its files are consumed unwritten.
        w->recThread->discardFiles = true;
        // Texts are dropped as they come, as files are: held, they would pile up unseen.
        connect(w->recThread, &receiveThread::sendRecState, this, [](int state) {
            if (state == RecText)
                recvReports::takeText();
        });
        connect(w->recThread, &receiveThread::fileNotStored, this, [](int state, const QString &name) {
            if (state == RecRefused)
                complain(QStringLiteral("refused incoming file ") + printable(name));
        });
        connect(w, &sendThread::onSocketStateChange, this, &Sender::stateChanged);
        connect(w, &sendThread::sendTransState, this, &Sender::transState);
        connect(w, &sendThread::batchFileStarting, this, [this](const BatchStatus &status) {
            current = status.path;
            currentInFolder = status.name;
        });
        connect(w, &sendThread::batchEnded, this, &Sender::batchEnded);
        connect(w, &sendThread::onClientErrorOccurs, this, [this] {
            if (phase == Closing)
                closingError = true;
        });
    }

    int status() const { return failed ? Failed : Done; }

    void start() { worker.connectTo(host); }

    // A signal: a send in progress stops at its next piece and is reported as stopped.
    void interrupt()
    {
        worker.stopSending();
        if (phase != Sending)
            finish(QStringLiteral("stopped"));
    }

private:
    enum Phase { Connecting, Sending, Closing, Finished };

    // A folder's file by its path within the folder: its bare name may be shared by others.
    QString currentName() const { return currentInFolder.isEmpty() ? QFileInfo(current).fileName() : currentInFolder; }

    void stateChanged(QAbstractSocket::SocketState state)
    {
        if (phase == Connecting && state == QAbstractSocket::ConnectedState) {
            phase = Sending;
            // Another instance answers within the probe window; then the files go unpaced.
            const auto first = [this] {
                if (phase == Sending && !commanded) {
                    commanded = true;
                    QStringList paths;
                    for (const QString &file : files)
                        paths << QFileInfo(file).absoluteFilePath();
                    worker.sendFiles(worker->currentClientSocket(), paths);
                }
            };
            connect(worker.get(), &sendThread::onFastModeChanged, this, first);
            QTimer::singleShot(PeerService::probeWindowMs, this, first);
        } else if (state == QAbstractSocket::UnconnectedState) {
            const QString error = worker->socketFacts(worker->currentClientSocket()).errorString;
            if (phase == Connecting)
                finish(QStringLiteral("cannot connect to ") + printable(host) + QStringLiteral(" port ")
                       + QString::number(worker->port()) + QStringLiteral(": ") + error);
            else if (phase == Closing)
                finish(closingError ? QStringLiteral("connection lost: ") + error : QString());
            else
                lost = true; // a send in progress or about to start reports it itself
        }
    }

    void transState(int state)
    {
        if (phase != Sending)
            return;
        switch (state) {
        case TransStarted:
            fileTime.start();
            drawTime.invalidate();
            break;
        case TransProgress:
            drawProgress();
            break;
        case TransFinished:
            reportSent();
            break;
        case TransOpenFailed:
            fileFailed(QStringLiteral("cannot open the file"));
            break;
        case TransReadFailed:
            fileFailed(QStringLiteral("cannot read the file"));
            break;
        case TransFolderRefused:
            fileFailed(QStringLiteral("folders go only to another instance of this program"));
            break;
        case TransFolderUnsendable:
            fileFailed(QStringLiteral("the folder holds more than 100000 entries or a name that cannot be sent"));
            break;
        case TransRefused:
            fileFailed(QStringLiteral("the receiver refused it"));
            break;
        case TransNotStored:
            fileFailed(QStringLiteral("the receiver did not store it whole (digest mismatch or write failure)"));
            break;
        case TransDisconnected:
            fileFailed(QStringLiteral("connection lost"));
            break;
        case TransStopped:
            fileFailed(QStringLiteral("stopped"));
            break;
        default:
            break;
        }
    }

    void batchEnded(const BatchStatus &status)
    {
        if (phase != Sending)
            return;
        if (status.dropped > 0)
            complain(QStringLiteral("%1 more file(s) not sent").arg(status.dropped));
        if (status.sent != status.total)
            failed = true;
        if (lost && status.sent == status.total)
            return finish(QStringLiteral("connection lost before the last bytes left"));
        if (status.dropped > 0 || lost)
            return finish(QString());
        phase = Closing;
        worker.command(CmdDisconnect); // waits for the unwritten bytes, then closes
    }

    void drawProgress()
    {
        if (!terminal || (drawTime.isValid() && drawTime.elapsed() < 100))
            return;
        drawTime.start();
        // Asked each time: the terminal may have been resized.
        printTo(stderr, QStringLiteral("\r")
                            + progressLine(printable(currentName()), worker->fileBytesRead.load(),
                                           worker->fileSize.load(), fileTime.elapsed(), terminalColumns())
                            + QStringLiteral("\x1b[K"));
    }

    void clearBar()
    {
        if (terminal)
            printTo(stderr, QStringLiteral("\r\x1b[K"));
    }

    void reportSent()
    {
        clearBar();
        const FileReport report = worker->takeFileReport();
        const qint64 ms = report.elapsedNs / 1000000;
        // A resumed file: only what was missing went, and the rate is of that.
        const qint64 moved = report.fileBytes - report.resumedFrom;
        note(printable(currentName()) + QStringLiteral(": sent ") + QString::number(moved) + QStringLiteral(" bytes in ")
             + secondsText(ms) + QStringLiteral(" s (") + rateText(moved, ms) + QLatin1Char(')')
             + (report.resumedFrom > 0 ? QStringLiteral(", resumed: the receiver had the first ")
                        + QString::number(report.resumedFrom) + QStringLiteral(" bytes")
                                       : QString()));
    }

    void fileFailed(const QString &reason)
    {
        worker->takeFileReport();
        clearBar();
        failed = true;
        complain(printable(current) + QStringLiteral(": ") + reason);
    }

    void finish(const QString &reason)
    {
        if (phase == Finished)
            return;
        phase = Finished;
        if (!reason.isEmpty()) {
            failed = true;
            complain(reason);
        }
        QCoreApplication::quit();
    }

    const Worker &worker;
    const QString host;
    const QStringList files;
    const bool terminal;
    Phase phase = Connecting;
    QString current;          // the file being sent
    QString currentInFolder;  // its path within its folder, if it is a folder's
    bool commanded = false;   // the files went to the worker
    bool failed;
    bool lost = false;         // the connection dropped while sending
    bool closingError = false; // an error while the last bytes were leaving
    QElapsedTimer fileTime;
    QElapsedTimer drawTime;
};

// receive [DIR]: listens and reports every file and text until a signal ends it.
class Receiver : public QObject {
public:
    Receiver(const Worker &worker, const QString &dir) : worker(worker), dir(dir)
    {
        sendThread *w = worker.get();
        connect(w, &sendThread::sendActionSig, this, [this](int action) {
            if (action != ActionListening)
                return;
            note(QStringLiteral("listening on port ") + QString::number(this->worker->port())
                 + QStringLiteral(", receiving into ") + this->dir);
            const QStringList addresses = localIPv4Addresses();
            if (!addresses.isEmpty())
                note(QStringLiteral("senders can reach this machine at: ") + addresses.join(QStringLiteral(", ")));
        });
        connect(w, &sendThread::sendRecState, this, &Receiver::recState);
        connect(w->recThread, &receiveThread::fileNotStored, this, &Receiver::notStored);
        connect(w, &sendThread::onNewClientconnected, this, &Receiver::peerConnected);
        connect(w, &sendThread::onClientDisconnected, this, &Receiver::peerDisconnected);
    }

    ~Receiver() override
    {
        for (const QString &line : qAsConst(leaving))
            note(line, OutputQueue::Droppable);
    }

    int status() const { return failed ? Failed : Done; }

    void start()
    {
        receiveDirPath.set(dir);
        worker.command(CmdStartListen);
        // Runs in the worker after the command: whether the server took the port.
        sendThread *w = worker.get();
        Receiver *self = this; // outlives the worker's run (Worker::stop)
        QMetaObject::invokeMethod(w, [w, self] {
            if (w->server->isListening())
                return;
            QMetaObject::invokeMethod(self, [self] {
                self->failed = true;
                QCoreApplication::quit(); // the worker has said why on stderr
            }, Qt::QueuedConnection);
        }, Qt::QueuedConnection);
    }

private:
    void recState(int state)
    {
        switch (state) {
        case RecFinished: {
            const RecvSnapshot report = recvReports::take(RecFinished);
            const qint64 ms = report.elapsedNs / 1000000;
            // Built by concatenation: a % in a received name is no placeholder.
            // Relative to the receive directory: a folder's files show where they are in it.
            const QString shown = QDir(dir).relativeFilePath(report.fileName);
            say(printable(shown.startsWith(QLatin1String("..")) ? report.fileName : shown) + QLatin1Char('\t') + QString::number(report.recvFileBytes)
                + QStringLiteral(" bytes\t") + secondsText(ms) + QStringLiteral(" s\t")
                + rateText(qint64(report.recvFileBytes - report.resumedFrom), ms));
            sayLeaving();
            break;
        }
        case RecText: {
            // Taken even when quiet, so that the reports do not pile up.
            const TextReport text = recvReports::takeText();
            if (text.leftOutTexts > 0) {
                say(QStringLiteral("lumo-transfer: ") + QString::number(text.leftOutTexts)
                        + QStringLiteral(" texts not shown: they came faster than they were taken (")
                        + QString::number(text.leftOutBytes) + QStringLiteral(" bytes)"),
                    OutputQueue::Droppable);
                break;
            }
            say(QStringLiteral("[in] ") + printable(peerText::shown(text.bytes)), OutputQueue::Droppable);
            break;
        }
        default:
            break;
        }
    }

    // A stranger can cause these without end: they may be left out while stderr is blocked.
    void notStored(int state, const QString &name)
    {
        const QString shown = name.isEmpty() ? QStringLiteral("(no usable name)") : printable(name);
        QString reason;
        if (state == RecCreateFailed)
            reason = QStringLiteral("cannot create the file in ") + dir + QStringLiteral("; transfer refused");
        else if (state == RecWriteFailed)
            reason = QStringLiteral("cannot write the file; transfer failed");
        else if (state == RecTimeout)
            reason = QStringLiteral("the sender went silent; transfer ended incomplete");
        else if (state == RecSenderStopped)
            reason = QStringLiteral("the sender stopped the transfer; what arrived is kept as .part");
        else if (state == RecVerifyFailed)
            reason = QStringLiteral("the file's digest does not match; its bytes are kept as .part");
        else if (state == RecStreamFailed)
            reason = QStringLiteral("the sender's stream broke off or was malformed; transfer failed");
        if (state == RecStreamFailed && name.isEmpty())
            complain(reason, OutputQueue::Droppable);
        else if (!reason.isEmpty())
            complain(shown + QStringLiteral(": ") + reason, OutputQueue::Droppable);
        sayLeaving(); // after the failure it follows
    }

    void peerConnected(QTcpSocket *socket)
    {
        const SocketFacts facts = worker->socketFacts(socket);
        const QString peer = shownPeerAddress(facts.peerAddress) + QStringLiteral(" port ")
            + QString::number(facts.peerPort);
        accepted.add(socket, peer);
        note(QStringLiteral("connected: ") + peer, OutputQueue::Droppable);
    }

    // The worker tells of a close when it sees it; the engine may still be ending a file of
    // that peer. The file's line comes first: the notice waits for the files arriving at the
    // close to end, a second at most.
    void peerDisconnected()
    {
        const QVector<PeerRoster::Entry> gone = accepted.takeClosed(*worker.get());
        if (gone.isEmpty())
            return;
        if (leaving.isEmpty())
            leavingSince.start();
        for (const PeerRoster::Entry &peer : gone)
            leaving << QStringLiteral("disconnected: ") + peer.second;
        for (const IncomingTransfer &file : recvProgress::active())
            endingFiles.insert(file.connection);
        sayLeaving();
        if (!leaving.isEmpty())
            QTimer::singleShot(leaveWaitMs, this, [this] { sayLeaving(true); });
    }

    // force: waited long enough.
    void sayLeaving(bool force = false)
    {
        if (leaving.isEmpty())
            return;
        QSet<quint64> stillOpen;
        for (const IncomingTransfer &file : recvProgress::active())
            stillOpen.insert(file.connection);
        endingFiles.intersect(stillOpen);
        if (!force && !endingFiles.isEmpty() && leavingSince.elapsed() < leaveWaitMs)
            return;
        endingFiles.clear();
        for (const QString &line : qAsConst(leaving))
            note(line, OutputQueue::Droppable);
        leaving.clear();
    }

    static constexpr int leaveWaitMs = 1000;
    const Worker &worker;
    const QString dir;
    PeerRoster accepted;
    QStringList leaving;      // disconnect notices held for a file's line
    QSet<quint64> endingFiles; // connections whose files were arriving when they were held
    QElapsedTimer leavingSince;
    bool failed = false;
};

// Files arriving when receive ends: the engine keeps what came of each as NAME.part.
struct CutFile {
    QString name;
    quint64 received;
    quint64 declared;
};

QVector<CutFile> arrivingNow()
{
    QVector<CutFile> cut;
    for (const IncomingTransfer &file : recvProgress::active())
        cut.append(CutFile{file.name, file.received, file.declaredSize});
    return cut;
}

void reportCut(const QString &dir, const QVector<CutFile> &cut)
{
    for (const CutFile &file : cut) {
        const QString part = file.name + ReceiveFile::partSuffix;
        const QFileInfo onDisk(QDir(dir), part);
        // A part whose name was shortened is not found by it: the engine's count stands.
        const quint64 kept = onDisk.isFile() ? quint64(onDisk.size()) : file.received;
        complain(printable(file.name) + QStringLiteral(": cut off by the end of receive; kept as ")
                 + printable(part) + QStringLiteral(", ") + QString::number(kept) + QStringLiteral(" bytes")
                 + (file.declared > 0 ? QStringLiteral(" of ") + QString::number(file.declared) : QString()));
    }
}

// A port given as HOST:PORT or [IPv6]:PORT; 0: none given, -1: not a port.
int portIn(QString &host)
{
    QString port;
    if (host.startsWith(QLatin1Char('['))) {
        const int close = host.indexOf(QLatin1Char(']'));
        if (close < 0)
            return -1;
        const QString rest = host.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            return -1;
        port = rest.mid(1);
        host = host.mid(1, close - 1);
        if (rest.isEmpty())
            return 0;
    } else if (host.count(QLatin1Char(':')) == 1) {
        const int colon = host.indexOf(QLatin1Char(':'));
        port = host.mid(colon + 1);
        host.truncate(colon);
    } else {
        return 0; // a bare IPv6 address has more than one colon
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    return ok && !host.isEmpty() && number >= 1 && number <= 65535 ? int(number) : -1;
}

// Options of the window's toolkit, shown by --help-all; those with a value take the next argument.
struct ToolkitOption {
    const char *name;
    const char *value;
    const char *text;
};
const ToolkitOption toolkitOptions[] = {
    {"platform", "NAME[:OPTIONS]", "Windowing system plugin (xcb, wayland, offscreen, windows...)."},
    {"platformpluginpath", "PATH", "Where to look for the windowing system plugins."},
    {"platformtheme", "NAME", "Platform theme."},
    {"plugin", "PLUGIN", "Loads an extra input plugin."},
    {"display", "DISPLAY", "X11 display to use instead of $DISPLAY."},
    {"geometry", "GEOMETRY", "The window's size and place (X11)."},
    {"qwindowgeometry", "GEOMETRY", "The window's size and place."},
    {"qwindowicon", "ICON", "The window's icon."},
    {"qwindowtitle", "TITLE", "The window's title."},
    {"style", "STYLE", "Widget style (Fusion, Windows...)."},
    {"stylesheet", "FILE", "Widget style sheet."},
    {"session", "SESSION", "Restores the session of that name."},
    {"reverse", nullptr, "Lays the window out right to left."},
    {"widgetcount", nullptr, "Prints how many widgets were left at the end."},
};

QString toolkitHelp()
{
    QString text = QStringLiteral("\nOptions of the window (read by Qt, given before any file):\n");
    for (const ToolkitOption &option : toolkitOptions) {
        const QString head = QStringLiteral("  -") + QLatin1String(option.name)
            + (option.value ? QLatin1Char(' ') + QLatin1String(option.value) : QString());
        text += head.leftJustified(32) + QLatin1Char(' ') + QLatin1String(option.text) + QLatin1Char('\n');
    }
    return text;
}

} // namespace

int usageError(const QString &message)
{
    complain(message);
    note(QStringLiteral("Try '%1 --help'.").arg(programName));
    return UsageError;
}

QString unknownCommand(const QStringList &arguments)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (arg.startsWith(QLatin1Char('-'))) {
            for (const ToolkitOption &option : toolkitOptions) {
                if (option.value && arg.midRef(1) == QLatin1String(option.name))
                    ++i; // its value
            }
            continue;
        }
        // A file opened with the program, even one gone since, is the window's to ignore.
        if (arg.contains(QLatin1Char('/')) || arg.contains(QLatin1Char('\\')) || QFileInfo::exists(arg))
            continue;
        return arg;
    }
    return QString();
}

namespace {

int runSend(quint16 port, const QString &host, const QStringList &files)
{
    QStringList sendable;
    for (const QString &file : files) {
        // A folder goes when the peer turns out to be an instance; the sender decides.
        const QString reason = QFileInfo(file).isDir() ? QString() : unsendable(file);
        if (reason.isEmpty())
            sendable << file;
        else
            complain(printable(file) + QStringLiteral(": ") + reason);
    }
    if (sendable.isEmpty())
        return Failed;
    Worker worker(port);
    Sender sender(worker, host, sendable, sendable.size() != files.size());
    QuitSignals quitSignals([&sender] { sender.interrupt(); });
    sender.start();
    QCoreApplication::exec();
    worker.stop();
    return quitSignals.interrupted() ? Interrupted : sender.status();
}

int runReceive(quint16 port, const QString &dirArgument)
{
    // Against the current directory: the engine would take a relative one elsewhere.
    const QFileInfo dir(QDir::current(), dirArgument);
    if (!dir.isDir()) {
        complain(dirArgument + QStringLiteral(": not a directory"));
        return Failed;
    }
    // Made first, gone last: whatever the readers do, the event loop never waits on them.
    // One writer for both when they meet, so the notices and the file lines stay in order.
    std::unique_ptr<OutputQueue> out, err;
    if (outputsMeet()) {
        out.reset(new OutputQueue(stdout, stderr));
    } else {
        out.reset(new OutputQueue(stdout));
        err.reset(new OutputQueue(stderr));
    }
    outQueue = out.get();
    errQueue = err ? err.get() : out.get();
    const QString path = QDir::cleanPath(dir.absoluteFilePath());
    QVector<CutFile> cut;
    int status;
    {
        Worker worker(port);
        Receiver receiver(worker, path);
        QuitSignals quitSignals;
        receiver.start();
        QCoreApplication::exec();
        // Listed until the engine stops, which keeps them as parts.
        cut = arrivingNow();
        worker.stop();
        status = receiver.status();
    }
    // The engine has ended with the worker: the parts on disk hold every byte kept.
    reportCut(path, cut);
    if (!cut.isEmpty())
        status = Failed;
    outQueue = errQueue = nullptr;
    err.reset();
    out.reset();
    return status;
}

} // namespace

bool wanted(const QStringList &arguments)
{
    for (const QString &arg : arguments.mid(1)) {
        if (arg == QLatin1String("send") || arg == QLatin1String("receive") || arg.startsWith(QLatin1String("--"))
            || arg == QLatin1String("-h") || arg == QLatin1String("-?") || arg == QLatin1String("-v")
            || arg == QLatin1String("-q"))
            return true;
    }
    return false;
}

QString printable(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            out += QStringLiteral("\\t");
        else if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

namespace {

// Terminal columns of one character: East Asian wide ones take two, marks none.
int columnsOf(uint u)
{
    const QChar::Category category = QChar::category(u);
    if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing || category == QChar::Other_Format)
        return 0;
    const bool wide = (u >= 0x1100 && u <= 0x115f) || (u >= 0x2e80 && u <= 0xa4cf && u != 0x303f)
        || (u >= 0xac00 && u <= 0xd7a3) || (u >= 0xf900 && u <= 0xfaff) || (u >= 0xfe30 && u <= 0xfe4f)
        || (u >= 0xff00 && u <= 0xff60) || (u >= 0xffe0 && u <= 0xffe6) || (u >= 0x1f300 && u <= 0x1f64f)
        || (u >= 0x1f900 && u <= 0x1f9ff) || (u >= 0x20000 && u <= 0x3fffd);
    return wide ? 2 : 1;
}

int columnsOf(const QString &text)
{
    int columns = 0;
    for (const uint u : text.toUcs4())
        columns += columnsOf(u);
    return columns;
}

// text in at most columns columns, cut with "..." when it does not fit.
QString fitted(const QString &text, int columns)
{
    if (columnsOf(text) <= columns)
        return text;
    const int room = columns > 3 ? columns - 3 : columns;
    QVector<uint> kept;
    int used = 0;
    for (const uint u : text.toUcs4()) {
        if (used + columnsOf(u) > room)
            break;
        used += columnsOf(u);
        kept << u;
    }
    const QString cut = QString::fromUcs4(kept.constData(), kept.size());
    return columns > 3 ? cut + QStringLiteral("...") : cut;
}

QString sizeText(qint64 bytes)
{
    if (bytes < 1024)
        return QString::number(bytes) + QStringLiteral(" B");
    const char *const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    return QString::number(value, 'f', 1) + QLatin1Char(' ') + QLatin1String(units[unit]);
}

QString timeLeftText(qint64 seconds)
{
    const auto two = [](qint64 n) { return QString::number(n).rightJustified(2, QLatin1Char('0')); };
    const QString clock = seconds >= 3600 ? QString::number(seconds / 3600) + QLatin1Char(':') + two(seconds / 60 % 60)
                                          : QString::number(seconds / 60);
    return clock + QLatin1Char(':') + two(seconds % 60) + QStringLiteral(" left");
}

} // namespace

QString progressLine(const QString &name, qint64 done, qint64 total, qint64 ms, int columns)
{
    const int room = qMax(columns, 2) - 1;
    const int percent = total > 0 ? int(qBound<qint64>(0, done * 100 / total, 100)) : 100;
    const QString counts = QString::number(percent).rightJustified(3) + QStringLiteral("%  ")
        + sizeText(done).rightJustified(10) + QStringLiteral(" / ") + sizeText(total) + QStringLiteral("  ")
        + rateText(done, ms).rightJustified(13);
    const QString left = done > 0 && ms > 0 && total > done
        ? QStringLiteral("  ") + timeLeftText(qint64(double(total - done) * double(ms) / double(done) / 1000.0)) : QString();
    constexpr int shortBar = 10, longBar = 20, shortName = 16, longName = 40;

    int free = room - columnsOf(counts);
    const int nameWants = qMin(columnsOf(name), longName);
    int nameColumns = 0;
    if (free - 2 >= qMin(nameWants, 8)) {
        nameColumns = qMin(nameWants, qMin(shortName, free - 2));
        free -= nameColumns + 2;
    }
    const bool withLeft = !left.isEmpty() && columnsOf(left) <= free;
    if (withLeft)
        free -= columnsOf(left);
    // "[", the bar, "]  "
    const int barColumns = qMin(longBar, free - 4);
    const bool withBar = barColumns >= shortBar;
    if (withBar)
        free -= barColumns + 4;
    if (nameColumns > 0)
        nameColumns += qMin(free, nameWants - nameColumns);

    QString line;
    if (nameColumns > 0)
        line += fitted(name, nameColumns) + QStringLiteral("  ");
    if (withBar) {
        const int filled = percent * barColumns / 100;
        line += QLatin1Char('[') + QString(filled, QLatin1Char('#')) + QString(barColumns - filled, QLatin1Char(' '))
            + QStringLiteral("]  ");
    }
    return fitted(line + counts + (withLeft ? left : QString()), room);
}

int run()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Moves files between two machines over one TCP connection.\n\n"
        "Without a command the window opens. Commands:\n"
        "  send HOST FILE...  connect to HOST (name, IPv4 or IPv6; HOST:PORT and\n"
        "                     [IPv6]:PORT name the port too) and send the files;\n"
        "                     exit status 0 when every file was sent whole, 1 otherwise\n"
        "  receive [DIR]      listen and receive into DIR (default: the current directory)\n"
        "                     until interrupted; needs no display; exit status 1 when\n"
        "                     files were still arriving (their parts are named)\n"
        "Options may follow the command. Exit status 130: send was interrupted (Ctrl-C).\n"
        "Exit status 2: a usage error."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Use TCP port N instead of %1.").arg(defaultPort),
                                        QStringLiteral("N"), QString::number(defaultPort));
    parser.addOption(portOption);
    const QCommandLineOption quietOption(QStringList{QStringLiteral("q"), QStringLiteral("quiet")},
                                         QStringLiteral("Print failures only."));
    parser.addOption(quietOption);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("send or receive"),
                                 QStringLiteral("send HOST FILE... | receive [DIR]"));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    // Printed here: on Windows the parser shows them in a message box when it finds no
    // console, which a script (or Wine's handles) would wait on for good.
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        printTo(stdout, parser.helpText() + (parser.isSet(help) ? QString() : toolkitHelp()));
        return Done;
    }
    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    // A script's "send -v" means anything but "print the version and send nothing".
    if (!command.isEmpty() && parser.optionNames().contains(QStringLiteral("v")))
        return usageError(QStringLiteral("-v is not an option of the commands (the version is --version)"));
    if (parser.isSet(version)) {
        say(QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion());
        return Done;
    }

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port == 0 || port > 65535)
        return usageError(QStringLiteral("--port needs a number from 1 to 65535"));
    quiet = parser.isSet(quietOption);

    if (command == QLatin1String("send")) {
        if (args.size() < 3)
            return usageError(QStringLiteral("send needs a host and at least one file"));
        // Sent as it is read, a stream has no size for the header to declare.
        if (args.mid(2).contains(QStringLiteral("-")))
            return usageError(QStringLiteral("'-' (standard input) cannot be sent; name a file (a file named - as ./-)"));
        QString host = args.at(1);
        const int hostPort = portIn(host);
        if (hostPort < 0)
            return usageError(QStringLiteral("%1: not HOST, HOST:PORT or [IPv6]:PORT with a port from 1 to 65535")
                                  .arg(printable(args.at(1))));
        // Either says where to go; both, and different, leave it unclear which was meant.
        if (hostPort > 0 && parser.isSet(portOption) && uint(hostPort) != port)
            return usageError(QStringLiteral("port %1 in %2 differs from --port %3")
                                  .arg(hostPort).arg(printable(args.at(1))).arg(port));
        return runSend(quint16(hostPort > 0 ? uint(hostPort) : port), host, args.mid(2));
    }
    if (command == QLatin1String("receive")) {
        if (args.size() > 2)
            return usageError(QStringLiteral("receive takes one directory"));
        return runReceive(quint16(port), args.value(1, QStringLiteral(".")));
    }
    return usageError(command.isEmpty() ? QStringLiteral("no command given")
                                        : QStringLiteral("unknown command '%1'").arg(printable(command)));
}

} // namespace cli
