// Fast mode between two instances, against plain programs moving the same bytes. Linux only
// (POSIX sockets, /proc). Prints figures; judges nothing. Every peer is a child process of
// this program, on loopback.
//
//   bench_fast [--mib N] [--rounds R] [--paced-mib N] [--dir DIR] [--only fast|paced|idle|discovery]
//
// fast:      N MiB (1024) program to program in fast mode, verified (extended framing and
//            digest) and unverified (the original framing, unpaced); the same bytes from a plain sender
//            (read/write, 1 MiB buffers) into the receiving program; and from the plain sender
//            into a plain receiver (socket to file). Alternating, R rounds (3), medians and
//            ratios; peak RSS of each program above its idle.
// paced:     N MiB (64) program to program with fast mode off: rate and the sending process's
//            CPU.
// idle:      a listening program (UDP service bound) left idle for 5 s: its CPU.
// discovery: how long a probe takes to find a listening program.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <vector>

#include "bench/benchutil.h"
#include "tests/workerrig.h"
#include "transfer/extframing.h"

namespace {

using bench::MiB;
using bench::waitFor;
using bench::header;

qint64 statusKiB(const char *field) { return bench::procStatusKiB(field); }

double processCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of another process, from /proc/PID/stat.
double childCpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}


bool writeAll(int fd, const char *p, qint64 n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, size_t(n));
        if (w <= 0)
            return false;
        p += w;
        n -= w;
    }
    return true;
}

// Child: a plain receiver. Accepts one connection and copies it into a file, 1 MiB at a time.
int plainReceive(const QString &dir)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(listener, 1) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return 1;
    say("ready %u\n", unsigned(ntohs(a.sin_port)));
    const qint64 idle = statusKiB("VmRSS:");
    const int in = ::accept(listener, nullptr, nullptr);
    const int out = ::open(QFile::encodeName(QDir(dir).filePath(QStringLiteral("plain.bin"))).constData(),
                           O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> buffer(MiB);
    qint64 total = 0;
    for (ssize_t n; (n = ::read(in, buffer.data(), buffer.size())) > 0; total += n) {
        if (!writeAll(out, buffer.data(), n))
            return 1;
    }
    ::close(out);
    say("finished %lld %lld\n", total, statusKiB("VmHWM:") - idle);
    return 0;
}

// Child: a plain sender of the framed file, unpaced, 1 MiB at a time.
int plainSend(quint16 port, const QString &path)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return 1;
    const int in = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    const qint64 size = QFileInfo(path).size();
    say("start\n");
    const QByteArray head = header("fast.bin", size);
    std::vector<char> buffer(MiB);
    bool ok = writeAll(s, head.constData(), head.size());
    for (ssize_t n; ok && (n = ::read(in, buffer.data(), buffer.size())) > 0;)
        ok = writeAll(s, buffer.data(), n);
    ok = ok && writeAll(s, wire::endMarker.constData(), wire::endMarker.size());
    ::close(s);
    return ok ? 0 : 1;
}

// Child: a listening worker with its engine, as the window runs them. Prints "ready PORT",
// then "finished BYTES RSS-KiB-ABOVE-IDLE" per file; exits when its peer disconnects.
int serve(const QString &dir)
{
    receiveDirPath.set(dir);
    const quint16 port = freePort();
    WorkerRig k(port);
    WorkerLog log(k.w);
    qint64 idle = 0;
    QObject::connect(k.w, &sendThread::sendActionSig, [&](int) {
        idle = statusKiB("VmRSS:");
        say("ready %u\n", unsigned(port));
    });
    QObject::connect(k.w, &sendThread::sendRecState, [&](int code) {
        if (code == RecFinished)
            say("finished %llu %lld\n", recvReports::take(RecFinished).recvFileBytes, statusKiB("VmHWM:") - idle);
    });
    // The peer may be gone while its last bytes still wait in the engine's queue.
    QTimer drained;
    QObject::connect(&drained, &QTimer::timeout, [&] {
        if (k.w->recThread->queuedBytes() == 0 && recvProgress::active().isEmpty())
            QCoreApplication::quit();
    });
    QObject::connect(k.w, &sendThread::onClientDisconnected, &drained, [&] { drained.start(10); });
    k.cmd(CmdStartListen);
    return QCoreApplication::exec();
}

// Child: a connecting worker that sends one file and exits. Prints "start FAST", then
// "sent CPU-SECONDS RSS-KiB-ABOVE-IDLE".
int send(quint16 port, const QString &path, bool fast)
{
    WorkerRig k(port);
    WorkerLog log(k.w);
    k.w->fastTransfer = fast;
    QTcpSocket *socket = bench::connectToLoopback(k);
    if (!socket)
        return 1;
    if (fast)
        waitFor([&] { return k.w->socketFacts(socket).fast; }, PeerService::probeWindowMs);
    const qint64 idle = statusKiB("VmRSS:");
    const double cpu = processCpuSeconds();
    say("start %d\n", int(k.w->socketFacts(socket).fast));
    k.setSend(socket, path);
    k.cmd(CmdSendFile);
    waitFor([&] { return log.last(WorkerLog::Trans) == TransFinished; }, 600000);
    say("sent %.3f %lld\n", processCpuSeconds() - cpu, statusKiB("VmHWM:") - idle);
    return 0;
}

using bench::Child;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One transfer: receiver kind ("serve" or "plain-recv"), sender kind ("send", "paced" or
// "plain-send"). Returns MB/s; fills the senders' and receivers' figures.
double run(const char *receiver, const char *sender, const QString &source, const QString &dir, qint64 size,
           QList<QByteArray> *sent = nullptr, QList<QByteArray> *received = nullptr)
{
    Child rx({QLatin1String(receiver), dir});
    const QList<QByteArray> ready = rx.line("ready", 10000);
    if (ready.size() < 2)
        return 0;
    Child tx({QLatin1String(sender), QString::fromLatin1(ready.at(1)), source});
    tx.line("start", 10000);
    QElapsedTimer clock;
    clock.start();
    const QList<QByteArray> done = rx.line("finished");
    const double rate = size / 1e6 / (clock.nsecsElapsed() / 1e9);
    if (done.value(1).toLongLong() < size)
        say("   (%s -> %s: %s bytes arrived of %lld)\n", sender, receiver, done.value(1).constData(), size);
    if (received)
        *received = done;
    if (sent && qstrcmp(sender, "plain-send") != 0)
        *sent = tx.line("sent");
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    return rate;
}

void fastFigures(qint64 size, int rounds, const QString &source, const QString &dir)
{
    std::vector<double> program, unverified, raw, plain, programRatio, rawRatio, verifiedShare;
    QList<QByteArray> sent, received, rawReceived;
    for (int r = 0; r < rounds; ++r) {
        plain.push_back(run("plain-recv", "plain-send", source, dir, size));
        // Which of the two goes first alternates: the first after a removal runs on colder pages.
        if (r % 2 == 1)
            unverified.push_back(run("serve-proof", "send-proof", source, dir, size));
        program.push_back(run("serve", "send", source, dir, size, &sent, &received));
        if (r % 2 == 0)
            unverified.push_back(run("serve-proof", "send-proof", source, dir, size));
        verifiedShare.push_back(program.back() / unverified.back());
        raw.push_back(run("serve", "plain-send", source, dir, size, nullptr, &rawReceived));
        // The machine's pace drifts; a ratio within one round compares like with like.
        programRatio.push_back(program.back() / plain.back());
        rawRatio.push_back(raw.back() / plain.back());
        say("   round %d: plain %.0f MB/s, program to program %.0f MB/s (fast %s), unverified %.0f MB/s, plain sender"
            " to program %.0f MB/s\n",
            r + 1, plain.back(), program.back(), sent.isEmpty() ? "?" : "yes", unverified.back(), raw.back());
    }
    const double p = median(plain);
    say("fast: %lld MiB, medians of %d: plain copy %.1f MB/s; program to program %.1f MB/s (%.2f x plain);"
        " plain sender to program %.1f MB/s (%.2f x plain)\n",
        size / MiB, rounds, p, median(program), median(program) / p, median(raw), median(raw) / p);
    say("fast: medians of the ratios within a round: program to program %.2f x plain; plain sender to program"
        " %.2f x plain\n", median(programRatio), median(rawRatio));
    say("fast: verified (frames and digest) %.1f MB/s against unverified %.1f MB/s: %.0f %% kept (median of the"
        " ratios within a round)\n", median(program), median(unverified), 100 * median(verifiedShare));
    say("fast: peak RSS above idle: sending program %.1f MiB, receiving program %.1f MiB\n",
        sent.value(2).toLongLong() / 1024.0, received.value(2).toLongLong() / 1024.0);
}

void pacedFigures(qint64 size, const QString &source, const QString &dir)
{
    QList<QByteArray> sent;
    QElapsedTimer clock;
    clock.start();
    const double rate = run("serve", "paced", source, dir, size, &sent);
    const double seconds = size / 1e6 / rate;
    say("paced: %lld MiB with fast mode off: %.2f MB/s; sending process CPU %.2f s (%.1f %% of one core)\n",
        size / MiB, rate, sent.value(1).toDouble(), 100 * sent.value(1).toDouble() / seconds);
}

void idleFigures(const QString &dir)
{
    Child rx({QStringLiteral("serve"), dir});
    rx.line("ready", 10000);
    const double before = childCpuSeconds(rx.process.processId());
    waitFor([] { return false; }, 5000);
    const double used = childCpuSeconds(rx.process.processId()) - before;
    say("idle: a listening program with its UDP service, 5 s: %.3f s CPU (%.2f %%)\n", used, used / 5 * 100);
    rx.process.kill();
}

void discoveryFigures(const QString &dir)
{
    Child rx({QStringLiteral("serve"), dir});
    const QList<QByteArray> ready = rx.line("ready", 10000);
    WorkerRig k(quint16(ready.value(1).toUInt()));
    QString found;
    QObject::connect(k.w, &sendThread::serverDiscovered, [&](const QString &address, const QString &host) {
        found = address + QLatin1Char(' ') + host;
    });
    QElapsedTimer clock;
    clock.start();
    QMetaObject::invokeMethod(k.w, "discoverServers", Qt::QueuedConnection);
    waitFor([&] { return !found.isEmpty(); }, 5000);
    say("discovery: %s found in %.1f ms (the client page probes when shown and every 3 s)\n",
        found.isEmpty() ? "nothing" : qPrintable(found), clock.nsecsElapsed() / 1e6);
    rx.process.kill();
}


} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    if (mode == QLatin1String("plain-recv"))
        return plainReceive(args.value(2));
    if (mode == QLatin1String("plain-send"))
        return plainSend(quint16(args.value(2).toUInt()), args.value(3));
    // The -proof kinds offer only the proof of the exchange: unpaced, without frames or digest.
    if (mode.endsWith(QLatin1String("-proof")))
        PeerService::offeredFeatures = extwire::featureProof;
    if (mode.startsWith(QLatin1String("serve")))
        return serve(args.value(2));
    if (mode.startsWith(QLatin1String("send")) || mode == QLatin1String("paced"))
        return send(quint16(args.value(2).toUInt()), args.value(3), mode != QLatin1String("paced"));

    auto option = [&args](const char *name, qint64 fallback) {
        const int i = args.indexOf(QLatin1String(name));
        return i > 0 ? args.value(i + 1).toLongLong() : fallback;
    };
    const int i = args.indexOf(QStringLiteral("--only"));
    const QString only = i > 0 ? args.value(i + 1) : QString();
    const qint64 size = option("--mib", 1024) * MiB;
    const qint64 pacedSize = option("--paced-mib", 64) * MiB;
    const int rounds = int(option("--rounds", 3));

    // --dir: where the source and the received files go (a tmpfs keeps the disk out of it).
    const int d = args.indexOf(QStringLiteral("--dir"));
    QTemporaryDir temp(d > 0 ? args.value(d + 1) + QStringLiteral("/bench_fast-XXXXXX") : QString());
    const QString dir = temp.filePath(QStringLiteral("recv"));
    QDir().mkpath(dir);
    const QString source = temp.filePath(QStringLiteral("source.bin"));
    if (!bench::writeSource(source, only == QLatin1String("paced") ? pacedSize : qMax(size, pacedSize))) {
        say("cannot write %s\n", qPrintable(source));
        return 1;
    }
    if (only.isEmpty() || only == QLatin1String("fast"))
        fastFigures(size, rounds, source, dir);
    if (only.isEmpty() || only == QLatin1String("paced")) {
        if (only.isEmpty())
            bench::writeSource(source, pacedSize);
        pacedFigures(pacedSize, source, dir);
    }
    if (only.isEmpty() || only == QLatin1String("idle"))
        idleFigures(dir);
    if (only.isEmpty() || only == QLatin1String("discovery"))
        discoveryFigures(dir);
    return 0;
}
