// Throughput, CPU and memory of the worker's sending and receiving. Linux only (getrusage,
// /proc). Prints figures; judges nothing.
//
//   bench_send [--send-mib N] [--raw-mib N] [--slow-seconds S] [--only 1|2|3]
//
// 1. N MiB (256) from one worker to another in a child process over loopback: MB/s, the
//    sending worker thread's CPU seconds, this process's peak RSS above idle.
// 2. N MiB (1024) from an unpaced raw sender into a worker's receive directory, and the same
//    bytes through a plain socket-to-file copy: both rates and their ratio.
// 3. A reader taking 1 MB/s for S seconds (20) from a worker sending a 256 MiB file: the
//    sender's peak RSS above idle.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <functional>
#include <thread>

#include "bench/benchutil.h"
#include "tests/workerrig.h"

namespace {

using bench::MiB;
using bench::header;
using bench::procStatusKiB;
using bench::resetPeakRss;
using bench::waitFor;

// User and system seconds of the calling thread.
std::pair<double, double> threadCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return {double(u.ru_utime.tv_sec) + double(u.ru_utime.tv_usec) / 1e6,
            double(u.ru_stime.tv_sec) + double(u.ru_stime.tv_usec) / 1e6};
}


// Child mode: a receiving worker that prints "ready", then "finished" per file, and exits
// when its peer disconnects.
int serve(quint16 port, const QString &dir)
{
    receiveDirPath.set(dir);
    WorkerRig k(port);
    WorkerLog log(k.w);
    QObject::connect(k.w, &sendThread::sendActionSig, [](int) { std::printf("ready\n"); std::fflush(stdout); });
    QObject::connect(k.w, &sendThread::sendRecState, [](int code) {
        if (code == RecFinished) {
            std::printf("finished\n");
            std::fflush(stdout);
        }
    });
    QObject::connect(k.w, &sendThread::onClientDisconnected, qApp, &QCoreApplication::quit);
    k.cmd(CmdStartListen);
    return QCoreApplication::exec();
}

// Figure 1.
void workerToWorker(qint64 size, const QString &source, const QString &recvDir)
{
    const quint16 port = freePort();
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--serve"), QString::number(port), recvDir});
    QByteArray out;
    QObject::connect(&child, &QProcess::readyReadStandardOutput, [&] { out += child.readAllStandardOutput(); });
    if (!waitFor([&] { return out.contains("ready"); }, 10000)) {
        std::printf("1. receiver did not start\n");
        return;
    }
    WorkerRig k(port);
    WorkerLog log(k.w);
    QTcpSocket *socket = bench::connectToLoopback(k);

    resetPeakRss();
    const qint64 idle = procStatusKiB("VmRSS:");
    std::pair<double, double> cpuBefore, cpuAfter;
    k.inWorker([&] { cpuBefore = threadCpuSeconds(); });
    QElapsedTimer clock;
    clock.start();
    k.setSend(socket, source);
    k.cmd(CmdSendFile);
    const bool ok = waitFor([&] { return out.contains("finished"); }, 600000);
    const double seconds = clock.nsecsElapsed() / 1e9;
    waitFor([&] { return log.last(WorkerLog::Trans) == TransFinished; }, 10000);
    k.inWorker([&] { cpuAfter = threadCpuSeconds(); });
    const qint64 peak = procStatusKiB("VmHWM:");
    const double user = cpuAfter.first - cpuBefore.first, sys = cpuAfter.second - cpuBefore.second;
    std::printf("1. worker to worker, %lld MiB%s: %.2f MB/s; sending thread CPU %.2f s (user %.2f, system %.2f;"
                " %.1f %% of one core); peak RSS %.1f MiB, %.1f MiB above idle\n",
                size / MiB, ok ? "" : " (NOT FINISHED)", size / 1e6 / seconds, user + sys, user, sys,
                100 * (user + sys) / seconds, peak / 1024.0, (peak - idle) / 1024.0);
    k.cmd(CmdDisconnect);
    child.waitForFinished(10000);
}

// An unpaced sender: writes everything as fast as the socket takes it.
void rawSend(quint16 port, const QByteArray &head, qint64 size, const QByteArray &tail)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(10000))
        return;
    s.write(head);
    QByteArray chunk(int(MiB), 'r');
    for (qint64 done = 0; done < size; done += chunk.size()) {
        s.write(chunk.constData(), qMin<qint64>(chunk.size(), size - done));
        while (s.bytesToWrite() > 4 * MiB)
            s.waitForBytesWritten(-1);
    }
    s.write(tail);
    while (s.bytesToWrite() > 0)
        s.waitForBytesWritten(-1);
    s.disconnectFromHost();
    if (s.state() != QAbstractSocket::UnconnectedState)
        s.waitForDisconnected(60000);
}

// Figure 2.
void rawReceive(qint64 size, const QString &recvDir)
{
    receiveDirPath.set(recvDir);
    double workerRate = 0;
    {
        WorkerRig k(freePort());
        WorkerLog log(k.w);
        k.cmd(CmdStartListen);
        waitFor([&] { return log.count(WorkerLog::Action) == 1; }, 10000);
        resetPeakRss();
        const qint64 idle = procStatusKiB("VmRSS:");
        QElapsedTimer clock;
        clock.start();
        std::thread sender(rawSend, k.w->port(), header("raw.bin", size), size, wire::endMarker);
        const bool ok = waitFor([&] { return log.values(WorkerLog::Rec).contains(RecFinished); }, 600000);
        workerRate = size / 1e6 / (clock.nsecsElapsed() / 1e9);
        sender.join();
        const qint64 peak = procStatusKiB("VmHWM:");
        const bool whole = QFile(QDir(recvDir).filePath(QStringLiteral("raw.bin"))).size() == size;
        std::printf("2. raw sender to worker, %lld MiB%s: %.1f MB/s, receiving process peak RSS %.1f MiB above idle\n",
                    size / MiB, !ok ? " (NOT FINISHED)" : whole ? "" : " (FILE INCOMPLETE)", workerRate,
                    (peak - idle) / 1024.0);
        QFile::remove(QDir(recvDir).filePath(QStringLiteral("raw.bin")));
    }

    // The same bytes, straight from a socket into a file.
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    QElapsedTimer clock;
    clock.start();
    std::thread sender(rawSend, server.serverPort(), header("raw.bin", size), size, wire::endMarker);
    server.waitForNewConnection(10000);
    QTcpSocket *in = server.nextPendingConnection();
    QFile out(QDir(recvDir).filePath(QStringLiteral("copy.bin")));
    out.open(QIODevice::WriteOnly);
    while (in && (in->state() == QAbstractSocket::ConnectedState || in->bytesAvailable() > 0)) {
        if (in->bytesAvailable() == 0)
            in->waitForReadyRead(1000);
        out.write(in->readAll());
    }
    out.close();
    const double plainRate = size / 1e6 / (clock.nsecsElapsed() / 1e9);
    sender.join();
    out.remove();
    std::printf("2. plain socket-to-file copy: %.1f MB/s; worker / plain = %.2f\n", plainRate, workerRate / plainRate);
}

// Figure 3.
void slowReader(int seconds, const QString &source)
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    WorkerRig k(server.serverPort());
    WorkerLog log(k.w);
    k.setHost(QStringLiteral("127.0.0.1"));
    k.cmd(CmdConnect);
    waitFor([&] { return server.hasPendingConnections(); }, 10000);
    QTcpSocket *in = server.nextPendingConnection();
    in->setReadBufferSize(16 * 1024);
    QTcpSocket *socket = k.w->currentClientSocket();
    waitFor([&] { return k.w->socketState(socket) == QAbstractSocket::ConnectedState; }, 10000);

    resetPeakRss();
    const qint64 idle = procStatusKiB("VmRSS:");
    qint64 taken = 0;
    QTimer reader; // 10000 bytes every 10 ms: 1 MB/s
    QObject::connect(&reader, &QTimer::timeout, [&] { taken += in->read(10000).size(); });
    reader.start(10);
    k.setSend(socket, source);
    k.cmd(CmdSendFile);
    waitFor([] { return false; }, seconds * 1000);
    k.w->stopSend = true;
    waitFor([&] { return log.last(WorkerLog::Trans) == TransStopped; }, 10000);
    const qint64 peak = procStatusKiB("VmHWM:");
    std::printf("3. reader at 1 MB/s for %d s: read %.1f MB; sender peak RSS %.1f MiB, %.1f MiB above idle;"
                " most bytes unwritten in the socket %lld\n",
                seconds, taken / 1e6, peak / 1024.0, (peak - idle) / 1024.0, k.w->peakUnwritten.load());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QStringLiteral("--serve"))
        return serve(quint16(args.value(2).toUInt()), args.value(3));

    auto option = [&args](const char *name, qint64 fallback) {
        const int i = args.indexOf(QLatin1String(name));
        return i > 0 ? args.value(i + 1).toLongLong() : fallback;
    };
    const qint64 sendSize = option("--send-mib", 256) * MiB;
    const qint64 rawSize = option("--raw-mib", 1024) * MiB;
    const int slowSeconds = int(option("--slow-seconds", 20));
    const int only = int(option("--only", 0));

    QTemporaryDir dir;
    const QString recvDir = dir.filePath(QStringLiteral("recv"));
    QDir().mkpath(recvDir);
    const QString source = dir.filePath(QStringLiteral("source.bin"));
    if ((only == 0 || only == 1 || only == 3) && !bench::writeSource(source, only == 3 ? 256 * MiB : sendSize)) {
        std::printf("cannot write %s\n", qPrintable(source));
        return 1;
    }
    if (only == 0 || only == 1)
        workerToWorker(sendSize, source, recvDir);
    if (only == 0 || only == 2)
        rawReceive(rawSize, recvDir);
    if (only == 0 || only == 3) {
        if (sendSize < 256 * MiB)
            bench::writeSource(source, 256 * MiB);
        slowReader(slowSeconds, source);
    }
    return 0;
}
