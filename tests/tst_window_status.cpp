// Connection state display, error labels with their timed reset, the local address list and
// the list of accepted clients.
#include <QtTest>

#include "net/localaddresses.h"
#include "windowprobe.h"

using P = MainWindowProbe;
Q_DECLARE_METATYPE(InterfaceAddresses)
using testutil::logLines;

namespace {
const QColor labelButton(0, 0, 10);

// Crafted peers: test-owned sockets as keys, facts as the worker would publish them.
struct FakePeers {
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    QHash<const QTcpSocket *, SocketFacts> facts;

    QTcpSocket *add(const QString &address, quint16 port,
                    QAbstractSocket::SocketState state = QAbstractSocket::ConnectedState)
    {
        sockets.push_back(std::make_unique<QTcpSocket>());
        QTcpSocket *s = sockets.back().get();
        facts.insert(s, SocketFacts{state, address, port, QString()});
        return s;
    }
    void install(MainWindow &w)
    {
        P::setFacts(w, [this](const QTcpSocket *s) { return facts.value(s); });
    }
};
} // namespace

class tst_WindowStatus : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void stateTable_data();
    void stateTable();
    void errorShownRedAndCleared_data();
    void errorShownRedAndCleared();
    void secondErrorRestartsTheClearing();
    void newClientKeys_data();
    void newClientKeys();
    void disconnectionRemovesEveryDroppedClient_data();
    void disconnectionRemovesEveryDroppedClient();
    void everyClosedPeerIsFreed();
    void localAddresses_data();
    void localAddresses();

private:
    QTemporaryDir dir;
    std::unique_ptr<MainWindow> w;
    FakePeers peers;
};

void tst_WindowStatus::init()
{
    w = testutil::makeWindow(dir, testutil::clientSettings());
    P::detachWorker(*w);
    peers = FakePeers();
    peers.install(*w);
}

void tst_WindowStatus::cleanup()
{
    w.reset();
}

// Faults: a wrong text or colour for a state, a colour painted for a state that keeps the
// previous one, a missing or extra log line, act_connect left enabled while connected.
void tst_WindowStatus::stateTable_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("text");    // null: unchanged
    QTest::addColumn<QColor>("colour");   // invalid: unchanged
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("connectEnabled"); // -1: unchanged

    const QColor keep;
    QTest::newRow("unconnected") << 0 << QStringLiteral("已断开连接") << QColor(Qt::red)
                                 << QStringList{QStringLiteral("已和服务器断开连接"), QString()} << 1;
    QTest::newRow("host lookup") << 1 << QStringLiteral("正在查找主机") << keep << QStringList() << -1;
    QTest::newRow("connecting") << 2 << QStringLiteral("正在连接...") << QColor(Qt::yellow) << QStringList() << -1;
    QTest::newRow("connected") << 3 << QStringLiteral("已建立连接") << QColor(Qt::green)
                               << QStringList{QStringLiteral("已和服务器建立连接"), QString()} << 0;
    QTest::newRow("bound") << 4 << QStringLiteral("已绑定到地址和端口") << keep << QStringList() << -1;
    QTest::newRow("listening") << 5 << QStringLiteral("正在监听中") << keep << QStringList() << -1;
    QTest::newRow("closing") << 6 << QStringLiteral("即将关闭") << keep << QStringList() << -1;
    QTest::newRow("unknown value") << 42 << QString() << keep << QStringList() << -1;
}

void tst_WindowStatus::stateTable()
{
    QFETCH(int, state);
    QFETCH(QString, text);
    QFETCH(QColor, colour);
    QFETCH(QStringList, lines);
    QFETCH(int, connectEnabled);

    QLabel *label = P::clientStateLabel(*w);
    QAction *connect = P::ui(*w)->act_connect;
    for (const bool before : {false, true}) {
        P::ui(*w)->textEdit->clear();
        label->setText(QStringLiteral("earlier"));
        label->setPalette(QPalette(labelButton, Qt::blue));
        connect->setEnabled(before);

        P::stateChange(*w, state);

        QCOMPARE(label->text(), text.isNull() ? QStringLiteral("earlier") : text);
        QCOMPARE(label->palette().color(QPalette::Window), colour.isValid() ? colour : QColor(Qt::blue));
        QCOMPARE(label->palette().color(QPalette::Button), labelButton);
        QCOMPARE(label->palette().color(QPalette::WindowText), QColor(Qt::black));
        QCOMPARE(logLines(*w), lines);
        QCOMPARE(connect->isEnabled(), connectEnabled < 0 ? before : connectEnabled == 1);
        QVERIFY(P::ui(*w)->act_disconnect->isEnabled()); // never touched here
    }
}

// Faults: the error text of the wrong object, a colour other than red, a timer not started or
// not at 5000 ms, a reset that forgets one label or does not stop the timer, a reset that
// also wipes the state labels.
void tst_WindowStatus::errorShownRedAndCleared_data()
{
    QTest::addColumn<bool>("server");
    QTest::newRow("server error") << true;
    QTest::newRow("client error") << false;
}

void tst_WindowStatus::errorShownRedAndCleared()
{
    QFETCH(bool, server);
    const QString message = QStringLiteral("The address is protected");
    QTcpSocket *client = peers.add(QString(), 0, QAbstractSocket::UnconnectedState);
    peers.facts[client].errorString = message;
    P::setServerError(*w, message);
    P::stateChange(*w, QAbstractSocket::ConnectedState);
    P::serverStateLabel(*w)->setText(QStringLiteral("监听中..."));

    if (server)
        P::serverError(*w);
    else
        P::clientError(*w, client);

    QLabel *shown = server ? P::serverErrorLabel(*w) : P::clientErrorLabel(*w);
    QLabel *other = server ? P::clientErrorLabel(*w) : P::serverErrorLabel(*w);
    QCOMPARE(shown->text(), message);
    QCOMPARE(shown->palette().color(QPalette::Window), QColor(Qt::red));
    QCOMPARE(shown->palette().color(QPalette::Button), labelButton);
    QVERIFY(other->text().isEmpty());
    QTimer &timer = P::statusTimer(*w);
    QVERIFY(timer.isActive());
    QCOMPARE(timer.interval(), 5000);

    QVERIFY(QMetaObject::invokeMethod(&timer, "timeout"));

    QVERIFY(!timer.isActive());
    const QPalette bar = P::ui(*w)->statusbar->palette();
    for (QLabel *label : {P::serverErrorLabel(*w), P::clientErrorLabel(*w)}) {
        QVERIFY(label->text().isEmpty());
        QCOMPARE(label->palette().color(QPalette::Window), bar.color(QPalette::Window));
    }
    QCOMPARE(P::clientStateLabel(*w)->text(), QStringLiteral("已建立连接"));
    QCOMPARE(P::clientStateLabel(*w)->palette().color(QPalette::Window), QColor(Qt::green));
    QCOMPARE(P::serverStateLabel(*w)->text(), QStringLiteral("监听中..."));
}

// Fault: a second error that does not restart the 5 s, so its text vanishes early.
void tst_WindowStatus::secondErrorRestartsTheClearing()
{
    QTcpSocket *client = peers.add(QString(), 0, QAbstractSocket::UnconnectedState);
    peers.facts[client].errorString = QStringLiteral("Connection refused");
    P::setServerError(*w, QStringLiteral("Too many open files"));
    QTimer &timer = P::statusTimer(*w);
    // A coarse timer may align a restart within 5 % onto the old expiry; precision makes the
    // restart visible after a short wait.
    timer.setTimerType(Qt::PreciseTimer);

    P::serverError(*w);
    QTRY_VERIFY_WITH_TIMEOUT(timer.remainingTime() < 4900, 1000);
    P::clientError(*w, client);
    QVERIFY(timer.remainingTime() > 4900);
    QCOMPARE(P::serverErrorLabel(*w)->text(), QStringLiteral("Too many open files"));
    QCOMPARE(P::clientErrorLabel(*w)->text(), QStringLiteral("Connection refused"));

    QVERIFY(QMetaObject::invokeMethod(&timer, "timeout"));
    QVERIFY(P::serverErrorLabel(*w)->text().isEmpty());
    QVERIFY(P::clientErrorLabel(*w)->text().isEmpty());
}

// Faults: the mapped form listed as it is, an IPv6 address that merely holds "ffff" cut
// apart, an address listed twice, the socket list out of step with the combo box.
void tst_WindowStatus::newClientKeys_data()
{
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QList<int>>("listed"); // which peers are remembered, in order

    QTest::newRow("mapped IPv4") << QStringList{QStringLiteral("::ffff:192.168.1.7")}
                                 << QStringList{QStringLiteral("192.168.1.7")} << QList<int>{0};
    QTest::newRow("plain IPv4") << QStringList{QStringLiteral("10.0.0.2")}
                                << QStringList{QStringLiteral("10.0.0.2")} << QList<int>{0};
    QTest::newRow("IPv6 kept whole") << QStringList{QStringLiteral("fe80::1")}
                                     << QStringList{QStringLiteral("fe80::1")} << QList<int>{0};
    QTest::newRow("ffff inside an IPv6 address") << QStringList{QStringLiteral("2001:db8:ffff::1")}
                                                 << QStringList{QStringLiteral("2001:db8:ffff::1")} << QList<int>{0};
    QTest::newRow("ffff as the first group") << QStringList{QStringLiteral("ffff::1")}
                                             << QStringList{QStringLiteral("ffff::1")} << QList<int>{0};
    QTest::newRow("same address twice") << QStringList{QStringLiteral("::ffff:10.0.0.5"), QStringLiteral("::ffff:10.0.0.5")}
                                        << QStringList{QStringLiteral("10.0.0.5")} << QList<int>{0};
    QTest::newRow("mapped then plain form of one address")
        << QStringList{QStringLiteral("::ffff:10.0.0.5"), QStringLiteral("10.0.0.5")}
        << QStringList{QStringLiteral("10.0.0.5")} << QList<int>{0};
    QTest::newRow("three peers, one repeated")
        << QStringList{QStringLiteral("::ffff:10.0.0.1"), QStringLiteral("::ffff:10.0.0.2"),
                       QStringLiteral("::ffff:10.0.0.1"), QStringLiteral("::ffff:10.0.0.3")}
        << QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.2"), QStringLiteral("10.0.0.3")}
        << QList<int>{0, 1, 3};
}

void tst_WindowStatus::newClientKeys()
{
    QFETCH(QStringList, addresses);
    QFETCH(QStringList, items);
    QFETCH(QList<int>, listed);

    QVector<QTcpSocket *> sockets;
    QStringList expectedLog;
    for (int i = 0; i < addresses.size(); ++i) {
        const quint16 port = quint16(50000 + i);
        sockets << peers.add(addresses.at(i), port);
        P::newClient(*w, sockets.last());
        expectedLog << QStringLiteral("已和客户端建立连接") << QStringLiteral("client address:") + addresses.at(i)
                    << QStringLiteral("client port:") + QString::number(port) << QString();
    }

    QComboBox *box = P::ui(*w)->clientcomBox;
    QStringList shown;
    for (int i = 0; i < box->count(); ++i)
        shown << box->itemText(i);
    QCOMPARE(shown, items);
    QVector<QTcpSocket *> remembered;
    for (int i : listed)
        remembered << sockets.at(i);
    QCOMPARE(P::clientSockets(*w), remembered);
    QCOMPARE(logLines(*w), expectedLog);
}

// Faults: only the first dropped client removed per report, an entry skipped after a removal
// (the one that moved into its place), a connected client removed, the combo box and the
// socket list removed at different indexes, a socket no longer known kept for ever.
void tst_WindowStatus::disconnectionRemovesEveryDroppedClient_data()
{
    QTest::addColumn<QList<int>>("dropped"); // of four listed clients
    QTest::addColumn<QList<int>>("forgotten"); // dropped ones the worker no longer knows

    QTest::newRow("two apart in one report") << QList<int>{0, 2} << QList<int>{};
    QTest::newRow("two adjacent") << QList<int>{1, 2} << QList<int>{};
    QTest::newRow("the last one") << QList<int>{3} << QList<int>{};
    QTest::newRow("all of them") << QList<int>{0, 1, 2, 3} << QList<int>{};
    QTest::newRow("none") << QList<int>{} << QList<int>{};
    QTest::newRow("already deleted reads unconnected") << QList<int>{1} << QList<int>{1};
}

void tst_WindowStatus::disconnectionRemovesEveryDroppedClient()
{
    QFETCH(QList<int>, dropped);
    QFETCH(QList<int>, forgotten);

    QVector<QTcpSocket *> sockets;
    QStringList keys;
    for (int i = 0; i < 4; ++i) {
        keys << QStringLiteral("10.0.0.%1").arg(i + 1);
        sockets << peers.add(QStringLiteral("::ffff:") + keys.last(), 4000);
        P::newClient(*w, sockets.last());
    }
    P::ui(*w)->textEdit->clear();
    for (int i : dropped)
        peers.facts[sockets.at(i)].state = QAbstractSocket::UnconnectedState;
    for (int i : forgotten)
        peers.facts.remove(sockets.at(i));

    P::clientGone(*w);

    QStringList expectedLog, expectedItems;
    QVector<QTcpSocket *> expectedSockets;
    for (int i = 0; i < 4; ++i) {
        if (dropped.contains(i)) {
            expectedLog << QStringLiteral("已和客户端断开连接") << QStringLiteral("client address:") + keys.at(i)
                        << QString();
        } else {
            expectedItems << keys.at(i);
            expectedSockets << sockets.at(i);
        }
    }
    QComboBox *box = P::ui(*w)->clientcomBox;
    QStringList shown;
    for (int i = 0; i < box->count(); ++i)
        shown << box->itemText(i);
    QCOMPARE(shown, expectedItems);
    QCOMPARE(P::clientSockets(*w), expectedSockets);
    QCOMPARE(logLines(*w), expectedLog);
}

// Faults: a second connection from a listed address never disposed of (a leak per connection),
// the address leaving the list while another of its connections is open, a list entry that
// refers to a closed socket.
void tst_WindowStatus::everyClosedPeerIsFreed()
{
    cleanup();
    quint16 port = 0;
    w = testutil::makeListeningWindow(dir, &port);
    QCOMPARE(P::serverStateLabel(*w)->text(), QStringLiteral("监听中..."));
    sendThread *worker = P::worker(*w);
    const auto workerSockets = [worker] {
        int n = -1;
        QMetaObject::invokeMethod(worker, [&n, worker] { n = worker->server->findChildren<QTcpSocket *>().size(); },
                                  Qt::BlockingQueuedConnection);
        return n;
    };

    std::vector<std::unique_ptr<QTcpSocket>> peers;
    for (int i = 0; i < 3; ++i) {
        peers.push_back(std::make_unique<QTcpSocket>());
        peers.back()->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(peers.back()->waitForConnected(5000));
    }
    QTRY_COMPARE(P::peerSockets(*w).size(), 3);
    QComboBox *box = P::ui(*w)->clientcomBox;
    QCOMPARE(box->count(), 1);
    for (int open = 2; open >= 0; --open) {
        peers.at(size_t(2 - open))->disconnectFromHost();
        QTRY_COMPARE(P::peerSockets(*w).size(), open);
        QTRY_COMPARE(workerSockets(), open);
        QCOMPARE(box->count(), open > 0 ? 1 : 0);
        QCOMPARE(P::clientSockets(*w).size(), box->count());
        if (open > 0)
            QCOMPARE(worker->socketState(P::clientSockets(*w).at(0)), QAbstractSocket::ConnectedState);
    }
    QCOMPARE(logLines(*w).count(QStringLiteral("已和客户端断开连接")), 3);
}

// Faults: the host-name lookup's answer listed instead of the interfaces' addresses (Debian's
// /etc/hosts gives 127.0.1.1 alone), loopback before the LAN address, a down interface or an
// IPv6 address listed, nothing listed (so nothing listens) when no interface has an address.
void tst_WindowStatus::localAddresses_data()
{
    QTest::addColumn<QList<InterfaceAddresses>>("interfaces");
    QTest::addColumn<QStringList>("expected");
    const QHostAddress lan(QStringLiteral("192.168.1.20"));
    const InterfaceAddresses lo{true, {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)}};
    const InterfaceAddresses eth{true, {QHostAddress(QStringLiteral("fe80::1")), lan}};
    const InterfaceAddresses down{false, {QHostAddress(QStringLiteral("10.0.0.9"))}};
    QTest::newRow("LAN on an interface, lookup gives 127.0.1.1")
        << QList<InterfaceAddresses>{lo, down, eth} << QStringList{lan.toString(), QStringLiteral("127.0.0.1")};
    QTest::newRow("no interface up: the lookup's answer")
        << QList<InterfaceAddresses>{down} << QStringList{QStringLiteral("127.0.1.1")};
}

void tst_WindowStatus::localAddresses()
{
    QFETCH(QList<InterfaceAddresses>, interfaces);
    QFETCH(QStringList, expected);
    const auto lookup = [] { return QList<QHostAddress>{QHostAddress(QStringLiteral("127.0.1.1"))}; };
    QCOMPARE(localIPv4Addresses(interfaces, lookup), expected);
}

QTEST_MAIN(tst_WindowStatus)
#include "tst_window_status.moc"
