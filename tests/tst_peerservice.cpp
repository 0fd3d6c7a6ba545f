// The UDP service: which answers make a connection fast, and what it answers to whom.
// Loopback only; a fake peer in the test thread plays the other instance.
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

#include "net/peerservice.h"
#include "tests/freeport.h"

using peerwire::Datagram;
using peerwire::Kind;

namespace {

// A TCP connection on loopback, both ends in the test thread.
struct Pair {
    QTcpServer server;
    std::unique_ptr<QTcpSocket> client = std::make_unique<QTcpSocket>();
    std::unique_ptr<QTcpSocket> accepted;
    bool open()
    {
        if (!server.listen(QHostAddress::LocalHost, 0))
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

} // namespace

class TestPeerService : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<QTcpSocket *>(); }
    void proberTurnsFastOnlyOnItsAnswer_data();
    void proberTurnsFastOnlyOnItsAnswer();
    void answererAnswersNoMoreThanItGets_data();
    void answererAnswersNoMoreThanItGets();
};

void TestPeerService::proberTurnsFastOnlyOnItsAnswer_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("fast");
    QTest::newRow("answered") << QStringLiteral("answer") << true;
    QTest::newRow("unanswered") << QStringLiteral("none") << false;
    QTest::newRow("wrong nonce") << QStringLiteral("wrong nonce") << false;
    QTest::newRow("another version") << QStringLiteral("version 2") << false;
    QTest::newRow("cut short") << QStringLiteral("truncated") << false;
    QTest::newRow("after the window") << QStringLiteral("late") << false;
}

// Catches a connection made fast by anything but the matching answer within the window:
// fast mode toward a peer that cannot take it would break that peer's files.
void TestPeerService::proberTurnsFastOnlyOnItsAnswer()
{
    QFETCH(QString, reply);
    QFETCH(bool, fast);
    const quint16 port = freePort();
    QUdpSocket fake;
    QVERIFY(fake.bind(QHostAddress::LocalHost, port));
    Pair pair;
    QVERIFY(pair.open());
    PeerService service(port);
    QSignalSpy changed(&service, &PeerService::fastChanged);
    service.track(pair.client.get());

    const Received probe = next(fake);
    QVERIFY(probe.datagram && probe.datagram->kind == Kind::CapabilityProbe);
    QCOMPARE(probe.bytes.size(), peerwire::capabilityProbeSize);
    QCOMPARE(probe.datagram->localPort, pair.client->localPort());
    QCOMPARE(probe.datagram->remotePort, pair.server.serverPort());

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
        QTRY_VERIFY(service.isFast(pair.client.get()));
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
        QVERIFY(!service.isFast(pair.client.get()));
        QCOMPARE(changed.count(), 0);
    }
}

void TestPeerService::answererAnswersNoMoreThanItGets_data()
{
    QTest::addColumn<QString>("probe");
    QTest::addColumn<int>("answer"); // the kind answered, 0 for none
    QTest::addColumn<bool>("fast");  // after the prober's confirm
    QTest::newRow("capability probe for the connection") << QStringLiteral("capability") << int(Kind::CapabilityAnswer) << true;
    QTest::newRow("another connection's ports") << QStringLiteral("other ports") << 0 << false;
    QTest::newRow("from this instance itself") << QStringLiteral("self") << 0 << false;
    QTest::newRow("confirm with a wrong nonce") << QStringLiteral("wrong confirm") << int(Kind::CapabilityAnswer) << false;
    QTest::newRow("discovery probe") << QStringLiteral("discover") << int(Kind::DiscoverAnswer) << false;
    QTest::newRow("discovery probe, not discoverable") << QStringLiteral("hidden") << 0 << false;
    QTest::newRow("discovery probe cut short") << QStringLiteral("short discover") << 0 << false;
    QTest::newRow("oversized") << QStringLiteral("oversized") << 0 << false;
}

// Catches answers larger than their probe (the service would amplify floods), answers to
// what is not ours to answer, and a connection made fast without the prober's confirm.
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

    Datagram d = capability(Kind::CapabilityProbe, probe == QLatin1String("self") ? service.instanceId() : 555, 42, 0);
    d.localPort = pair.client->localPort();
    d.remotePort = pair.accepted->localPort();
    if (probe == QLatin1String("other ports"))
        d.localPort += 1;
    if (probe.contains(QLatin1String("discover")) || probe == QLatin1String("hidden"))
        d.kind = Kind::DiscoverProbe;
    QByteArray bytes = peerwire::encode(d);
    if (probe == QLatin1String("short discover"))
        bytes.chop(1);
    else if (probe == QLatin1String("oversized"))
        bytes = QByteArray(2000, 'L');
    prober.writeDatagram(bytes, QHostAddress::LocalHost, port);

    const Received got = next(prober, answer ? 1000 : 300);
    QCOMPARE(got.datagram ? int(got.datagram->kind) : 0, answer);
    QVERIFY2(got.bytes.size() <= bytes.size(), "an answer larger than its probe");
    if (got.datagram && got.datagram->kind == Kind::CapabilityAnswer) {
        QCOMPARE(got.datagram->nonce, quint64(42));
        const quint64 confirmNonce = got.datagram->other + (probe == QLatin1String("wrong confirm") ? 1 : 0);
        prober.writeDatagram(peerwire::encode(capability(Kind::CapabilityConfirm, 555, confirmNonce, service.instanceId())),
                             got.from, got.port);
        QVERIFY(!next(prober, 200).datagram); // a confirm is never answered
    }
    QTRY_COMPARE(service.isFast(pair.accepted.get()), fast);
}

QTEST_GUILESS_MAIN(TestPeerService)
#include "tst_peerservice.moc"
