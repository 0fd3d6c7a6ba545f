// The window under load from misbehaving peers: log lag and CPU under a text stream, CPU and
// memory after text floods with a file sent amid them, CPU with many idle peers at a small
// descriptor limit, memory growth under connect/close churn. Linux only (getrusage, /proc,
// setrlimit). Prints figures; judges nothing.
//
//   bench_load [--only texts|burst|idle|churn] [--seconds N]
//
// The window runs here (shown, offscreen without a display) on a free port with a temporary
// settings file; the peers run in a child process (this program with --peer), so that every
// figure of this process is the window's, worker's and engine's.
//
// texts: 1000 texts a second for N seconds (30): the window's largest lag behind the sender
//        (counting texts shown or said to be left out), process CPU, RSS growth.
// burst: 50 MiB of text on one connection, then 100 MiB over 10 connections, a 4 MiB file
//        sent amid each: process CPU in the first and second second after the sender wrote
//        its last byte, peak RSS above idle, the file's bytes and how long its report took.
// idle:  1000 peers connected and silent, this process limited to 1024 descriptors: process
//        CPU over 5 s, how many peers are kept, then a 4 MiB file over a kept connection.
// churn: one peer kept connected, 1000 connect/close cycles to warm up, then 6000 more: RSS
//        growth over the 6000.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "app/mainwindow.h"
#include "bench/benchutil.h"
#include "tests/freeport.h"

namespace {

using bench::MiB;
using bench::procStatusKiB;
using bench::waitFor;

// Monotonic milliseconds, comparable between this process and its child.
qint64 nowMs()
{
    QElapsedTimer t;
    t.start();
    return t.msecsSinceReference();
}

// Bytes the allocator has handed out and not got back, all threads (RSS also counts what it
// keeps for reuse).
qint64 heapInUse()
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 33)
    return qint64(mallinfo2().uordblks);
#else
    return -1;
#endif
}

double processCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

QByteArray fileContent(qint64 size)
{
    QByteArray b(int(size), Qt::Uninitialized);
    for (int i = 0; i < b.size(); ++i)
        b[i] = char(i * 2654435761u >> 13);
    return b;
}

QByteArray transfer(const QByteArray &name, const QByteArray &content)
{
    return bench::header(name, content.size()) + content + wire::endMarker;
}

// ---- child: the peers ------------------------------------------------------------------

void say(const char *what, qint64 value)
{
    std::printf("%s %lld\n", what, value);
    std::fflush(stdout);
}

void waitForLine(const char *word)
{
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        if (qstrncmp(line, word, qstrlen(word)) == 0)
            return;
    }
}

std::unique_ptr<QTcpSocket> connectPeer(quint16 port)
{
    auto s = std::make_unique<QTcpSocket>();
    s->connectToHost(QHostAddress::LocalHost, port);
    if (!s->waitForConnected(10000))
        return nullptr;
    s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return s;
}

// Message k of the stream goes out at t0 + k ms; each is 11 bytes.
int peerTexts(quint16 port, int seconds, qint64 t0)
{
    auto s = connectPeer(port);
    if (!s)
        return 1;
    const int total = seconds * 1000;
    qint64 worstLate = 0;
    for (int k = 0; k < total;) {
        const qint64 late = nowMs() - (t0 + k);
        if (late < 0) {
            s->waitForBytesWritten(int(-late));
            QThread::msleep(quint64(qMax<qint64>(0, t0 + k - nowMs())));
            continue;
        }
        worstLate = qMax(worstLate, late);
        s->write(QByteArray("m") + QByteArray::number(k).rightJustified(9, '0') + ';');
        s->flush();
        ++k;
    }
    s->waitForBytesWritten(10000);
    say("late", worstLate);
    waitForLine("quit");
    return 0;
}

// Text over `connections` connections as fast as they take it, a file amid it.
int peerBurst(quint16 port, int mib, int connections, int fileMib)
{
    std::vector<std::unique_ptr<QTcpSocket>> peers;
    for (int i = 0; i < connections; ++i) {
        peers.push_back(connectPeer(port));
        if (!peers.back())
            return 1;
    }
    auto filePeer = connectPeer(port);
    if (!filePeer)
        return 1;
    QByteArray chunk;
    for (char c = 'a'; chunk.size() < 256 * 1024; c = c == 'z' ? 'a' : char(c + 1))
        chunk += QByteArray(99, c) + '\n';
    const qint64 each = qint64(mib) * MiB / connections;
    std::vector<qint64> left(size_t(connections), each);
    bool fileSent = false;
    qint64 written = 0;
    for (;;) {
        bool more = false;
        for (size_t i = 0; i < peers.size(); ++i) {
            while (left[i] > 0 && peers[i]->bytesToWrite() < 2 * MiB) {
                const int n = int(qMin<qint64>(chunk.size(), left[i]));
                peers[i]->write(chunk.constData(), n);
                left[i] -= n;
                written += n;
            }
            more = more || left[i] > 0 || peers[i]->bytesToWrite() > 0;
        }
        if (!fileSent && written >= qint64(mib) * MiB / 2) {
            filePeer->write(transfer("amid.bin", fileContent(qint64(fileMib) * MiB)));
            filePeer->waitForBytesWritten(30000);
            while (filePeer->bytesToWrite() > 0 && filePeer->waitForBytesWritten(30000)) {
            }
            say("file", nowMs());
            fileSent = true;
        }
        if (!more)
            break;
        peers[size_t(written / 4096 % connections)]->waitForBytesWritten(5);
        for (auto &p : peers)
            p->waitForBytesWritten(0);
    }
    say("done", nowMs());
    waitForLine("quit");
    return 0;
}

int peerIdle(quint16 port, int count, int fileMib)
{
    std::vector<std::unique_ptr<QTcpSocket>> peers;
    for (int i = 0; i < count; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, port);
        if (s->waitForConnected(10000))
            peers.push_back(std::move(s));
    }
    // Peers above the window's cap are closed at once.
    waitFor([] { return false; }, 2000);
    int open = 0;
    QTcpSocket *kept = nullptr;
    for (auto &p : peers) {
        if (p->state() == QAbstractSocket::ConnectedState) {
            ++open;
            kept = kept ? kept : p.get();
        }
    }
    say("open", open);
    waitForLine("send");
    if (kept) {
        kept->write(transfer("idle.bin", fileContent(qint64(fileMib) * MiB)));
        while (kept->bytesToWrite() > 0 && kept->waitForBytesWritten(30000)) {
        }
    }
    say("file", nowMs());
    waitForLine("quit");
    return 0;
}

int peerChurn(quint16 port, int warm, int cycles)
{
    auto kept = connectPeer(port);
    if (!kept)
        return 1;
    const auto churn = [port](int n) {
        for (int i = 0; i < n; ++i) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port);
            if (s.waitForConnected(10000)) {
                s.disconnectFromHost();
                if (s.state() != QAbstractSocket::UnconnectedState)
                    s.waitForDisconnected(1000);
            }
        }
    };
    churn(warm);
    say("warm", warm);
    waitForLine("go");
    churn(cycles);
    say("done", cycles);
    waitForLine("quit");
    return 0;
}

int runPeer(const QStringList &a)
{
    const quint16 port = quint16(a.value(1).toUInt());
    if (a.value(0) == QLatin1String("texts"))
        return peerTexts(port, a.value(2).toInt(), a.value(3).toLongLong());
    if (a.value(0) == QLatin1String("burst"))
        return peerBurst(port, a.value(2).toInt(), a.value(3).toInt(), a.value(4).toInt());
    if (a.value(0) == QLatin1String("idle"))
        return peerIdle(port, a.value(2).toInt(), a.value(3).toInt());
    if (a.value(0) == QLatin1String("churn"))
        return peerChurn(port, a.value(2).toInt(), a.value(3).toInt());
    return 2;
}

// ---- parent: the window ----------------------------------------------------------------

// Reads what the window shows, as it shows it.
class LogWatch : public QObject {
public:
    explicit LogWatch(QTextDocument *doc) : doc(doc)
    {
        connect(doc, &QTextDocument::contentsChange, this, [this](int from, int, int added) { read(from, added); });
    }
    std::function<void()> onChange;
    qint64 shownTexts = 0;
    qint64 shownBytes = 0; // of texts shown whole
    qint64 leftOutTexts = 0;
    qint64 leftOutBytes = 0;
    qint64 reportMs = -1;  // when the last file report showed
    qint64 reportedSize = -1;
    int connects = 0;
    int disconnects = 0;

private:
    void read(int from, int added)
    {
        static const QRegularExpression leftOut(QStringLiteral("^……已省略 (\\d+) 条文本（(\\d+) 字节）$"));
        for (QTextBlock b = doc->findBlock(from); b.isValid() && b.position() <= from + added; b = b.next()) {
            if (b.userState() != -1)
                continue;
            b.setUserState(1);
            const QString text = b.text();
            if (text.startsWith(QLatin1String("[in] "))) {
                ++shownTexts;
                shownBytes += text.size() - 5;
            } else if (const auto m = leftOut.match(text); m.hasMatch()) {
                leftOutTexts += m.captured(1).toLongLong();
                leftOutBytes += m.captured(2).toLongLong();
            } else if (text.startsWith(QStringLiteral("文件接收大小:"))) {
                reportMs = nowMs();
                reportedSize = text.section(QLatin1Char(':'), 1).toLongLong();
            } else if (text == QStringLiteral("已和客户端建立连接")) {
                ++connects;
            } else if (text == QStringLiteral("已和客户端断开连接")) {
                ++disconnects;
            }
        }
        if (onChange)
            onChange();
    }
    QTextDocument *doc;
};

struct Rig {
    QTemporaryDir dir;
    QString recvDir;
    quint16 port = freePort();
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<LogWatch> watch;
    QProcess child;
    QByteArray out;

    bool start(const QStringList &peerArgs)
    {
        recvDir = dir.filePath(QStringLiteral("recv"));
        QDir().mkpath(recvDir);
        const QString settings = dir.filePath(QStringLiteral("settings.ini"));
        {
            QSettings s(settings, QSettings::IniFormat);
            s.setValue(QStringLiteral("socketType"), QStringLiteral("server"));
            s.setValue(QStringLiteral("saveFilePath"), recvDir);
        }
        window = std::make_unique<MainWindow>(port, settings);
        window->resize(900, 700);
        window->show();
        watch = std::make_unique<LogWatch>(window->findChild<QTextEdit *>(QStringLiteral("textEdit"))->document());
        window->findChild<QAction *>(QStringLiteral("act_startListen"))->trigger();
        waitFor([this] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            return probe.waitForConnected(100);
        }, 5000);
        waitFor([] { return false; }, 500);
        QObject::connect(&child, &QProcess::readyReadStandardOutput, [this] { out += child.readAllStandardOutput(); });
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList args{QStringLiteral("--peer"), peerArgs.value(0), QString::number(port)};
        child.start(QCoreApplication::applicationFilePath(), args + peerArgs.mid(1));
        return child.waitForStarted(5000);
    }
    // The value the child printed after `word`, waiting for it up to timeoutMs; -1 if none.
    qint64 childSaid(const char *word, int timeoutMs)
    {
        const QByteArray key = QByteArray(word) + ' ';
        qint64 value = -1;
        waitFor([&] {
            for (const QByteArray &line : out.split('\n')) {
                if (line.startsWith(key))
                    value = line.mid(key.size()).toLongLong();
            }
            return value >= 0;
        }, timeoutMs);
        return value;
    }
    void tell(const char *line) { child.write(line); }
    ~Rig()
    {
        child.write("quit\nquit\nquit\n");
        if (!child.waitForFinished(5000))
            child.kill();
        child.waitForFinished(5000);
        window.reset();
    }
};

// Process CPU over the next ms milliseconds, in % of one core, the event loop running.
double cpuOver(int ms)
{
    const double before = processCpuSeconds();
    const qint64 start = nowMs();
    // One timer, not waitFor's polling, so that the measuring costs nothing itself.
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return 100.0 * (processCpuSeconds() - before) / (double(nowMs() - start) / 1000.0);
}

void texts(int seconds)
{
    Rig rig;
    const qint64 t0 = nowMs() + 1500;
    if (!rig.start({QStringLiteral("texts"), QString::number(seconds), QString::number(t0)}))
        return;
    const int total = seconds * 1000;
    // Lag: how long the oldest text that a change of the log accounts for had been due.
    qint64 worstLag = 0, newest = -1;
    QEventLoop loop; // no polling: the measuring must cost nothing itself
    rig.watch->onChange = [&] {
        const qint64 accounted = (rig.watch->shownBytes + rig.watch->leftOutBytes) / 11 - 1;
        if (accounted > newest)
            worstLag = qMax(worstLag, nowMs() - (t0 + newest + 1));
        newest = accounted;
        if (newest >= total - 1)
            loop.quit();
    };
    waitFor([&] { return nowMs() >= t0; }, 5000);
    const qint64 rss0 = procStatusKiB("VmRSS:");
    const double cpu0 = processCpuSeconds();
    QTimer::singleShot((seconds + 10) * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const bool all = newest >= total - 1;
    const double elapsed = double(nowMs() - t0) / 1000.0;
    const double cpu = 100.0 * (processCpuSeconds() - cpu0) / elapsed;
    const qint64 lastLag = rig.watch->shownBytes + rig.watch->leftOutBytes >= qint64(total) * 11
                               ? nowMs() - (t0 + total - 1) : -1;
    std::printf("texts: %d texts/s for %d s%s: the log at most %lld ms behind (the last text %lld ms);"
                " process CPU %.1f %% of a core; RSS %+.1f MiB; %lld texts shown, %lld left out"
                " (sender at most %lld ms late)\n",
                1000, seconds, all ? "" : " (NOT ALL ACCOUNTED)", worstLag, lastLag, cpu,
                (procStatusKiB("VmRSS:") - rss0) / 1024.0, rig.watch->shownTexts, rig.watch->leftOutTexts,
                rig.childSaid("late", 5000));
}

void burstOnce(int mib, int connections)
{
    const int fileMib = 4;
    Rig rig;
    waitFor([] { return false; }, 300);
    if (!rig.start({QStringLiteral("burst"), QString::number(mib), QString::number(connections), QString::number(fileMib)}))
        return;
    bench::resetPeakRss();
    const qint64 idle = procStatusKiB("VmRSS:");
    const qint64 fileMs = rig.childSaid("file", 120000);
    const qint64 doneMs = rig.childSaid("done", 120000);
    const qint64 sinceDone = nowMs() - doneMs;
    const double first = sinceDone < 1000 ? cpuOver(int(1000 - sinceDone)) : -1;
    const double second = cpuOver(1000);
    waitFor([&] { return rig.watch->reportMs >= 0; }, 10000);
    QFile got(QDir(rig.recvDir).filePath(QStringLiteral("amid.bin")));
    const bool whole = got.open(QIODevice::ReadOnly) && got.readAll() == fileContent(qint64(fileMib) * MiB);
    std::printf("burst: %d MiB over %d connection(s): CPU %.1f %% in the 1st second after the last byte was sent,"
                " %.1f %% in the 2nd; peak RSS %.1f MiB above idle (%.1f MiB idle); a %d MiB file sent amid it %s,"
                " its report (%lld bytes) %lld ms after its last byte was sent\n",
                mib, connections, first, second, (procStatusKiB("VmHWM:") - idle) / 1024.0, idle / 1024.0, fileMib,
                whole ? "arrived whole" : "DID NOT ARRIVE WHOLE", rig.watch->reportedSize,
                rig.watch->reportMs >= 0 ? rig.watch->reportMs - fileMs : -1);
}

void idlePeers()
{
    Rig rig;
    if (!rig.start({QStringLiteral("idle"), QStringLiteral("1000"), QStringLiteral("4")}))
        return;
    // The child has its descriptors from before; only this process is limited.
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = 1024;
    setrlimit(RLIMIT_NOFILE, &low);
    const qint64 open = rig.childSaid("open", 120000);
    waitFor([] { return false; }, 1000);
    const double cpu = cpuOver(5000);
    rig.watch->reportMs = -1;
    rig.tell("send\n");
    const qint64 fileMs = rig.childSaid("file", 60000);
    waitFor([&] { return rig.watch->reportMs >= 0; }, 10000);
    QFile got(QDir(rig.recvDir).filePath(QStringLiteral("idle.bin")));
    const bool whole = got.open(QIODevice::ReadOnly) && got.readAll() == fileContent(4 * MiB);
    std::printf("idle: 1000 peers at a 1024-descriptor limit: %lld kept, %d connects logged; process CPU %.2f %% of a"
                " core over 5 s; a 4 MiB file over a kept connection %s, report %lld ms after its last byte\n",
                open, rig.watch->connects, cpu, whole ? "arrived whole" : "DID NOT ARRIVE WHOLE",
                rig.watch->reportMs >= 0 ? rig.watch->reportMs - fileMs : -1);
    setrlimit(RLIMIT_NOFILE, &saved);
}

void churn()
{
    Rig rig;
    const int warm = 1000, cycles = 6000;
    if (!rig.start({QStringLiteral("churn"), QString::number(warm), QString::number(cycles)}))
        return;
    const qint64 start = procStatusKiB("VmRSS:");
    rig.childSaid("warm", 120000);
    waitFor([&] { return rig.watch->disconnects >= rig.watch->connects - 1; }, 60000);
    waitFor([] { return false; }, 1000);
    const qint64 warmed = procStatusKiB("VmRSS:");
    const qint64 heapWarmed = heapInUse();
    rig.tell("go\n");
    rig.childSaid("done", 300000);
    // Every close handled and every socket's deferred deletion run before measuring.
    waitFor([&] { return rig.watch->disconnects >= rig.watch->connects - 1; }, 60000);
    waitFor([] { return false; }, 1000);
    const qint64 after = procStatusKiB("VmRSS:");
    const qint64 heapAfter = heapInUse();
    malloc_trim(0);
    std::printf("churn: %d connect/close cycles with one peer kept: RSS %+.2f MiB (after %d warm-up cycles;"
                " %+.2f MiB from the start), heap in use %+.2f MiB, RSS %+.2f MiB once the allocator gives back"
                " what it keeps; %d connects logged\n",
                cycles, (after - warmed) / 1024.0, warm, (after - start) / 1024.0, (heapAfter - heapWarmed) / double(MiB),
                (procStatusKiB("VmRSS:") - warmed) / 1024.0, rig.watch->connects);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--peer") == 0) {
        QCoreApplication app(argc, argv);
        return runPeer(app.arguments().mid(2));
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const QStringList args = app.arguments();
    const QString only = args.value(args.indexOf(QStringLiteral("--only")) + 1);
    const int seconds = args.contains(QStringLiteral("--seconds"))
                            ? args.value(args.indexOf(QStringLiteral("--seconds")) + 1).toInt() : 30;
    const auto run = [&](const char *part) { return !args.contains(QStringLiteral("--only")) || only == QLatin1String(part); };
    if (run("texts"))
        texts(seconds);
    if (run("burst")) {
        burstOnce(50, 1);
        burstOnce(100, 10);
    }
    if (run("idle"))
        idlePeers();
    if (run("churn"))
        churn();
    return 0;
}
