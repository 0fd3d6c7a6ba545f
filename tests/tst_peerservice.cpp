// The UDP service: which answers make a connection fast, and what it answers to whom.
// Loopback only; a fake peer in the test thread plays the other instance.
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <memory>
#include <vector>

#include "net/codes.h"
#include "net/peerservice.h"
#include "transfer/extframing.h"
#include "tests/freeport.h"

using peerwire::Datagram;
using peerwire::Kind;

namespace {

// A TCP connection on loopback, both ends in the test thread. A dual-stack server (as the
// worker's) sees its IPv4 client as ::ffff:127.0.0.1.
struct Pair {
    QTcpServer server;
    std::unique_ptr<QTcpSocket> client = std::make_unique<QTcpSocket>();
    std::unique_ptr<QTcpSocket> accepted;
    bool open(bool dualStack = false)
    {
        if (!server.listen(dualStack ? QHostAddress(QHostAddress::Any) : QHostAddress(QHostAddress::LocalHost), 0))
            return false;
        client->connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!client->waitForConnected(5000) || !server.waitForNewConnection(5000))
            return false;
        accepted.reset(server.nextPendingConnection());
        return accepted != nullptr;
    }
};

struct Received {
    std::optional<Datagram> datagram;
    QByteArray bytes;
    QHostAddress from;
    quint16 port = 0;
};

// The next datagram for socket within timeoutMs, or nothing.
Received next(QUdpSocket &socket, int timeoutMs = 1000)
{
    if (!socket.hasPendingDatagrams() && !QSignalSpy(&socket, &QUdpSocket::readyRead).wait(timeoutMs)
        && !socket.hasPendingDatagrams())
        return {};
    Received r;
    r.bytes.resize(int(socket.pendingDatagramSize()));
    socket.readDatagram(r.bytes.data(), r.bytes.size(), &r.from, &r.port);
    r.datagram = peerwire::parse(r.bytes.constData(), r.bytes.size());
    return r;
}

Datagram capability(Kind kind, quint64 sender, quint64 nonce, quint64 other)
{
    Datagram d;
    d.kind = kind;
    d.sender = sender;
    d.nonce = nonce;
    d.other = other;
    return d;
}

QByteArray serverAnswer(const QString &hostName)
{
    Datagram d;
    d.kind = Kind::DiscoverAnswer;
    d.sender = 777;
    d.role = RoleServer;
    d.programVersion = QStringLiteral("1.0");
    d.hostName = hostName;
    return peerwire::encode(d);
}

QHostAddress loopback(int last) { return QHostAddress(QStringLiteral("127.0.0.%1").arg(last)); }

// Sockets bound to count addresses of 127.0.0.0/8 from 127.0.0.first on, at port.
std::vector<std::unique_ptr<QUdpSocket>> boundSockets(int first, int count, quint16 port)
{
    std::vector<std::unique_ptr<QUdpSocket>> sockets;
    for (int i = 0; i < count; ++i) {
        auto s = std::make_unique<QUdpSocket>();
        if (!s->bind(loopback(first + i), port))
            return {};
        sockets.push_back(std::move(s));
    }
    return sockets;
}

// Whether a datagram from a socket bound to 127.0.0.2 arrives from that address (Wine sends
// it from 127.0.0.1): the tests of many sources need it.
bool loopbackSourcesKept()
{
    QUdpSocket to, from;
    if (!to.bind(QHostAddress(QHostAddress::LocalHost), 0) || !from.bind(loopback(2), 0))
        return false;
    from.writeDatagram("x", QHostAddress::LocalHost, to.localPort());
    if (!to.hasPendingDatagrams() && !to.waitForReadyRead(2000))
        return false;
    QHostAddress sender;
    char byte;
    to.readDatagram(&byte, 1, &sender);
    return sender == loopback(2);
}

} // namespace

class TestPeerService : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qRegisterMetaType<QTcpSocket *>();
    }
    void proberTurnsFastOnlyOnItsAnswer_data();
    void proberTurnsFastOnlyOnItsAnswer();
    void answererAnswersNoMoreThanItGets_data();
    void answererAnswersNoMoreThanItGets();
    void clientListsOnlyAnswersToItsProbe_data();
    void clientListsOnlyAnswersToItsProbe();
    void discoveryAnswersStayWithinBudget_data();
    void discoveryAnswersStayWithinBudget();
};

void TestPeerService::proberTurnsFastOnlyOnItsAnswer_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("fast");
    QTest::addColumn<bool>("fromServer"); // the server of a dual-stack listener probes its client
    QTest::newRow("answered") << QStringLiteral("answer") << true << false;
    QTest::newRow("unanswered") << QStringLiteral("none") << false << false;
    QTest::newRow("wrong nonce") << QStringLiteral("wrong nonce") << false << false;
    QTest::newRow("another version") << QStringLiteral("version 2") << false << false;
    QTest::newRow("cut short") << QStringLiteral("truncated") << false << false;
    QTest::newRow("after the window") << QStringLiteral("late") << false << false;
    QTest::newRow("answered, server probing its IPv4 client") << QStringLiteral("answer") << true << true;
}

// Catches a connection made fast by anything but the matching answer within the window:
// fast mode toward a peer that cannot take it would break that peer's files; and a probe
// that never leaves (an IPv4 client addressed as ::ffff:a.b.c.d on the IPv4 socket).
void TestPeerService::proberTurnsFastOnlyOnItsAnswer()
{
    QFETCH(QString, reply);
    QFETCH(bool, fast);
    QFETCH(bool, fromServer);
    const quint16 port = freePort();
    QUdpSocket fake;
    QVERIFY(fake.bind(QHostAddress::LocalHost, port));
    Pair pair;
    QVERIFY(pair.open(fromServer));
    QTcpSocket *tracked = fromServer ? pair.accepted.get() : pair.client.get();
    PeerService service(port);
    QSignalSpy changed(&service, &PeerService::fastChanged);
    service.track(tracked);

    const Received probe = next(fake);
    QVERIFY(probe.datagram && probe.datagram->kind == Kind::CapabilityProbe);
    QCOMPARE(probe.bytes.size(), peerwire::capabilityProbeSize);
    QCOMPARE(probe.datagram->localPort, tracked->localPort());
    QCOMPARE(probe.datagram->remotePort, tracked->peerPort());

    Datagram answer = capability(Kind::CapabilityAnswer, 777, probe.datagram->nonce, 999);
    if (reply == QLatin1String("wrong nonce"))
        answer.nonce += 1;
    QByteArray bytes = peerwire::encode(answer);
    if (reply == QLatin1String("version 2"))
        bytes[4] = 2;
    else if (reply == QLatin1String("truncated"))
        bytes.chop(1);
    else if (reply == QLatin1String("late"))
        QTest::qWait(PeerService::probeWindowMs + 50);
    if (reply != QLatin1String("none"))
        fake.writeDatagram(bytes, probe.from, probe.port);

    if (fast) {
        QTRY_VERIFY(service.isFast(tracked));
        QCOMPARE(changed.count(), 1);
        // The confirm lets the other end turn fast too.
        Received confirm;
        do
            confirm = next(fake);
        while (confirm.datagram && confirm.datagram->kind == Kind::CapabilityProbe);
        QVERIFY(confirm.datagram && confirm.datagram->kind == Kind::CapabilityConfirm);
        QCOMPARE(confirm.datagram->nonce, quint64(999));
        QCOMPARE(confirm.datagram->other, quint64(777));
    } else {
        QTest::qWait(PeerService::probeWindowMs + 100);
        QVERIFY(!service.isFast(tracked));
        QCOMPARE(changed.count(), 0);
    }
}

void TestPeerService::answererAnswersNoMoreThanItGets_data()
{
    QTest::addColumn<QString>("probe");
    QTest::addColumn<int>("answer"); // the kind answered, 0 for none
    QTest::addColumn<bool>("fast");  // after the prober's confirm
    QTest::newRow("capability probe for the connection") << QStringLiteral("capability") << int(Kind::CapabilityAnswer) << true;
    QTest::newRow("capability probe with feature bits") << QStringLiteral("features") << int(Kind::CapabilityAnswer) << true;
    QTest::newRow("another connection's ports") << QStringLiteral("other ports") << 0 << false;
    QTest::newRow("from this instance itself") << QStringLiteral("self") << 0 << false;
    QTest::newRow("from sender id 0") << QStringLiteral("sender 0") << 0 << false;
    QTest::newRow("capability probe amid a discovery flood") << QStringLiteral("flooded") << int(Kind::CapabilityAnswer) << true;
    QTest::newRow("confirm with a wrong nonce") << QStringLiteral("wrong confirm") << int(Kind::CapabilityAnswer) << false;
    QTest::newRow("discovery probe") << QStringLiteral("discover") << int(Kind::DiscoverAnswer) << false;
    QTest::newRow("discovery probe, not discoverable") << QStringLiteral("hidden") << 0 << false;
    QTest::newRow("discovery probe cut short") << QStringLiteral("short discover") << 0 << false;
    QTest::newRow("oversized") << QStringLiteral("oversized") << 0 << false;
}

// Catches answers larger than their probe (the service would amplify floods), answers to
// what is not ours to answer, a connection made fast without the prober's confirm, and an
// answer an older prober cannot take.
void TestPeerService::answererAnswersNoMoreThanItGets()
{
    QFETCH(QString, probe);
    QFETCH(int, answer);
    QFETCH(bool, fast);
    const quint16 port = freePort();
    Pair pair;
    QVERIFY(pair.open());
    PeerService service(port);
    service.answerDiscovery = probe != QLatin1String("hidden");
    service.serverListening = true;
    service.startAnswering();
    QVERIFY(service.isAnswering());
    service.track(pair.accepted.get());
    QUdpSocket prober;
    QVERIFY(prober.bind(QHostAddress(QHostAddress::LocalHost), 0));

    const quint64 sender = probe == QLatin1String("self") ? service.instanceId() : probe == QLatin1String("sender 0") ? 0 : 555;
    Datagram d = capability(Kind::CapabilityProbe, sender, 42, 0);
    d.localPort = pair.client->localPort();
    d.remotePort = pair.accepted->localPort();
    if (probe == QLatin1String("other ports"))
        d.localPort += 1;
    if (probe == QLatin1String("features"))
        d.features = 0x1;
    if (probe.contains(QLatin1String("discover")) || probe == QLatin1String("hidden"))
        d.kind = Kind::DiscoverProbe;
    QByteArray bytes = peerwire::encode(d);
    if (probe == QLatin1String("short discover"))
        bytes.chop(1);
    else if (probe == QLatin1String("oversized"))
        bytes = QByteArray(2000, 'L');
    QUdpSocket flooder; // spends the discovery budget first
    if (probe == QLatin1String("flooded")) {
        Datagram discover;
        discover.sender = 556;
        for (int i = 0; i < 100; ++i)
            flooder.writeDatagram(peerwire::encode(discover), QHostAddress::LocalHost, port);
    }
    prober.writeDatagram(bytes, QHostAddress::LocalHost, port);

    const Received got = next(prober, answer ? 1000 : 300);
    QCOMPARE(got.datagram ? int(got.datagram->kind) : 0, answer);
    QVERIFY2(got.bytes.size() <= bytes.size(), "an answer larger than its probe");
    if (got.datagram && got.datagram->kind == Kind::CapabilityAnswer) {
        QCOMPARE(got.datagram->nonce, quint64(42));
        // An older prober, which sends no features, drops any answer but the short one.
        QCOMPARE(got.bytes.size(), d.features ? peerwire::capabilityAnswerWithFeaturesSize : peerwire::capabilityAnswerSize);
        QCOMPARE(got.datagram->features, d.features ? extwire::knownFeatures : 0u);
        const quint64 confirmNonce = got.datagram->other + (probe == QLatin1String("wrong confirm") ? 1 : 0);
        prober.writeDatagram(peerwire::encode(capability(Kind::CapabilityConfirm, 555, confirmNonce, service.instanceId())),
                             got.from, got.port);
        QVERIFY(!next(prober, 200).datagram); // a confirm is never answered
    }
    QTRY_COMPARE(service.isFast(pair.accepted.get()), fast);
}

void TestPeerService::clientListsOnlyAnswersToItsProbe_data()
{
    QTest::addColumn<QString>("answer"); // how the fake server answers
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("found");      // serverFound signals
    QTest::addColumn<QString>("shown");  // the list as the client page shows it
    const QString vm = QStringLiteral("vm");
    QTest::newRow("answered") << QStringLiteral("once") << vm << 1 << QStringLiteral("127.0.0.1 vm");
    QTest::newRow("twice to one probe") << QStringLiteral("twice") << vm << 1 << QStringLiteral("127.0.0.1 vm");
    QTest::newRow("after the probe window") << QStringLiteral("late") << vm << 0 << QString();
    QTest::newRow("from another port") << QStringLiteral("other port") << vm << 0 << QString();
    QTest::newRow("C1 control") << QStringLiteral("once") << QStringLiteral("vm\u0085127.0.0.1 vm") << 0 << QString();
    QTest::newRow("line separator") << QStringLiteral("once") << QStringLiteral("x\u2028127.0.0.1 vm") << 1 << QStringLiteral("127.0.0.1");
    QTest::newRow("right-to-left override") << QStringLiteral("once") << QStringLiteral("\u202emv") << 1 << QStringLiteral("127.0.0.1");
    QTest::newRow("isolate") << QStringLiteral("once") << QStringLiteral("vm\u2068x") << 1 << QStringLiteral("127.0.0.1");
    QTest::newRow("zero width joiner") << QStringLiteral("once") << QStringLiteral("v\u200dm") << 1 << QStringLiteral("127.0.0.1");
    QTest::newRow("leading blank") << QStringLiteral("once") << QStringLiteral(" vm") << 1 << QStringLiteral("127.0.0.1");
    QTest::newRow("trailing no-break space") << QStringLiteral("once") << QStringLiteral("vm\u00a0") << 1 << QStringLiteral("127.0.0.1");
    QTest::newRow("63 characters") << QStringLiteral("once") << QString(63, QLatin1Char('v')) << 1
                                   << QStringLiteral("127.0.0.1 ") + QString(63, QLatin1Char('v'));
    QTest::newRow("64 characters") << QStringLiteral("once") << QString(64, QLatin1Char('v')) << 1 << QStringLiteral("127.0.0.1");
    QTest::newRow("65th server") << QStringLiteral("65 servers") << vm << 65 << QString();
}

// Catches a client page that a stranger can flood (answers taken at any time, any number of
// times, without bound) or fool with a name that reads as another entry.
void TestPeerService::clientListsOnlyAnswersToItsProbe()
{
    QFETCH(QString, answer);
    QFETCH(QString, name);
    QFETCH(int, found);
    QFETCH(QString, shown);
    const quint16 port = freePort();
    QUdpSocket fake;
    QVERIFY(fake.bind(QHostAddress::LocalHost, port));
    PeerService service(port);
    FoundServers list;
    int signalled = 0;
    connect(&service, &PeerService::serverFound, this, [&](const QHostAddress &address, const QString &hostName) {
        ++signalled;
        list.take(address.toString(), hostName, 0);
    });
    service.discover({QHostAddress(QHostAddress::LocalHost)});
    const Received probe = next(fake);
    QVERIFY(probe.datagram && probe.datagram->kind == Kind::DiscoverProbe);

    const QByteArray bytes = serverAnswer(name);
    QUdpSocket otherPort;
    if (answer == QLatin1String("65 servers")) {
        if (!loopbackSourcesKept())
            QSKIP("datagrams from 127.0.0.x do not keep their source address here");
        const auto first = boundSockets(2, 64, port);
        QVERIFY2(!first.empty(), "127.0.0.0/8 is not all loopback here");
        for (const auto &s : first)
            s->writeDatagram(bytes, probe.from, probe.port);
        QTRY_COMPARE(signalled, 64);
        service.discover({QHostAddress(QHostAddress::LocalHost)});
        QVERIFY(next(fake).datagram);
        const auto last = boundSockets(66, 1, port);
        QVERIFY(!last.empty());
        last.front()->writeDatagram(bytes, probe.from, probe.port);
    } else if (answer == QLatin1String("other port")) {
        QVERIFY(otherPort.bind(QHostAddress(QHostAddress::LocalHost), 0));
        otherPort.writeDatagram(bytes, probe.from, probe.port);
    } else {
        if (answer == QLatin1String("late"))
            QTest::qWait(PeerService::discoveryWindowMs + 50);
        fake.writeDatagram(bytes, probe.from, probe.port);
        if (answer == QLatin1String("twice"))
            fake.writeDatagram(bytes, probe.from, probe.port);
    }

    if (found)
        QTRY_COMPARE(signalled, found);
    QTest::qWait(200);
    QCOMPARE(signalled, found);
    if (answer == QLatin1String("65 servers")) {
        QCOMPARE(list.entries().size(), FoundServers::maxServers);
        QCOMPARE(list.entries().last().address, QStringLiteral("127.0.0.65"));
    } else {
        QCOMPARE(list.entries().isEmpty() ? QString() : list.entries().constFirst().text, shown);
    }
}

void TestPeerService::discoveryAnswersStayWithinBudget_data()
{
    QTest::addColumn<int>("addresses"); // the 200 probes come from so many addresses
    QTest::addColumn<int>("burst");
    QTest::addColumn<int>("perSecond");
    QTest::newRow("one address") << 1 << PeerService::sourceBurst << PeerService::sourcePerSecond;
    QTest::newRow("50 addresses") << 50 << PeerService::answerBurst << PeerService::answersPerSecond;
}

// Catches a service that answers floods without limit, also one whose limit ends a while
// after it started.
void TestPeerService::discoveryAnswersStayWithinBudget()
{
    QFETCH(int, addresses);
    QFETCH(int, burst);
    QFETCH(int, perSecond);
    const quint16 port = freePort();
    PeerService service(port);
    service.serverListening = true;
    service.startAnswering();
    QVERIFY(service.isAnswering());
#ifdef Q_OS_LINUX
    QUdpSocket intruder; // another user's socket would be refused the same way
    QVERIFY(!intruder.bind(QHostAddress::LocalHost, port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));
#endif
    if (addresses > 1 && !loopbackSourcesKept())
        QSKIP("datagrams from 127.0.0.x do not keep their source address here");
    const auto probers = boundSockets(2, addresses, 0);
    QVERIFY2(!probers.empty(), "127.0.0.0/8 is not all loopback here");
    QTest::qWait(600);

    Datagram d;
    d.sender = 555;
    const QByteArray bytes = peerwire::encode(d);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 200; ++i) {
        probers[size_t(i % addresses)]->writeDatagram(bytes, QHostAddress::LocalHost, port);
        if (i == 99)
            QTest::qWait(50); // the rest would not fit the receive buffer
    }
    QTest::qWait(300);
    int answers = 0;
    for (const auto &s : probers) {
        for (Received r; (r = next(*s, 0)).datagram;)
            answers += r.datagram->kind == Kind::DiscoverAnswer;
    }
    const int allowed = burst + int(perSecond * clock.elapsed() / 1000);
    QVERIFY2(answers >= burst && answers <= allowed,
             qPrintable(QStringLiteral("%1 answers, %2 allowed").arg(answers).arg(allowed)));
}

QTEST_GUILESS_MAIN(TestPeerService)
#include "tst_peerservice.moc"
