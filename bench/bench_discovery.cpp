// Discovery among strangers, over loopback. Linux only (POSIX sockets, /proc, thread CPU
// clocks). Prints figures; judges nothing.
//
//   bench_discovery [--only answers|probes]
//
// answers: a listening program (a child), the window on its client page here, and a child that
//          sends 40000 fake discover answers in 13 s to the window's probe port, from 200
//          addresses of 127.1.0.0/16 taking turns, then from 40000 (each answer its own); two
//          thirds are named to read as the real entry (a line separator, a right-to-left
//          override): the window thread's CPU during the flood and after its end, whether the
//          real server stayed listed, what the list shows.
// probes:  a listening program (a child) and a child sending 2000 discover probes a second
//          to its port from 127.0.0.2; a client worker here connects and sends 40 MiB: fast
//          or paced, and how long; the same without the flood; whether the client, at
//          127.0.0.1, still finds the server; how many answers the flooder got.
#include <QApplication>
#include <QCompleter>
#include <QDir>
#include <QHostInfo>
#include <QLineEdit>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "app/mainwindow.h"
#include "bench/benchutil.h"
#include "tests/freeport.h"
#include "tests/workerrig.h"

namespace {

using bench::MiB;
using bench::waitFor;

qint64 monotonicNs(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec t{};
    clock_gettime(clock, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

qint64 monotonicMs() { return monotonicNs() / 1000000; }

void sayLine(const QByteArray &line)
{
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
}

// A UDP socket bound to address:port, shared with the listening program beside it.
int boundUdp(const char *address, quint16 port)
{
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    if (::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

sockaddr_in loopbackTo(quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Calls send(i) for i in [0, count) evenly over ms milliseconds.
template <typename Send>
void paced(int count, int ms, Send send)
{
    const qint64 start = monotonicNs();
    for (int sent = 0; sent < count;) {
        const int due = int(qMin<qint64>(count, qint64(count) * (monotonicNs() - start) / (qint64(ms) * 1000000)));
        for (; sent < due; ++sent)
            send(sent);
        const timespec tick{0, 2000000};
        nanosleep(&tick, nullptr);
    }
}

// A datagram from s with the given source address (any of 127.0.0.0/8 is this machine's).
void sendFrom(int s, const QByteArray &d, in_addr source, const sockaddr_in &to)
{
    char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    iovec io{const_cast<char *>(d.constData()), size_t(d.size())};
    msghdr m{};
    m.msg_name = const_cast<sockaddr_in *>(&to);
    m.msg_namelen = sizeof to;
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = source;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    ::sendmsg(s, &m, 0);
}

// ---- children ---------------------------------------------------------------------------

// A listening worker with its engine; prints "ready" once it listens.
int serve(quint16 port, const QString &dir)
{
    receiveDirPath.set(dir);
    WorkerRig k(port);
    QObject::connect(k.w, &sendThread::sendActionSig, [](int) { sayLine("ready"); });
    k.cmd(CmdStartListen);
    return QCoreApplication::exec();
}

// Fake discover answers from port `port` of `addresses` addresses of 127.1.0.0/16, taking
// turns, to the window's probe port.
int fakeAnswers(quint16 port, quint16 probePort, int count, int ms, int addresses, const QString &host)
{
    const int s = boundUdp("127.1.0.1", port);
    if (s < 0) {
        sayLine("cannot bind 127.1.0.1");
        return 1;
    }
    std::vector<QByteArray> kinds;
    for (const QString &name : {QStringLiteral("x\u2028127.0.0.1 ") + host, QStringLiteral("\u202e") + host,
                                QStringLiteral("fake")}) {
        peerwire::Datagram d;
        d.kind = peerwire::Kind::DiscoverAnswer;
        d.sender = 0x5eed;
        d.role = RoleServer;
        d.programVersion = QStringLiteral("1.0");
        d.hostName = name;
        kinds.push_back(peerwire::encode(d));
    }
    const sockaddr_in to = loopbackTo(probePort);
    sayLine("start " + QByteArray::number(monotonicMs()));
    paced(count, ms, [&](int i) {
        const in_addr source{htonl(0x7f010001u + quint32(i % addresses))};
        sendFrom(s, kinds[size_t(i) % kinds.size()], source, to);
    });
    sayLine("done " + QByteArray::number(monotonicMs()));
    return 0;
}

// Discover probes from four sockets of 127.0.0.2 to the port; counts the answers.
int fakeProbes(quint16 port, int perSecond, int ms)
{
    std::vector<int> sockets;
    for (int i = 0; i < 4; ++i)
        sockets.push_back(boundUdp("127.0.0.2", 0));
    peerwire::Datagram d;
    d.sender = 0x5eed;
    std::atomic<bool> running{true};
    int answers = 0;
    std::thread reader([&] {
        char buffer[512];
        while (running) {
            for (int s : sockets) {
                while (::recv(s, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
                    ++answers;
            }
            const timespec tick{0, 5000000};
            nanosleep(&tick, nullptr);
        }
    });
    const QByteArray probe = peerwire::encode(d);
    const sockaddr_in to = loopbackTo(port);
    paced(perSecond * ms / 1000, ms, [&](int i) {
        ::sendto(sockets[size_t(i) % sockets.size()], probe.constData(), size_t(probe.size()), 0,
                 reinterpret_cast<const sockaddr *>(&to), sizeof to);
    });
    running = false;
    reader.join();
    sayLine("done " + QByteArray::number(answers));
    return 0;
}

// ---- parent -----------------------------------------------------------------------------

struct Child : bench::Child {
    explicit Child(const QStringList &args) : bench::Child(args) { finishMs = 0; } // none ends by itself
    // The number after word on the first line that begins with it; -1 if none came in time.
    qint64 said(const char *word, int timeoutMs)
    {
        const QList<QByteArray> words = line(word, timeoutMs);
        return words.size() > 1 ? words.at(1).toLongLong() : -1;
    }
};

// The ports of this process's IPv4 UDP sockets, from /proc.
QList<quint16> ownUdpPorts()
{
    QSet<QByteArray> inodes;
    for (const QString &fd : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System)) {
        char target[64] = {};
        const QByteArray path = "/proc/self/fd/" + QFile::encodeName(fd);
        const ssize_t n = ::readlink(path.constData(), target, sizeof target - 1);
        const QByteArray t(target, int(qMax<ssize_t>(n, 0)));
        if (t.startsWith("socket:["))
            inodes.insert(t.mid(8, t.size() - 9));
    }
    QList<quint16> ports;
    QFile udp(QStringLiteral("/proc/self/net/udp"));
    if (!udp.open(QIODevice::ReadOnly))
        return ports;
    for (const QByteArray &line : udp.readAll().split('\n').mid(1)) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 9 && inodes.contains(f.at(9)))
            ports.append(quint16(f.at(1).split(':').value(1).toUInt(nullptr, 16)));
    }
    return ports;
}

// The CPU time of the calling thread, read every 100 ms from another thread.
class ThreadSampler {
public:
    struct Sample {
        qint64 wallMs;
        qint64 cpuNs;
    };
    ThreadSampler()
    {
        pthread_getcpuclockid(pthread_self(), &clock);
        thread = std::thread([this] {
            while (running) {
                samples.push_back({monotonicMs(), monotonicNs(clock)});
                const timespec tick{0, 100000000};
                nanosleep(&tick, nullptr);
            }
        });
    }
    // Stops sampling; the samples are the caller's from then on.
    std::vector<Sample> stop()
    {
        running = false;
        thread.join();
        return samples;
    }

private:
    clockid_t clock{};
    std::atomic<bool> running{true};
    std::vector<Sample> samples;
    std::thread thread;
};

// CPU over [fromMs, toMs) in % of a core, from the samples around it.
double cpuPercent(const std::vector<ThreadSampler::Sample> &samples, qint64 fromMs, qint64 toMs)
{
    const auto at = [&](qint64 ms) {
        auto it = std::lower_bound(samples.begin(), samples.end(), ms,
                                   [](const ThreadSampler::Sample &s, qint64 t) { return s.wallMs < t; });
        return it == samples.end() ? samples.back() : *it;
    };
    const ThreadSampler::Sample a = at(fromMs), b = at(toMs);
    return b.wallMs > a.wallMs ? 100.0 * double(b.cpuNs - a.cpuNs) / 1e6 / double(b.wallMs - a.wallMs) : 0;
}

double processCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void answers(int addresses)
{
    QTemporaryDir dir;
    const quint16 port = freePort();
    Child server({QStringLiteral("serve"), QString::number(port), dir.path()});
    if (!waitFor([&] { return server.out.contains("ready"); }, 10000)) {
        std::printf("answers: the server did not start\n");
        return;
    }
    const QString settings = dir.filePath(QStringLiteral("settings.ini"));
    {
        QSettings s(settings, QSettings::IniFormat);
        s.setValue(QStringLiteral("socketType"), QStringLiteral("client"));
        s.setValue(QStringLiteral("saveFilePath"), dir.path());
    }
    MainWindow window(port, settings);
    window.show();
    QAbstractItemModel *model =
        window.findChild<QLineEdit *>(QStringLiteral("serverAddressLineEdit"))->completer()->model();
    const QString host = QHostInfo::localHostName();
    const QString real = QStringLiteral("127.0.0.1 ") + host;
    const auto listed = [&] {
        for (int row = 0; row < model->rowCount(); ++row) {
            if (model->index(row, 0).data().toString() == real)
                return true;
        }
        return false;
    };
    if (!waitFor(listed, 5000)) {
        std::printf("answers: the real server was never listed\n");
        return;
    }
    QList<quint16> ports = ownUdpPorts();
    ports.removeAll(port);
    if (ports.size() != 1) {
        std::printf("answers: cannot tell the window's probe port (%d UDP sockets)\n", int(ports.size()));
        return;
    }

    ThreadSampler sampler;
    int checks = 0, missing = 0, largest = 0;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        ++checks;
        missing += !listed();
        largest = qMax(largest, model->rowCount());
    });
    check.start(200);
    const double cpu0 = processCpuSeconds();
    Child flood({QStringLiteral("answers"), QString::number(port), QString::number(ports.first()),
                 QStringLiteral("40000"), QStringLiteral("13000"), QString::number(addresses), host});
    const qint64 start = flood.said("start", 10000);
    const qint64 end = flood.said("done", 120000);
    const double processCpu = processCpuSeconds() - cpu0;
    waitFor([] { return false; }, 3000);
    const qint64 settled = monotonicMs(); // the window kept busy may end its wait late
    check.stop();
    const auto samples = sampler.stop();
    if (start < 0 || end < 0) {
        std::printf("answers: the flood did not run\n");
        return;
    }

    qint64 busyUntil = end; // the end of the last 100 ms after the flood above 10 %
    for (qint64 t = end; t + 100 <= settled; t += 100) {
        if (cpuPercent(samples, t, t + 100) > 10)
            busyUntil = t + 100;
    }
    int hostile = 0, addressOnly = 0;
    for (int row = 0; row < model->rowCount(); ++row) {
        const QString text = model->index(row, 0).data().toString();
        hostile += text.contains(QChar(0x2028)) || text.contains(QChar(0x202e));
        addressOnly += text.startsWith(QLatin1String("127.1.")) && !text.contains(QLatin1Char(' '));
    }
    std::printf("answers: 40000 fake answers in %.1f s from %d addresses: window thread %.1f %% of a core during"
                " the flood (process %.1f %%); after its end %.1f %% in the first second, %.1f %% in the second,"
                " last 100 ms above 10 %% ended %lld ms after it\n",
                (end - start) / 1000.0, addresses, cpuPercent(samples, start, end), 100 * processCpu / ((end - start) / 1000.0),
                cpuPercent(samples, end, end + 1000), cpuPercent(samples, end + 1000, end + 2000), busyUntil - end);
    std::printf("answers: the real server listed in %d of %d checks (every 200 ms) and %s at the end; at most %d"
                " entries; at the end %d entries, %d of them a fake shown as the address alone, %d showing a line"
                " separator or an override\n",
                checks - missing, checks, listed() ? "listed" : "NOT LISTED", largest, model->rowCount(), addressOnly,
                hostile);
}

// One 40 MiB send from a client worker here to a listening child, with or without a probe flood.
void sendAmidProbes(bool flood, const QString &source, qint64 size)
{
    QTemporaryDir dir;
    const quint16 port = freePort();
    Child server({QStringLiteral("serve"), QString::number(port), dir.path()});
    if (!waitFor([&] { return server.out.contains("ready"); }, 10000))
        return;
    std::unique_ptr<Child> prober;
    if (flood) {
        prober = std::make_unique<Child>(QStringList{QStringLiteral("probes"), QString::number(port),
                                                     QStringLiteral("2000"), QStringLiteral("8000")});
        waitFor([] { return false; }, 2000); // well into the flood
    }
    WorkerRig k(port);
    WorkerLog log(k.w);
    k.setHost(QStringLiteral("127.0.0.1"));
    k.cmd(CmdConnect);
    QTcpSocket *socket = k.w->currentClientSocket();
    waitFor([&] { return k.w->socketState(socket) == QAbstractSocket::ConnectedState; }, 10000);
    waitFor([&] { return k.w->socketFacts(socket).fast; }, PeerService::probeWindowMs);
    const bool fast = k.w->socketFacts(socket).fast;
    QElapsedTimer clock;
    clock.start();
    k.setSend(socket, source);
    k.cmd(CmdSendFile);
    waitFor([&] { return log.last(WorkerLog::Trans) == TransFinished; }, 60000);
    const double seconds = clock.nsecsElapsed() / 1e9;

    QString found;
    QObject::connect(k.w, &sendThread::serverDiscovered, &log,
                     [&](const QString &address, const QString &host) { found = address + QLatin1Char(' ') + host; });
    QElapsedTimer discovery;
    discovery.start();
    QMetaObject::invokeMethod(k.w, "discoverServers", Qt::QueuedConnection);
    waitFor([&] { return !found.isEmpty(); }, 1000);
    std::printf("probes: %s: %lld MiB sent %s in %.2f s (%.0f MB/s); the client at 127.0.0.1 %s",
                flood ? "2000 discover probes a second from 127.0.0.2" : "no flood", size / MiB,
                fast ? "fast" : "PACED", seconds, size / 1e6 / seconds,
                found.isEmpty() ? "found no server" : qPrintable(QStringLiteral("found %1 in %2 ms").arg(found).arg(discovery.elapsed())));
    if (prober)
        std::printf("; the flooder got %lld answers to its 16000 probes", prober->said("done", 20000));
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (mode == "serve" || mode == "answers" || mode == "probes") {
        QCoreApplication app(argc, argv);
        const QStringList a = app.arguments();
        const quint16 port = quint16(a.value(2).toUInt());
        if (mode == "serve")
            return serve(port, a.value(3));
        if (mode == "answers")
            return fakeAnswers(port, quint16(a.value(3).toUInt()), a.value(4).toInt(), a.value(5).toInt(),
                               a.value(6).toInt(), a.value(7));
        return fakeProbes(port, a.value(3).toInt(), a.value(4).toInt());
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int i = args.indexOf(QStringLiteral("--only"));
    const QString only = i > 0 ? args.value(i + 1) : QString();
    if (only.isEmpty() || only == QLatin1String("answers")) {
        answers(200);
        answers(40000);
    }
    if (only.isEmpty() || only == QLatin1String("probes")) {
        QTemporaryDir temp;
        const QString source = temp.filePath(QStringLiteral("source.bin"));
        const qint64 size = 40 * MiB;
        if (!bench::writeSource(source, size))
            return 1;
        sendAmidProbes(false, source, size);
        sendAmidProbes(true, source, size);
    }
    return 0;
}
