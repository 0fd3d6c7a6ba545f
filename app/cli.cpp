// The command line drives the worker exactly as the window does: the same fields, the same
// queued commands, the same reports. Only what the user sees differs.
#include "app/cli.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QMutexLocker>
#include <QTimer>
#include <QVector>

#include <cstdio>

#include "app/mainwindow.h"
#include "app/quitsignals.h"
#include "net/sendthread.h"
#include "transfer/receivethread.h"

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace cli {

namespace {

const QString programName = QStringLiteral("lumo-transfer");

void printTo(FILE *stream, const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

void say(const QString &line) { printTo(stdout, line + QLatin1Char('\n')); }
void complain(const QString &line) { printTo(stderr, programName + QStringLiteral(": ") + line + QLatin1Char('\n')); }
void note(const QString &line) { printTo(stderr, line + QLatin1Char('\n')); }

bool stderrIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr));
#else
    return isatty(fileno(stderr));
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

// The worker in its own thread, as the window runs it, and ended as the window ends it.
class Worker {
    Q_DISABLE_COPY(Worker)

public:
    explicit Worker(quint16 port) : thread(new sendThread(port)) { thread->moveToThread(thread); }
    ~Worker()
    {
        stop();
        delete thread;
    }
    // Before the objects that hear the worker's signals go.
    void stop()
    {
        thread->quit();
        thread->wait();
    }
    sendThread *operator->() const { return thread; }
    sendThread *get() const { return thread; }
    void command(int cmd) const
    {
        QMetaObject::invokeMethod(thread, "handleCmd", Qt::QueuedConnection, Q_ARG(int, cmd));
    }

private:
    sendThread *thread;
};

// send HOST FILE...: one connection, the files one after another, then an orderly close
// that lets the last bytes leave before the process does.
class Sender : public QObject {
public:
    Sender(const Worker &worker, const QString &host, const QStringList &files)
        : worker(worker), host(host), files(files), terminal(stderrIsTerminal())
    {
        sendThread *w = worker.get();
        connect(w, &sendThread::onSocketStateChange, this, &Sender::stateChanged);
        connect(w, &sendThread::sendTransState, this, &Sender::transState);
        connect(w, &sendThread::onClientErrorOccurs, this, [this] {
            if (phase == Closing)
                closingError = true;
        });
    }

    int status() const { return failed ? Failed : Done; }

    void start()
    {
        {
            QMutexLocker lock(&worker->commandMutex);
            worker->hostName = host;
        }
        worker.command(CmdConnect);
    }

    // A signal: a send in progress stops at its next piece and is reported as stopped.
    void interrupt()
    {
        interrupted = true;
        worker->stopSend = true;
        if (phase != Sending)
            finish(QStringLiteral("stopped"));
    }

private:
    enum Phase { Connecting, Sending, Closing, Finished };

    QString currentName() const { return QFileInfo(files.value(index)).fileName(); }

    void stateChanged(QAbstractSocket::SocketState state)
    {
        if (phase == Connecting && state == QAbstractSocket::ConnectedState) {
            phase = Sending;
            // Another instance answers within the probe window; then the files go unpaced.
            const auto first = [this] {
                if (phase == Sending && index < 0)
                    sendNext();
            };
            connect(worker.get(), &sendThread::onFastModeChanged, this, first);
            QTimer::singleShot(PeerService::probeWindowMs, this, first);
        } else if (state == QAbstractSocket::UnconnectedState) {
            const QString error = worker->socketFacts(worker->currentClientSocket()).errorString;
            if (phase == Connecting)
                finish(QStringLiteral("cannot connect to %1 port %2: %3").arg(host).arg(worker->port()).arg(error));
            else if (phase == Closing)
                finish(closingError ? QStringLiteral("connection lost: ") + error : QString());
            else
                lost = true; // a send in progress or about to start reports it itself
        }
    }

    void sendNext()
    {
        if (interrupted)
            return finish(QStringLiteral("stopped"));
        ++index;
        if (index >= files.size()) {
            if (lost)
                return finish(QStringLiteral("connection lost before the last bytes left"));
            phase = Closing;
            worker.command(CmdDisconnect); // waits for the unwritten bytes, then closes
            return;
        }
        worker->sendRole.store(RoleClient);
        {
            QMutexLocker lock(&worker->commandMutex);
            worker->targetSocket = worker->currentClientSocket();
            worker->sendFilePath = QFileInfo(files.at(index)).absoluteFilePath();
        }
        worker.command(CmdSendFile);
    }

    void transState(int state)
    {
        if (phase != Sending)
            return;
        if (interrupted)
            worker->stopSend = true; // a send that started after the signal cleared the flag
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
            sendNext();
            break;
        case TransOpenFailed:
            fileFailed(QStringLiteral("cannot open the file"));
            sendNext(); // nothing was written: the connection is still fit for the next one
            break;
        case TransReadFailed:
            // The peer still waits for the rest of this file: what follows would land in it.
            fileFailed(QStringLiteral("cannot read the file"));
            phase = Closing;
            worker.command(CmdDisconnect);
            break;
        case TransDisconnected:
            fileFailed(QStringLiteral("connection lost"));
            finish(QString());
            break;
        case TransStopped:
            fileFailed(QStringLiteral("stopped"));
            finish(QString());
            break;
        default:
            break;
        }
    }

    void drawProgress()
    {
        if (!terminal || (drawTime.isValid() && drawTime.elapsed() < 100))
            return;
        drawTime.start();
        const qint64 size = worker->fileSize.load();
        const qint64 done = worker->fileBytesRead.load();
        const qint64 ms = fileTime.elapsed();
        const int percent = size > 0 ? int(done * 100 / size) : 100;
        QString left;
        if (done > 0 && ms > 0) {
            const qint64 secondsLeft = (size - done) * ms / done / 1000;
            left = QStringLiteral("  %1:%2 left").arg(secondsLeft / 60).arg(secondsLeft % 60, 2, 10, QLatin1Char('0'));
        }
        constexpr int barWidth = 20;
        const int filled = qBound(0, percent * barWidth / 100, barWidth);
        const QString bar = QString(filled, QLatin1Char('#')) + QString(barWidth - filled, QLatin1Char(' '));
        printTo(stderr, QStringLiteral("\r%1 [%2] %3% %4%5\x1b[K")
                            .arg(printable(currentName()).left(30), -30)
                            .arg(bar)
                            .arg(percent, 3)
                            .arg(rateText(done, ms), 14)
                            .arg(left));
    }

    void clearBar()
    {
        if (terminal)
            printTo(stderr, QStringLiteral("\r\x1b[K"));
    }

    void reportSent()
    {
        clearBar();
        const qint64 bytes = worker->fileBytesRead.load();
        const qint64 ms = fileTime.elapsed();
        note(QStringLiteral("%1: sent %2 bytes in %3 s (%4)")
                 .arg(printable(currentName()))
                 .arg(bytes)
                 .arg(secondsText(ms), rateText(bytes, ms)));
    }

    void fileFailed(const QString &reason)
    {
        clearBar();
        failed = true;
        complain(printable(files.value(index)) + QStringLiteral(": ") + reason);
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
        const int unsent = files.size() - qMax(index + 1, 0);
        if (unsent > 0 && index >= 0)
            complain(QStringLiteral("%1 more file(s) not sent").arg(unsent));
        QCoreApplication::quit();
    }

    const Worker &worker;
    const QString host;
    const QStringList files;
    const bool terminal;
    Phase phase = Connecting;
    int index = -1;
    bool failed = false;
    bool interrupted = false;
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
            if (action == ActionListening)
                note(QStringLiteral("listening on port %1, receiving into %2").arg(this->worker->port()).arg(this->dir));
        });
        connect(w, &sendThread::sendRecState, this, &Receiver::recState);
        connect(w, &sendThread::onNewClientconnected, this, &Receiver::peerConnected);
        connect(w, &sendThread::onClientDisconnected, this, &Receiver::peerDisconnected);
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
        case RecStarted:
            recvTime.start();
            break;
        case RecFinished: {
            const RecvSnapshot report = recvReports::take(RecFinished);
            const qint64 ms = recvTime.elapsed();
            say(QStringLiteral("%1\t%2 bytes\t%3 s\t%4")
                    .arg(printable(report.fileName))
                    .arg(report.recvFileBytes)
                    .arg(secondsText(ms), rateText(qint64(report.recvFileBytes), ms)));
            break;
        }
        case RecText: {
            QString text = QString::fromUtf8(recvReports::take(RecText).lastRecvText);
            // As in the window: a flood must not make one line the size of a socket read.
            if (text.size() > MainWindow::maxTextChars)
                text = text.left(MainWindow::maxTextChars) + QChar(0x2026);
            say(QStringLiteral("[in] ") + printable(text));
            break;
        }
        case RecCreateFailed:
            complain(QStringLiteral("cannot create the file in %1; transfer refused").arg(dir));
            break;
        case RecWriteFailed:
            complain(QStringLiteral("cannot write the file; transfer failed"));
            break;
        case RecTimeout:
            complain(QStringLiteral("the sender went silent; transfer ended incomplete"));
            break;
        default:
            break;
        }
    }

    void peerConnected(QTcpSocket *socket)
    {
        const SocketFacts facts = worker->socketFacts(socket);
        // A dual-stack listener sees an IPv4 peer as ::ffff:a.b.c.d.
        const QHostAddress address(facts.peerAddress);
        bool v4 = false;
        const quint32 ipv4 = address.toIPv4Address(&v4);
        const QString peer = QStringLiteral("%1 port %2")
                                 .arg(v4 ? QHostAddress(ipv4).toString() : facts.peerAddress)
                                 .arg(facts.peerPort);
        accepted.append({socket, peer});
        note(QStringLiteral("connected: ") + peer);
    }

    // As the window: the signal names no socket, so every accepted one that dropped goes.
    void peerDisconnected()
    {
        for (int i = 0; i < accepted.size();) {
            if (worker->socketState(accepted.at(i).socket) != QAbstractSocket::UnconnectedState) {
                ++i;
                continue;
            }
            const Peer peer = accepted.takeAt(i);
            note(QStringLiteral("disconnected: ") + peer.name);
            worker->disposeSocket(peer.socket);
        }
    }

    const Worker &worker;
    const QString dir;
    struct Peer {
        QTcpSocket *socket; // a key only: the socket lives in the worker thread
        QString name;
    };
    QVector<Peer> accepted;
    QElapsedTimer recvTime;
    bool failed = false;
};

int usageError(const QString &message)
{
    complain(message);
    note(QStringLiteral("Try '%1 --help'.").arg(programName));
    return UsageError;
}

int runSend(quint16 port, const QString &host, const QStringList &files)
{
    Worker worker(port);
    Sender sender(worker, host, files);
    worker->start();
    QuitSignals quitSignals([&sender] { sender.interrupt(); });
    sender.start();
    QCoreApplication::exec();
    worker.stop();
    return sender.status();
}

int runReceive(quint16 port, const QString &dirArgument)
{
    // Against the current directory: the engine would take a relative one elsewhere.
    const QFileInfo dir(QDir::current(), dirArgument);
    if (!dir.isDir()) {
        complain(dirArgument + QStringLiteral(": not a directory"));
        return Failed;
    }
    Worker worker(port);
    Receiver receiver(worker, QDir::cleanPath(dir.absoluteFilePath()));
    worker->start();
    QuitSignals quitSignals;
    receiver.start();
    QCoreApplication::exec();
    worker.stop();
    return receiver.status();
}

} // namespace

bool wanted(const QStringList &arguments)
{
    for (const QString &arg : arguments.mid(1)) {
        if (arg == QLatin1String("send") || arg == QLatin1String("receive") || arg.startsWith(QLatin1String("--"))
            || arg == QLatin1String("-h") || arg == QLatin1String("-?") || arg == QLatin1String("-v"))
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

int run()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Moves files between two machines over one TCP connection.\n\n"
        "Without a command the window opens. Commands:\n"
        "  send HOST FILE...  connect to HOST (name, IPv4 or IPv6) and send the files;\n"
        "                     exit status 0 when every file was sent whole, 1 otherwise\n"
        "  receive [DIR]      listen and receive into DIR (default: the current directory)\n"
        "                     until interrupted; needs no display"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Use TCP port N instead of %1.").arg(defaultPort),
                                        QStringLiteral("N"), QString::number(defaultPort));
    parser.addOption(portOption);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("send or receive"),
                                 QStringLiteral("send HOST FILE... | receive [DIR]"));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help))
        parser.showHelp(Done);
    if (parser.isSet(version))
        parser.showVersion();

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port == 0 || port > 65535)
        return usageError(QStringLiteral("--port needs a number from 1 to 65535"));

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    if (command == QLatin1String("send")) {
        if (args.size() < 3)
            return usageError(QStringLiteral("send needs a host and at least one file"));
        return runSend(quint16(port), args.at(1), args.mid(2));
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
