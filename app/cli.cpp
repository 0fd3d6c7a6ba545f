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
#include <QTimer>
#include <QVector>

#include <cstdio>

#include "app/quitsignals.h"
#include "net/localaddresses.h"
#include "net/peerroster.h"
#include "net/sendthread.h"
#include "net/workerhandle.h"
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

using Worker = WorkerHandle;

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
        connect(w, &sendThread::batchFileStarting, this, [this](const BatchStatus &status) {
            current = status.path;
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

    QString currentName() const { return QFileInfo(current).fileName(); }

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
                finish(QStringLiteral("cannot connect to %1 port %2: %3").arg(host).arg(worker->port()).arg(error));
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
        printTo(stderr, QStringLiteral("\r") + printable(currentName()).left(30).leftJustified(30) + QStringLiteral(" [")
                            + bar + QStringLiteral("] ") + QString::number(percent).rightJustified(3)
                            + QStringLiteral("% ") + rateText(done, ms).rightJustified(14) + left
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
        const qint64 bytes = worker->takeFileReport().fileBytes;
        const qint64 ms = fileTime.elapsed();
        note(printable(currentName()) + QStringLiteral(": sent ") + QString::number(bytes) + QStringLiteral(" bytes in ")
             + secondsText(ms) + QStringLiteral(" s (") + rateText(bytes, ms) + QLatin1Char(')'));
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
    bool commanded = false;   // the files went to the worker
    bool failed = false;
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
            // Built by concatenation: a % in a received name is no placeholder.
            say(printable(report.fileName) + QLatin1Char('\t') + QString::number(report.recvFileBytes)
                + QStringLiteral(" bytes\t") + secondsText(ms) + QStringLiteral(" s\t")
                + rateText(qint64(report.recvFileBytes), ms));
            break;
        }
        case RecText: {
            say(QStringLiteral("[in] ") + printable(peerText::shown(recvReports::take(RecText).lastRecvText)));
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
        case RecVerifyFailed:
            complain(QStringLiteral("the file's digest does not match; its bytes are kept as .part"));
            break;
        case RecStreamFailed:
            complain(QStringLiteral("the sender's stream broke off or was malformed; transfer failed"));
            break;
        default:
            break;
        }
    }

    void peerConnected(QTcpSocket *socket)
    {
        const SocketFacts facts = worker->socketFacts(socket);
        const QString peer = shownPeerAddress(facts.peerAddress) + QStringLiteral(" port ")
            + QString::number(facts.peerPort);
        accepted.add(socket, peer);
        note(QStringLiteral("connected: ") + peer);
    }

    void peerDisconnected()
    {
        for (const PeerRoster::Entry &gone : accepted.takeClosed(*worker.get()))
            note(QStringLiteral("disconnected: ") + gone.second);
    }

    const Worker &worker;
    const QString dir;
    PeerRoster accepted;
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
    // Printed here: on Windows the parser shows them in a message box when it finds no
    // console, which a script (or Wine's handles) would wait on for good.
    if (parser.isSet(help)) {
        printTo(stdout, parser.helpText());
        return Done;
    }
    if (parser.isSet(version)) {
        say(QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion());
        return Done;
    }

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
