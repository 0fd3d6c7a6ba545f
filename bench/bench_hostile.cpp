// A hostile peer against a running receiver, black-box over loopback: it starts
// `lumo-transfer receive DIR --port P`, speaks the protocol byte for byte with the project's own
// codecs (the UDP capability exchange and the upgrade frames included, as a stranger would) and
// prints what it measured and PASS/FAIL per scenario. Prints figures; it is not a test.
//
//   bench_hostile [--program PATH] [--seconds N (10)] [--only text|text-plain|unread|resume|dirs|dirs-deep|room]
#include "transfer/extframing.h"
#include "transfer/filedigest.h"
#include "transfer/peerdatagram.h"
#include "transfer/wireformat.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <tuple>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 rssLimitKiB = 64 * 1024;
int seconds = 10;
int failures = 0;

quint64 nonzeroRandom() { return QRandomGenerator::system()->generate64() | 1; }

void verdict(bool pass, const QString &expectation)
{
    std::printf("  %s (%s)\n", pass ? "PASS" : "FAIL", qPrintable(expectation));
    failures += pass ? 0 : 1;
}

double mib(qint64 kib) { return double(kib) / 1024.0; }

qint64 countLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    qint64 lines = 0;
    while (!f.atEnd())
        lines += f.read(1 << 20).count('\n');
    return lines;
}

// Bytes of a fixed pseudo-random pattern: what the senders send and the receiver must store.
QByteArray pattern(qint64 size, quint64 seed)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    quint64 x = seed | 1;
    for (qint64 i = 0; i < size; i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::memcpy(bytes.data() + i, &x, size_t(qMin<qint64>(8, size - i)));
    }
    return bytes;
}

QByteArray digestOf(const char *data, qsizetype size)
{
    FileDigest d;
    d.add(data, size);
    return d.result();
}

sockaddr_in address(quint16 port, quint32 host)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(host);
    return a;
}

// A port free for both TCP and UDP on every address, never the usual one.
quint16 freePort()
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        const quint16 port = quint16(20000 + QRandomGenerator::global()->bounded(40000));
        bool free = port != 8080;
        for (const int type : {SOCK_STREAM, SOCK_DGRAM}) {
            const int fd = ::socket(AF_INET, type, 0);
            const sockaddr_in a = address(port, INADDR_ANY);
            free = free && fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
            ::close(fd);
        }
        if (free)
            return port;
    }
    return 0;
}

// The program under test, its output in files (a full pipe would stall it and skew the figures).
class Receiver {
public:
    bool start(const QString &program, const QString &into)
    {
        dir = into;
        port = freePort();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LUMO_LOOPBACK_ONLY"), QStringLiteral("1"));
        process.setProcessEnvironment(env);
        process.setStandardOutputFile(logs.filePath(QStringLiteral("out")));
        process.setStandardErrorFile(logs.filePath(QStringLiteral("err")));
        process.start(program, {QStringLiteral("receive"), dir, QStringLiteral("--port"), QString::number(port)});
        if (!port || !process.waitForStarted(5000))
            return false;
        pid = process.processId();
        for (QDeadlineTimer until(10000); !until.hasExpired(); QThread::msleep(20)) {
            if (errors().contains("listening on port")) {
                QThread::msleep(300); // its threads settle before the idle figure
                idleKiB = rssKiB();
                return true;
            }
            if (!alive())
                return false;
        }
        return false;
    }
    qint64 rssKiB() const
    {
        QFile f(QStringLiteral("/proc/%1/status").arg(pid));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
        return -1;
    }
    bool alive() const
    {
        QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!f.open(QIODevice::ReadOnly))
            return false;
        const QByteArray stat = f.readAll();
        const int paren = stat.lastIndexOf(')');
        return paren > 0 && stat.size() > paren + 2 && stat.at(paren + 2) != 'Z' && stat.at(paren + 2) != 'X';
    }
    QByteArray errors() const
    {
        QFile f(logs.filePath(QStringLiteral("err")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void summary() const
    {
        std::printf("  receiver: %s, stdout %lld lines, stderr %lld lines\n", alive() ? "alive" : "NOT RUNNING",
                    countLines(logs.filePath(QStringLiteral("out"))), countLines(logs.filePath(QStringLiteral("err"))));
        for (const char *name : {"out", "err"}) {
            QFile f(logs.filePath(QLatin1String(name)));
            if (f.open(QIODevice::ReadOnly) && f.size() > 0) {
                f.seek(qMax<qint64>(0, f.size() - 4096));
                const QByteArray last = f.readAll().trimmed().split('\n').last().left(120);
                std::printf("    last %s line: %s\n", name, last.constData());
            }
        }
    }
    ~Receiver()
    {
        process.terminate();
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(5000))
            process.kill(), process.waitForFinished(2000);
    }

    QString dir;
    quint16 port = 0;
    qint64 pid = 0;
    qint64 idleKiB = 0;

private:
    QTemporaryDir logs;
    QProcess process;
};

// The receiver's resident memory over time: sampled at most every 20 ms.
struct RssWatch {
    explicit RssWatch(const Receiver &receiver) : receiver(receiver) {}
    const Receiver &receiver;
    qint64 peakKiB = 0;
    QElapsedTimer since;
    void sample()
    {
        if (since.isValid() && since.elapsed() < 20)
            return;
        since.start();
        peakKiB = qMax(peakKiB, receiver.rssKiB());
    }
    qint64 peakAbove() const { return peakKiB - receiver.idleKiB; }
};

// One TCP connection to the receiver, non-blocking under poll.
class Conn {
public:
    bool open(quint16 port, bool noDelay = false)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in a = address(port, INADDR_LOOPBACK);
        if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0)
            return false;
        const int one = 1;
        if (noDelay)
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        return true;
    }
    quint16 localPort() const
    {
        sockaddr_in a{};
        socklen_t size = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
        return ntohs(a.sin_port);
    }
    // What the socket takes now, without waiting: -1 once the connection failed.
    qint64 sendSome(const char *data, qint64 size)
    {
        const ssize_t n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
    bool waitWritable(int ms)
    {
        pollfd p{fd, POLLOUT, 0};
        return ::poll(&p, 1, ms) > 0 && (p.revents & POLLOUT);
    }
    // Reads what arrives within ms (at most one wait); false at the end of the stream.
    bool readInto(QByteArray &into, int ms)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return true;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                into.append(buffer, int(n));
                continue;
            }
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
    ~Conn()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int fd = -1;
};

// What the receiver answers on an upgraded connection.
struct Answer {
    extwire::Type type;
    quint64 value = 0;
    QByteArray digest;
};

class Answers final : public ExtSink {
public:
    std::deque<Answer> got;
    bool broken = false;
    void accepted(quint64 offset, const QByteArray &digest) override { got.push_back({extwire::Type::Accept, offset, digest}); }
    void refused(extwire::RefuseReason r) override { got.push_back({extwire::Type::Refuse, quint64(r), {}}); }
    void result(extwire::ResultStatus s) override { got.push_back({extwire::Type::Result, quint64(s), {}}); }
    void failed(Error) override { broken = true; }
    void text(const QByteArray &) override {}
    void offer(const QString &, quint64, qint64) override {}
    void start(quint64) override {}
    void data(const char *, qsizetype) override {}
    void fileEnd(const QByteArray &) override {}
    void folder(const QString &, quint32, quint64) override {}
    void directory(const QString &) override {}
    void folderEnd() override {}
    void aborted(extwire::AbortReason) override {}
};

// A stranger that becomes an upgraded peer: the UDP exchange on the TCP port's number, then the
// upgrade frames on the connection. Its direction is extended framing after its reply frame.
class Instance {
public:
    QString upgrade(quint16 port)
    {
        if (!conn.open(port))
            return QStringLiteral("cannot connect");
        const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in to = address(port, INADDR_LOOPBACK);
        const auto post = [&](const QByteArray &d) {
            ::sendto(udp, d.constData(), size_t(d.size()), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        };
        peerwire::Datagram probe;
        probe.kind = peerwire::Kind::CapabilityProbe;
        probe.sender = nonzeroRandom();
        probe.nonce = nonzeroRandom();
        probe.localPort = conn.localPort();
        probe.remotePort = port;
        probe.features = extwire::knownFeatures;
        const QByteArray probeBytes = peerwire::encode(probe);
        std::optional<peerwire::Datagram> answer;
        // Repeated: the receiver may not have taken the connection from its queue yet.
        for (int i = 0; i < 30 && !answer; ++i) {
            post(probeBytes);
            pollfd p{udp, POLLIN, 0};
            char buffer[512];
            while (!answer && ::poll(&p, 1, 100) > 0) {
                const ssize_t n = ::recv(udp, buffer, sizeof buffer, 0);
                const auto d = n > 0 ? peerwire::parse(buffer, n) : std::nullopt;
                if (d && d->kind == peerwire::Kind::CapabilityAnswer && d->nonce == probe.nonce)
                    answer = d;
            }
        }
        if (!answer)
            return ::close(udp), QStringLiteral("no capability answer");
        peerwire::Datagram confirm;
        confirm.kind = peerwire::Kind::CapabilityConfirm;
        confirm.sender = probe.sender;
        confirm.nonce = answer->other;
        confirm.other = answer->sender;
        post(peerwire::encode(confirm));
        ::close(udp);
        feature = extwire::chosenFeature(answer->features & extwire::knownFeatures);
        if (!extwire::isFraming(feature))
            return QStringLiteral("no common framing (answer features %1)").arg(answer->features);
        theirNonces = {answer->other};
        if (!send(extwire::encodeUpgrade(feature, false, theirNonces), 5000))
            return QStringLiteral("cannot write the upgrade frame");
        // Their first frame (reply 0) may come before their reply; only the reply switches them.
        QByteArray pre;
        for (QDeadlineTimer until(5000); !until.hasExpired();) {
            if (!conn.readInto(pre, 50))
                return QStringLiteral("connection closed during the upgrade");
            for (qsizetype at; (at = pre.indexOf(extwire::upgradeMagic)) >= 0;) {
                extwire::Upgrade u;
                qsizetype used = 0;
                const auto scan = extwire::scanUpgrade(pre.constData() + at, pre.size() - at, &u, &used);
                if (scan == extwire::Scan::NeedMore)
                    break;
                pre.remove(0, int(at + (scan == extwire::Scan::Yes ? used : 1)));
                if (scan == extwire::Scan::Yes && u.reply) {
                    if (!send(extwire::encodeUpgrade(feature, true, theirNonces), 5000))
                        return QStringLiteral("cannot write the reply frame");
                    switched = true;
                    parser.feed(pre);
                    return QString();
                }
            }
        }
        return QStringLiteral("no reply frame from the receiver");
    }
    // Writes all of bytes within ms, reading the answers meanwhile (once they are frames).
    bool send(const QByteArray &bytes, int ms = 60000)
    {
        qint64 done = 0;
        for (QDeadlineTimer until(ms); done < bytes.size() && !until.hasExpired();) {
            pollfd p{conn.fd, POLLOUT | POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            if ((p.revents & POLLIN) && switched && !pump(0))
                return false;
            if (p.revents & (POLLOUT | POLLERR | POLLHUP)) {
                const qint64 n = conn.sendSome(bytes.constData() + done, bytes.size() - done);
                if (n < 0)
                    return false;
                done += n;
            }
        }
        return done == bytes.size();
    }
    bool pump(int ms)
    {
        QByteArray in;
        const bool open = conn.readInto(in, ms);
        parser.feed(in);
        return open;
    }
    // The next answer within ms, or nothing (the connection closed or the receiver is silent).
    std::optional<Answer> next(int ms)
    {
        for (QDeadlineTimer until(ms); sink.got.empty() && !until.hasExpired() && pump(20);) {
        }
        if (sink.got.empty())
            return std::nullopt;
        const Answer a = sink.got.front();
        sink.got.pop_front();
        return a;
    }

    Conn conn;
    bool switched = false; // the receiver's reply came: its direction is frames
    quint32 feature = 0;
    QVector<quint64> theirNonces; // the receiver's nonce, which our frames carry
    Answers sink;
    ExtParser parser{sink};
};

QString answerText(const std::optional<Answer> &a)
{
    if (!a)
        return QStringLiteral("none");
    if (a->type == extwire::Type::Accept)
        return QStringLiteral("accept %1 digest %2").arg(a->value).arg(QString::fromLatin1(a->digest.toHex()));
    return QLatin1String(a->type == extwire::Type::Refuse ? "refuse " : "result ") + QString::number(a->value);
}

// Each scenario gets a receiver of its own: its state at the end is one of the figures.
void run(const QString &program, const QString &dir, const std::function<void(Receiver &)> &scenario)
{
    Receiver r;
    if (!r.start(program, dir)) {
        std::printf("  cannot start %s\n", qPrintable(program));
        return verdict(false, QStringLiteral("the receiver starts"));
    }
    std::printf("  receiver pid %lld on port %u, idle RSS %.1f MiB\n", r.pid, unsigned(r.port), mib(r.idleKiB));
    scenario(r);
    r.summary();
}

bool upgraded(Instance &peer, const Receiver &r)
{
    const QString error = peer.upgrade(r.port);
    if (!error.isEmpty()) {
        std::printf("  upgrade failed: %s\n", qPrintable(error));
        verdict(false, QStringLiteral("the upgrade succeeds"));
    }
    return error.isEmpty();
}

// Writes batch over and over for seconds, as fast as the socket takes it, never reading;
// then leaves the connection open for settleMs. Prints what was sent and the receiver's memory.
void flood(Conn &conn, const QByteArray &batch, qint64 unit, const char *what, const Receiver &r, int settleMs)
{
    RssWatch rss(r);
    qint64 sent = 0;
    bool lost = false;
    QElapsedTimer clock;
    clock.start();
    for (qint64 at = 0; clock.elapsed() < seconds * 1000 && !lost;) {
        const qint64 n = conn.sendSome(batch.constData() + at, batch.size() - at);
        lost = n < 0;
        sent += qMax<qint64>(n, 0);
        at = (at + qMax<qint64>(n, 0)) % batch.size();
        if (n == 0)
            conn.waitWritable(10);
        rss.sample();
    }
    const double flooded = clock.elapsed() / 1000.0;
    const qint64 peakDuring = rss.peakAbove();
    for (QDeadlineTimer until(settleMs); !until.hasExpired(); QThread::msleep(20))
        rss.sample();
    std::printf("  sent %lld %s (%.1f MiB) in %.1f s%s\n", sent / unit, what, double(sent) / MiB, flooded,
                lost ? ", connection lost" : "");
    std::printf("  RSS above idle: peak during the flood %.1f MiB, peak overall %.1f MiB, %.1f s after it %.1f MiB\n",
                mib(peakDuring), mib(rss.peakAbove()), settleMs / 1000.0, mib(r.rssKiB() - r.idleKiB));
    verdict(rss.peakAbove() < rssLimitKiB && r.alive(), QStringLiteral("peak < 64 MiB above idle, still alive"));
}

void textFlood(Receiver &r, bool extended)
{
    Instance peer;
    if (!extended) {
        if (!peer.conn.open(r.port, true))
            return verdict(false, QStringLiteral("connects"));
        return flood(peer.conn, "x", 1, "texts", r, seconds * 1000);
    }
    if (!upgraded(peer, r))
        return;
    QByteArray batch;
    for (int i = 0; i < 10000; ++i)
        batch += extwire::text("x");
    flood(peer.conn, batch, extwire::text("x").size(), "texts", r, seconds * 1000);
}

void unreadAnswers(Receiver &r)
{
    // A name with a separator or ".." is a malformed frame, after which the receiver reads
    // nothing more of the connection; only a well-formed name it refuses draws an answer.
    for (const QString &name : {QStringLiteral("a/b"), QStringLiteral(".."), QStringLiteral("x.0123abcd.part")}) {
        Instance probe;
        const QString error = probe.upgrade(r.port);
        probe.send(extwire::offer(name, 10, 0), 2000);
        const auto a = error.isEmpty() ? probe.next(1000) : std::nullopt;
        std::printf("  offer \"%s\": %s\n", qPrintable(name), qPrintable(error.isEmpty() ? answerText(a) : error));
    }
    Instance peer;
    if (!upgraded(peer, r))
        return;
    // A name of the receiver's temporary form: refused when the file is opened, each one answered.
    const QByteArray one = extwire::offer(QStringLiteral("x.0123abcd.part"), 10, 0);
    flood(peer.conn, one.repeated(4000), one.size(), "refused offers", r, qMin(seconds, 3) * 1000);
}

// One file over an upgraded connection: offer, then from the accepted offset the data up to cut
// (an abort there) or the end with its digest. Returns the result, or what went wrong.
QString sendFile(const Receiver &r, const QString &name, const QByteArray &content, qint64 mtime, qint64 cut = -1)
{
    Instance peer;
    const QString error = peer.upgrade(r.port);
    if (!error.isEmpty())
        return error;
    peer.send(extwire::offer(name, quint64(content.size()), mtime));
    const auto a = peer.next(15000);
    if (!a || a->type != extwire::Type::Accept)
        return QStringLiteral("offer answered %1").arg(answerText(a));
    const qint64 from = qint64(a->value), to = cut < 0 ? content.size() : cut;
    bool ok = peer.send(extwire::start(quint64(from)));
    for (qint64 at = from; ok && at < to; at += extwire::maxDataBytes)
        ok = peer.send(extwire::data(content.constData() + at, qMin<qint64>(extwire::maxDataBytes, to - at)));
    if (cut >= 0) {
        ok = ok && peer.send(extwire::abort(extwire::AbortReason::Stopped));
        for (QDeadlineTimer until(1000); !until.hasExpired();)
            peer.pump(50); // closing at once could end the transfer before its abort is read
        return ok ? QStringLiteral("cut at %1 (accepted at %2)").arg(cut).arg(from) : QStringLiteral("write failed");
    }
    ok = ok && peer.send(extwire::end(digestOf(content.constData(), content.size())));
    return ok ? answerText(peer.next(15000)) : QStringLiteral("write failed");
}

bool sameContent(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.size() == content.size() && f.readAll() == content;
}

qint64 mtimeMs(const QString &path) { return QFileInfo(path).lastModified().toMSecsSinceEpoch(); }

void resumeReplay(Receiver &r)
{
    const QString name = QStringLiteral("report.bin");
    const QString target = QDir(r.dir).filePath(name), part = target + QStringLiteral(".part");
    const QByteArray original = pattern(48 * MiB, 1), other = pattern(48 * MiB, 2);
    const qint64 partLength = 22 * MiB, partTime = 1600000000000; // 2020-09-13
    const QByteArray prefixDigest = digestOf(other.constData(), partLength);

    const QString sentA = sendFile(r, name, original, QDateTime::currentMSecsSinceEpoch());
    std::printf("  A: %s, stored whole: %s\n", qPrintable(sentA), sameContent(target, original) ? "yes" : "NO");
    // The part a cut transfer of another report.bin leaves, with a time a stranger could know.
    const auto makePart = [&] {
        const QString how = sendFile(r, name, other, partTime, partLength);
        for (QDeadlineTimer until(3000); QFileInfo(part).size() != partLength && !until.hasExpired();)
            QThread::msleep(20);
        std::printf("  A2: %s; %s: %lld bytes, mtime %lld (want %lld)\n", qPrintable(how), qPrintable(QFileInfo(part).fileName()),
                    QFileInfo(part).size(), mtimeMs(part), partTime);
        return QFileInfo(part).size() == partLength;
    };
    if (!makePart())
        return verdict(false, QStringLiteral("a cut transfer leaves its part"));

    // One byte longer: the part is taken up; its answer is keyed to the stranger's connection.
    {
        Instance c;
        const QString error = c.upgrade(r.port);
        c.send(extwire::offer(name, quint64(partLength + 1), partTime));
        const auto a = error.isEmpty() ? c.next(15000) : std::nullopt;
        std::printf("  C (size %lld): %s\n", partLength + 1, qPrintable(error.isEmpty() ? answerText(a) : error));
        if (a && a->type == extwire::Type::Accept && a->value > 0)
            std::printf("    digest is the prefix's XXH3-128: %s; keyed to C's upgrade nonces: %s\n",
                        a->digest == prefixDigest ? "YES" : "no",
                        a->digest == FileDigest::keyed(c.theirNonces, digestOf(other.constData(), qint64(a->value))) ? "yes" : "no");
        c.send(extwire::abort(extwire::AbortReason::Stopped));
        for (QDeadlineTimer until(1000); !until.hasExpired();)
            c.pump(50);
    }

    // The stranger: the part's length and time, then an end with a digest it can name.
    bool kept = true;
    for (const bool fromAnswer : {true, false}) {
        if (QFileInfo(part).size() != partLength || mtimeMs(part) / 1000 != partTime / 1000)
            makePart();
        Instance b;
        if (!upgraded(b, r))
            return;
        b.send(extwire::offer(name, quint64(partLength), partTime));
        const auto a = b.next(15000);
        const qint64 offset = a && a->type == extwire::Type::Accept ? qint64(a->value) : -1;
        QString outcome = QStringLiteral("nothing sent");
        if (offset >= 0) {
            b.send(extwire::start(quint64(offset)));
            b.send(extwire::end(fromAnswer ? a->digest : prefixDigest));
            outcome = answerText(b.next(3000));
            if (outcome == QLatin1String("none"))
                outcome = QStringLiteral("no result (the receiver stopped reading: malformed end)");
        }
        QThread::msleep(200);
        const bool same = sameContent(target, original);
        kept = kept && same;
        std::printf("  B (size %lld, end with %s): offer %s; end: %s; report.bin still the original: %s\n", partLength,
                    fromAnswer ? "the answer's digest" : "XXH3-128 of the first 22 MiB", qPrintable(answerText(a)),
                    qPrintable(outcome), same ? "yes" : "NO");
    }
    std::printf("  files: %s\n", qPrintable(QDir(r.dir).entryList(QDir::Files | QDir::Hidden).join(QStringLiteral(", "))));
    verdict(kept && r.alive(), QStringLiteral("report.bin not replaced by the stranger"));
}

void directoriesBesidePlain(Receiver &r, bool deep)
{
    const int frames = deep ? 40 : 50000;
    Instance flooder;
    if (!upgraded(flooder, r))
        return;
    const QString top = QStringLiteral("tree");
    QString chain; // 498 more components: 500 with the folder and the branch, under 1024 bytes
    for (int i = 0; i < 498; ++i)
        chain += QStringLiteral("/a");
    QElapsedTimer clock;
    clock.start();
    qint64 writtenMs = -1, handledMs = -1;
    std::thread writer([&] {
        QByteArray batch = extwire::folder(top, quint32(frames + 1), 0);
        for (int i = 0; i < frames; ++i) {
            batch += extwire::directory(deep ? QStringLiteral("%1/b%2%3").arg(top).arg(i).arg(chain)
                                             : QStringLiteral("%1/d%2").arg(top).arg(i));
            if (batch.size() > 256 * 1024 && flooder.send(batch, 120000))
                batch.clear();
        }
        // An offer after them: its answer comes once every directory before it was handled.
        flooder.send(batch + extwire::offer(top + QStringLiteral("/done"), 1, 0), 120000);
        writtenMs = clock.elapsed();
        if (flooder.next(120000))
            handledMs = clock.elapsed();
        flooder.send(extwire::abort(extwire::AbortReason::Stopped), 5000);
    });
    QThread::msleep(200);
    const QByteArray content = pattern(24 * MiB, 3);
    Conn plain;
    bool ok = plain.open(r.port, true);
    const QByteArray head = wire::startMarker + "plain.bin" + wire::sizeMarker + QByteArray::number(content.size())
                            + wire::sizeEndMarker;
    const auto write = [&](const char *data, qint64 size) {
        for (qint64 done = 0; ok && done < size;) {
            const qint64 n = plain.sendSome(data + done, size - done);
            ok = n >= 0 && (n > 0 || plain.waitWritable(1000));
            done += qMax<qint64>(n, 0);
        }
    };
    const qint64 plainStart = clock.elapsed();
    write(head.constData(), head.size());
    for (qint64 at = 0; ok && at < content.size(); at += 4096) {
        write(content.constData() + at, qMin<qint64>(4096, content.size() - at));
        ::usleep(1000);
    }
    write(wire::endMarker.constData(), wire::endMarker.size());
    const qint64 plainSentMs = clock.elapsed() - plainStart;
    const QString stored = QDir(r.dir).filePath(QStringLiteral("plain.bin"));
    for (QDeadlineTimer until(20000); QFileInfo(stored).size() != content.size() && !until.hasExpired();)
        QThread::msleep(50);
    QThread::msleep(300);
    const bool whole = sameContent(stored, content);
    const QStringList parts = QDir(r.dir).entryList({QStringLiteral("plain.bin*.part")}, QDir::Files | QDir::Hidden);
    writer.join();
    const int made = QDir(QDir(r.dir).filePath(top)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
    std::printf("  plain file sent in %.1f s (%s); stored whole: %s; parts left: %s\n", plainSentMs / 1000.0,
                ok ? "all written" : "write failed", whole ? "yes" : "NO",
                parts.isEmpty() ? "none" : qPrintable(parts.join(QStringLiteral(", "))));
    std::printf("  directory frames written in %.2f s, handled by %s; %d entries under %s\n", writtenMs / 1000.0,
                handledMs < 0 ? "(no answer within 120 s)" : qPrintable(QStringLiteral("%1 s").arg(handledMs / 1000.0)),
                made, qPrintable(top));
    for (const QByteArray &line : r.errors().split('\n')) {
        if (line.contains("plain.bin"))
            std::printf("  stderr: %s\n", line.constData());
    }
    verdict(whole && parts.isEmpty() && r.alive(), QStringLiteral("the plain file stored whole, no .part left"));
}

void sharedRoom(const QString &program)
{
    if (::geteuid() != 0) {
        std::printf("  SKIP (needs root to mount a tmpfs)\n");
        return;
    }
    QTemporaryDir mountPoint;
    const QByteArray at = QFile::encodeName(mountPoint.path());
    if (::mount("tmpfs", at.constData(), "tmpfs", 0, "size=160m") != 0) {
        std::printf("  SKIP (cannot mount a tmpfs: %s)\n", std::strerror(errno));
        return;
    }
    const auto freeBytes = [&] {
        struct statvfs fs{};
        return ::statvfs(at.constData(), &fs) == 0 ? qint64(fs.f_bavail) * qint64(fs.f_frsize) : -1;
    };
    run(program, mountPoint.path(), [&](Receiver &r) {
        const qint64 third = freeBytes() / 3;
        std::printf("  free %.1f MiB on a 160 MiB tmpfs; each offer declares %.1f MiB\n", double(freeBytes()) / MiB,
                    double(third) / MiB);
        Instance peers[8];
        QStringList answers;
        QVector<int> accepted;
        for (int i = 0; i < 8; ++i) {
            const QString error = peers[i].upgrade(r.port);
            peers[i].send(extwire::offer(QStringLiteral("big%1.bin").arg(i), quint64(third), 0));
            const auto a = error.isEmpty() ? peers[i].next(15000) : std::nullopt;
            answers << (error.isEmpty() ? answerText(a).section(QLatin1Char(' '), 0, 1) : error);
            if (a && a->type == extwire::Type::Accept)
                accepted << i;
        }
        std::printf("  answers: %s\n  accepted %d of 8; free now %.1f MiB\n", qPrintable(answers.join(QStringLiteral(", "))),
                    int(accepted.size()), double(freeBytes()) / MiB);
        // The accepted ones send their data side by side, 1 MiB each in turn.
        const QByteArray content = pattern(third, 4);
        for (const int i : accepted)
            peers[i].send(extwire::start(0));
        for (qint64 pos = 0; pos < third; pos += extwire::maxDataBytes) {
            for (const int i : accepted)
                peers[i].send(extwire::data(content.constData() + pos, qMin<qint64>(extwire::maxDataBytes, third - pos)), 5000);
        }
        QStringList results;
        for (const int i : accepted) {
            peers[i].send(extwire::end(digestOf(content.constData(), content.size())), 5000);
            results << QStringLiteral("big%1 %2").arg(i).arg(answerText(peers[i].next(15000)));
        }
        qint64 kept = 0;
        for (const QFileInfo &f : QDir(mountPoint.path()).entryInfoList(QDir::Files | QDir::Hidden))
            kept += f.size();
        std::printf("  results: %s\n  free at the end %.1f MiB; files left %.1f MiB (%s)\n",
                    qPrintable(results.join(QStringLiteral(", "))), double(freeBytes()) / MiB, double(kept) / MiB,
                    qPrintable(QDir(mountPoint.path()).entryList(QDir::Files | QDir::Hidden).join(QStringLiteral(", "))));
        std::printf("  REPORT (not all accepted is the aim; this depends on a free-space ledger)\n");
    });
    if (::umount2(at.constData(), MNT_DETACH) != 0)
        std::printf("  cannot unmount %s: %s\n", at.constData(), std::strerror(errno));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const QStringList args = app.arguments();
    QString program, only;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--program") && i + 1 < args.size())
            program = args[++i];
        else if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = qMax(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--only") && i + 1 < args.size())
            only = args[++i];
        else {
            std::fprintf(stderr, "usage: bench_hostile [--program PATH] [--seconds N] [--only NAME]\n");
            return 2;
        }
    }
    // The bench sits in build/bench, the program in build.
    for (const QString &guess : {QStringLiteral("/../lumo-transfer"), QStringLiteral("/lumo-transfer")}) {
        if (program.isEmpty() && QFileInfo(app.applicationDirPath() + guess).isExecutable())
            program = QFileInfo(app.applicationDirPath() + guess).canonicalFilePath();
    }
    if (program.isEmpty()) {
        std::fprintf(stderr, "lumo-transfer not found beside the bench: give --program PATH\n");
        return 2;
    }
    std::printf("program %s, %d s per flood\n", qPrintable(program), seconds);
    const QString forSeconds = QStringLiteral(" for %1 s").arg(seconds);
    const std::tuple<const char *, QString, std::function<void(Receiver &)>> scenarios[] = {
        {"text", QStringLiteral("1-byte texts%1, extended framing (upgraded peer)").arg(forSeconds),
         [](Receiver &r) { textFlood(r, true); }},
        {"text-plain", QStringLiteral("1-byte texts%1, original framing (1 byte per write, TCP_NODELAY)").arg(forSeconds),
         [](Receiver &r) { textFlood(r, false); }},
        {"unread", QStringLiteral("refused offers%1, answers never read").arg(forSeconds), unreadAnswers},
        {"resume", QStringLiteral("a stranger offers a part's own length and time"), resumeReplay},
        {"dirs", QStringLiteral("50000 directory frames beside a paced plain 24 MiB file"),
         [](Receiver &r) { directoriesBesidePlain(r, false); }},
        {"dirs-deep", QStringLiteral("40 directory frames 500 deep beside a paced plain 24 MiB file"),
         [](Receiver &r) { directoriesBesidePlain(r, true); }},
        {"room", QStringLiteral("8 connections each declaring a third of the free room"), nullptr},
    };
    for (const auto &[name, title, body] : scenarios) {
        if (!only.isEmpty() && only != QLatin1String(name))
            continue;
        std::printf("== %s: %s\n", name, qPrintable(title));
        QTemporaryDir dir;
        body ? run(program, dir.path(), body) : sharedRoom(program);
    }
    std::printf("%d scenario(s) failed\n", failures);
    return failures ? 1 : 0;
}
