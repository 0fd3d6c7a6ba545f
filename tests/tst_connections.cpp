// The worker's end points: listening, connecting, accepting, and the feed of received bytes.
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

#include "net/acceptloop.h"
#include "net/peerlimits.h"
#include "tests/workerrig.h"

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

Q_DECLARE_METATYPE(QList<int>)

namespace {
using State = QAbstractSocket::SocketState;

// The peer's next accepted connection (waitForNewConnection ignores one already queued).
std::unique_ptr<QTcpSocket> accept(QTcpServer &peer)
{
    if (!peer.hasPendingConnections())
        peer.waitForNewConnection(5000);
    return std::unique_ptr<QTcpSocket>(peer.nextPendingConnection());
}

QByteArray pattern(int size, char seed)
{
    QByteArray b(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        b[i] = char(seed + i * 7);
    return b;
}
} // namespace

class TestConnections : public QObject {
    Q_OBJECT
private slots:
    void cutIntoPieces_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<int>>("pieces");
        const int n = sendThread::readBufferSize;
        QTest::newRow("two and a bit") << 2 * n + 1000 << QList<int>{n, n, 1000};
        QTest::newRow("two") << 2 * n << QList<int>{n, n};
        QTest::newRow("one") << n << QList<int>{n};
        QTest::newRow("one and a byte") << n + 1 << QList<int>{n, 1};
        QTest::newRow("empty") << 0 << QList<int>{0};
    }
    // Catches an off-by-one cut, a dropped empty piece, reordered bytes or a lost tag.
    void cutIntoPieces()
    {
        QFETCH(int, size);
        QFETCH(QList<int>, pieces);
        const QByteArray data = pattern(size, 'a');
        const QList<ReceivedPiece> got = sendThread::cutIntoPieces(42, data);
        QList<int> sizes;
        QByteArray joined;
        for (const ReceivedPiece &p : got) {
            sizes << p.bytes.size();
            joined += p.bytes;
            QCOMPARE(p.connection, quint64(42));
            QVERIFY(!p.endOfStream);
        }
        QCOMPARE(sizes, pieces);
        QCOMPARE(joined, data);
    }

    // Catches pieces without their source, mixed streams, a missing or early end-of-stream,
    // facts published after the announcement, and the wrong role code.
    void feedTagsEachConnection()
    {
        PieceRecorder rec;
        WorkerRig k(freePort(), &rec);
        WorkerLog log(k.w);
        QList<SocketFacts> announced;
        connect(k.w, &sendThread::onNewClientconnected, this,
                [&](QTcpSocket *s) { announced << k.w->socketFacts(s); });
        k.cmd(CmdStartListen);
        QTRY_COMPARE(log.count(WorkerLog::Action), 1);

        QTcpSocket a, b;
        a.connectToHost(QHostAddress::LocalHost, k.w->port());
        b.connectToHost(QHostAddress::LocalHost, k.w->port());
        QVERIFY(a.waitForConnected(5000) && b.waitForConnected(5000));
        QTRY_COMPARE(announced.size(), 2);
        for (const SocketFacts &f : announced) {
            QCOMPARE(f.state, QAbstractSocket::ConnectedState);
            QVERIFY(f.peerPort == a.localPort() || f.peerPort == b.localPort());
        }
        const QByteArray fromA = pattern(50000, 'A'), fromB = pattern(30001, 'b');
        a.write(fromA);
        b.write(fromB);
        QTRY_COMPARE(rec.totalBytes(), qint64(fromA.size() + fromB.size()));
        QCOMPARE(k.w->receiveRole.load(), int(RoleServer));
        a.disconnectFromHost();
        b.disconnectFromHost();
        // Each connection: its own bytes in order, then exactly one end-of-stream, last.
        QHash<quint64, QList<ReceivedPiece>> byConnection;
        QTRY_VERIFY([&] {
            byConnection.clear();
            for (const ReceivedPiece &p : rec.pieces())
                byConnection[p.connection] << p;
            return byConnection.size() == 2 && byConnection.begin()->last().endOfStream
                && std::next(byConnection.begin())->last().endOfStream;
        }());
        QSet<QByteArray> streams;
        for (const QList<ReceivedPiece> &mine : byConnection) {
            QByteArray joined;
            for (int i = 0; i < mine.size(); ++i) {
                QVERIFY(mine.at(i).bytes.size() <= sendThread::readBufferSize);
                QCOMPARE(mine.at(i).endOfStream, i == mine.size() - 1);
                joined += mine.at(i).bytes;
            }
            streams << joined;
        }
        QCOMPARE(streams, (QSet<QByteArray>{fromA, fromB}));
    }

    // Catches a client-role read tagged as the server's, or a reconnect that reuses the id
    // the engine was told has ended.
    void clientRoleFeed()
    {
        QTcpServer peer;
        QVERIFY(peer.listen(QHostAddress::LocalHost, 0));
        PieceRecorder rec;
        WorkerRig k(peer.serverPort(), &rec);
        k.setHost(QStringLiteral("127.0.0.1"));
        QList<quint64> ids;
        for (int round = 0; round < 2; ++round) {
            k.cmd(CmdConnect);
            std::unique_ptr<QTcpSocket> in = accept(peer);
            QVERIFY(in);
            in->write(pattern(20000, char('0' + round)));
            QTRY_COMPARE(rec.totalBytes(), qint64(20000 * (round + 1)));
            QCOMPARE(k.w->receiveRole.load(), int(RoleClient));
            in->disconnectFromHost();
            QTRY_VERIFY(rec.pieces().last().endOfStream);
            ids << rec.pieces().last().connection;
            QCOMPARE(rec.stream(ids.last()), pattern(20000, char('0' + round)));
            QTRY_COMPARE(k.w->socketState(k.w->currentClientSocket()), QAbstractSocket::UnconnectedState);
        }
        QVERIFY(ids.at(0) != ids.at(1));
    }

    void listenCommands_data()
    {
        QTest::addColumn<QList<int>>("commands");
        QTest::addColumn<bool>("portTaken");
        QTest::addColumn<QList<int>>("actions");
        QTest::addColumn<bool>("listening");
        QTest::newRow("start twice") << QList<int>{CmdStartListen, CmdStartListen} << false
                                     << QList<int>{ActionListening} << true;
        QTest::newRow("stop when idle") << QList<int>{CmdStopListen} << false << QList<int>{} << false;
        QTest::newRow("start stop start")
            << QList<int>{CmdStartListen, CmdStopListen, CmdStopListen, CmdStartListen} << false
            << QList<int>{ActionListening, ActionListenStopped, ActionListening} << true;
        QTest::newRow("port taken") << QList<int>{CmdStartListen} << true << QList<int>{} << false;
    }
    // Catches a second listen or close that reports again, and a failed listen that reports
    // success or leaves the server half open.
    void listenCommands()
    {
        QFETCH(QList<int>, commands);
        QFETCH(bool, portTaken);
        QFETCH(QList<int>, actions);
        QFETCH(bool, listening);
        QTcpServer blocker;
        if (portTaken)
            QVERIFY(blocker.listen(QHostAddress::Any, 0));
        WorkerRig k(portTaken ? blocker.serverPort() : freePort());
        WorkerLog log(k.w);
        for (int c : commands)
            k.cmd(c);
        bool isListening = !listening;
        k.inWorker([&] { isListening = k.w->server->isListening(); });
        k.settle();
        QCOMPARE(log.values(WorkerLog::Action), actions);
        QCOMPARE(isListening, listening);
        QCOMPARE(log.events.size(), actions.size());
    }

    void connectWhileBusy_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("waitConnected");
        QTest::newRow("by name") << QStringLiteral("localhost") << false;
        QTest::newRow("connecting") << QStringLiteral("127.0.0.1") << false;
        QTest::newRow("connected") << QStringLiteral("127.0.0.1") << true;
    }
    // Catches a connect issued in a busy state: the socket answers it with an error, or a
    // fresh attempt replaces the running one.
    void connectWhileBusy()
    {
        QFETCH(QString, host);
        QFETCH(bool, waitConnected);
        QTcpServer peer;
        QVERIFY(peer.listen(QHostAddress::LocalHost, 0));
        WorkerRig k(peer.serverPort());
        WorkerLog log(k.w);
        QTcpSocket *socket = k.w->currentClientSocket();
        k.setHost(host);
        k.cmd(CmdConnect);
        if (waitConnected)
            QTRY_COMPARE(k.w->socketState(socket), QAbstractSocket::ConnectedState);
        State before = QAbstractSocket::UnconnectedState;
        k.inWorker([&] { before = k.w->clientSocket->state(); });
        QVERIFY(before != QAbstractSocket::UnconnectedState);
        k.setHost(QStringLiteral("127.0.0.2"));
        k.cmd(CmdConnect);
        QTRY_COMPARE(k.w->socketState(socket), QAbstractSocket::ConnectedState);
        std::unique_ptr<QTcpSocket> in = accept(peer);
        QVERIFY(in);
        k.settle();
        QCOMPARE(log.count(WorkerLog::ClientError), 0);
        QCOMPARE(k.w->currentClientSocket(), socket);
        QCOMPARE(k.w->socketFacts(socket).peerPort, peer.serverPort());
        QVERIFY(!peer.hasPendingConnections());
    }

    void disconnectReplaces_data()
    {
        QTest::addColumn<QString>("host");
        QTest::newRow("unconnected") << QString();
        // By name the socket looks the host up first (unless the name is cached already).
        QTest::newRow("by name") << QStringLiteral("localhost");
        QTest::newRow("connecting") << QStringLiteral("127.0.0.1");
    }
    // Catches a command 3 that leaves an attempt running, keeps the old socket, loses the
    // new one's set-up, or leaves the window with facts of a deleted socket.
    void disconnectReplaces()
    {
        QFETCH(QString, host);
        QTcpServer peer;
        QVERIFY(peer.listen(QHostAddress::LocalHost, 0));
        WorkerRig k(peer.serverPort());
        WorkerLog log(k.w);
        QTcpSocket *old = k.w->currentClientSocket();
        if (!host.isEmpty()) {
            k.setHost(host);
            k.cmd(CmdConnect); // the state test below runs in the same batch: still busy
        }
        State before = QAbstractSocket::ConnectedState;
        k.inWorker([&] {
            before = k.w->clientSocket->state();
            k.w->handleCmd(CmdDisconnect);
        });
        if (before == QAbstractSocket::ConnectedState && host == QLatin1String("localhost"))
            QSKIP("the name was cached and loopback connected at once: nothing to abandon");
        QVERIFY(before != QAbstractSocket::ConnectedState);
        QTcpSocket *fresh = k.w->currentClientSocket();
        QVERIFY(fresh != old);
        QCOMPARE(k.w->socketFacts(old).peerPort, quint16(0));
        QCOMPARE(k.w->socketState(fresh), QAbstractSocket::UnconnectedState);
        k.settle();
        if (!host.isEmpty())
            QCOMPARE(log.last(WorkerLog::State), int(QAbstractSocket::UnconnectedState));

        k.setHost(QStringLiteral("127.0.0.1"));
        k.cmd(CmdConnect);
        QTRY_COMPARE(k.w->socketState(fresh), QAbstractSocket::ConnectedState);
        std::unique_ptr<QTcpSocket> in = accept(peer);
        QVERIFY(in);
        // The new socket has the full set-up: capped buffer, no proxy, low delay.
        qint64 bufferSize = 0;
        QVariant lowDelay;
        k.inWorker([&] {
            bufferSize = k.w->clientSocket->readBufferSize();
            lowDelay = k.w->clientSocket->socketOption(QAbstractSocket::LowDelayOption);
        });
        QCOMPARE(bufferSize, qint64(sendThread::readBufferSize));
        QCOMPARE(lowDelay.toInt(), 1);
    }

    // Catches a hard close that drops queued bytes, or a replacement of a connected socket.
    void disconnectConnectedIsGraceful()
    {
        QTcpServer peer;
        QVERIFY(peer.listen(QHostAddress::LocalHost, 0));
        PieceRecorder rec;
        WorkerRig k(peer.serverPort(), &rec);
        QTcpSocket *socket = k.w->currentClientSocket();
        k.setHost(QStringLiteral("127.0.0.1"));
        k.cmd(CmdConnect);
        std::unique_ptr<QTcpSocket> in = accept(peer);
        QVERIFY(in);
        QTRY_COMPARE(k.w->socketState(socket), QAbstractSocket::ConnectedState);
        k.setSend(socket, QString());
        k.cmd(CmdSendTest);
        k.cmd(CmdDisconnect);
        QSignalSpy closed(in.get(), &QTcpSocket::disconnected);
        QVERIFY(closed.wait(5000));
        QCOMPARE(in->readAll(), wire::greeting);
        QTRY_COMPARE(k.w->socketState(socket), QAbstractSocket::UnconnectedState);
        QCOMPARE(k.w->currentClientSocket(), socket);
    }

    void peerCloses_data()
    {
        QTest::addColumn<bool>("abort");
        QTest::newRow("graceful") << false;
        QTest::newRow("reset") << true;
    }
    // Catches a disconnect reported twice or not at all, or reported while the window would
    // still read the socket as connected.
    void peerCloses()
    {
        QFETCH(bool, abort);
        WorkerRig k(freePort());
        QList<QTcpSocket *> accepted;
        QList<State> statesSeen;
        connect(k.w, &sendThread::onNewClientconnected, this, [&](QTcpSocket *s) { accepted << s; });
        connect(k.w, &sendThread::onClientDisconnected, this, [&] {
            for (QTcpSocket *s : accepted)
                statesSeen << k.w->socketState(s);
        });
        k.cmd(CmdStartListen);
        k.settle();
        QTcpSocket a, b;
        a.connectToHost(QHostAddress::LocalHost, k.w->port());
        b.connectToHost(QHostAddress::LocalHost, k.w->port());
        QTRY_COMPARE(accepted.size(), 2);
        WorkerLog log(k.w);
        abort ? a.abort() : a.disconnectFromHost();
        QTRY_COMPARE(log.count(WorkerLog::ClientGone), 1);
        k.settle();
        QCOMPARE(log.count(WorkerLog::ClientGone), 1);
        QVERIFY(statesSeen.contains(QAbstractSocket::UnconnectedState));
        QVERIFY(statesSeen.contains(QAbstractSocket::ConnectedState));
        abort ? b.abort() : b.disconnectFromHost();
        QTRY_COMPARE(log.count(WorkerLog::ClientGone), 2);
    }

    // Catches a window disposal that deletes the client-role socket (left dangling) or
    // leaves facts of a deleted socket behind.
    void disposeSocket()
    {
        WorkerRig k(freePort());
        QList<QTcpSocket *> accepted;
        connect(k.w, &sendThread::onNewClientconnected, this, [&](QTcpSocket *s) { accepted << s; });
        k.cmd(CmdStartListen);
        k.settle();
        QTcpSocket a;
        a.connectToHost(QHostAddress::LocalHost, k.w->port());
        QTRY_COMPARE(accepted.size(), 1);
        WorkerLog log(k.w);
        a.disconnectFromHost();
        QTRY_COMPARE(log.count(WorkerLog::ClientGone), 1);
        QTcpSocket *client = k.w->currentClientSocket();
        k.w->disposeSocket(accepted.at(0));
        k.w->disposeSocket(client);
        k.inWorker([] {}); // the disposals have run; their deferred deletes come next
        int serverChildren = -1;
        bool clientAlive = false;
        k.inWorker([&] {
            serverChildren = k.w->server->findChildren<QTcpSocket *>().size();
            clientAlive = k.w->findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly).contains(client);
        });
        QCOMPARE(serverChildren, 0);
        QVERIFY(clientAlive);
        QCOMPARE(k.w->currentClientSocket(), client);
    }

    // Catches an error signal that reaches the window before the error text is readable.
    void clientErrorTextPublished()
    {
        WorkerRig k(freePort()); // nobody listens there
        QString seen;
        connect(k.w, &sendThread::onClientErrorOccurs, this,
                [&](QTcpSocket *s) { seen = k.w->socketFacts(s).errorString; });
        k.setHost(QStringLiteral("127.0.0.1"));
        k.cmd(CmdConnect);
        QTRY_VERIFY(!seen.isEmpty());
        QVERIFY(seen != QStringLiteral("Unknown error"));
    }

    // Catches an accept that fails for want of descriptors and is retried on every event loop
    // turn (a spinning worker, and no error shown), and accepting that never resumes.
    void acceptErrorsPause()
    {
#ifdef Q_OS_UNIX
        WorkerRig k(freePort());
        QList<QTcpSocket *> accepted;
        connect(k.w, &sendThread::onNewClientconnected, this, [&](QTcpSocket *s) { accepted << s; });
        k.cmd(CmdStartListen);
        k.settle();
        // Every thread must have its event dispatcher before descriptors run out: a loaded
        // machine may start the engine thread late.
        QTRY_VERIFY(k.w->recThread->running);
        WorkerLog log(k.w);
        // The peers' descriptors exist before the limit drops to the lowest free one; their
        // connections then wait in the backlog while the worker cannot take them.
        std::vector<int> peers;
        for (int i = 0; i < 3; ++i)
            peers.push_back(::socket(AF_INET, SOCK_STREAM, 0));
        const int lowestFree = ::open("/dev/null", O_RDONLY);
        ::close(lowestFree);
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit low = saved;
        low.rlim_cur = rlim_t(lowestFree);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(k.w->port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool connected = true;
        for (int fd : peers)
            connected = connected && ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
        const bool errorShown = QTest::qWaitFor([&] { return log.count(WorkerLog::ServerError) > 0; }, 5000);
        const bool spun = QTest::qWaitFor([&] { return log.count(WorkerLog::ServerError) > 4; }, 1000);
        const int acceptedWhileShort = accepted.size();
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QVERIFY(connected);
        QVERIFY(errorShown);
        QVERIFY2(!spun, qPrintable(QStringLiteral("%1 accept errors in a second").arg(log.count(WorkerLog::ServerError))));
        QCOMPARE(acceptedWhileShort, 0);
        QVERIFY(!k.w->serverErrorText().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), 3, 10000);
        for (int fd : peers)
            ::close(fd);
#else
        QSKIP("lowers the descriptor limit the POSIX way");
#endif
    }

    void addressKey_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("key");
        QTest::newRow("IPv4") << QStringLiteral("192.168.1.20") << QStringLiteral("192.168.1.20");
        QTest::newRow("v4-mapped") << QStringLiteral("::ffff:192.168.1.20") << QStringLiteral("192.168.1.20");
        QTest::newRow("IPv6: its /64") << QStringLiteral("2001:db8:1:2:aa:bb:cc:dd") << QStringLiteral("2001:db8:1:2::");
        QTest::newRow("IPv6: another of that /64") << QStringLiteral("2001:db8:1:2:ffff::1") << QStringLiteral("2001:db8:1:2::");
        QTest::newRow("IPv6: the next /64") << QStringLiteral("2001:db8:1:3::1") << QStringLiteral("2001:db8:1:3::");
        QTest::newRow("link-local, scope dropped") << QStringLiteral("fe80::1%1") << QStringLiteral("fe80::");
    }
    // Catches IPv6 peers counted per address (one host holds a whole /64 of them), and an IPv4
    // peer of the dual-stack listener counted apart from itself.
    void addressKey()
    {
        QFETCH(QString, address);
        QFETCH(QString, key);
        QCOMPARE(peerLimits::addressKey(QHostAddress(address)).toString(), key);
    }

    void peersOverTheCapsAreClosed_data()
    {
        QTest::addColumn<int>("descriptorLimit"); // 0: as it is
        QTest::addColumn<int>("admitted");        // from 127.0.0.1
        QTest::addColumn<QString>("then");        // what they do before one more comes from there
        QTest::addColumn<bool>("otherAddressAdmitted");
        const int reserve = peerLimits::descriptorReserve;
        const int perAddress = peerLimits::perAddress;
        QTest::newRow("64 from one address") << 0 << perAddress << QString() << true;
        // A socket and a file each: (limit - reserve) / 2.
        QTest::newRow("descriptor limit leaves 3 peers") << reserve + 6 << 3 << QString() << false;
        QTest::newRow("64 that closed leave their places") << 0 << perAddress << QStringLiteral("close") << true;
        QTest::newRow("64 that hung up, not yet seen, leave their places")
            << 0 << perAddress << QStringLiteral("hang up unseen") << true;
        // The second newcomer, from elsewhere, takes the next idlest one's place.
        QTest::newRow("the idlest of 3 makes room") << reserve + 6 << 3 << QStringLiteral("idle") << true;
    }
    // Catches one address holding every place, a cap that ignores the descriptor limit
    // (files on accepted connections would then fail to open), peers that closed or hung up
    // still holding places, and idle peers that keep newcomers out (or an active one closed
    // before the idlest).
    void peersOverTheCapsAreClosed()
    {
#ifdef Q_OS_LINUX
        QFETCH(int, descriptorLimit);
        QFETCH(int, admitted);
        QFETCH(QString, then);
        QFETCH(bool, otherAddressAdmitted);
        PieceRecorder rec;
        WorkerRig k(freePort(), &rec);
        const int idleMs = 300;
        if (then == QLatin1String("idle"))
            k.w->idleMs = idleMs;
        int accepted = 0;
        connect(k.w, &sendThread::onNewClientconnected, this, [&] { ++accepted; });
        WorkerLog log(k.w);
        k.cmd(CmdStartListen);
        k.settle();
        QTRY_VERIFY(k.w->recThread->running); // its event dispatcher exists before the limit drops
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        struct Restore {
            rlimit limit;
            ~Restore() { ::setrlimit(RLIMIT_NOFILE, &limit); }
        } restore{saved};
        if (descriptorLimit) {
            const int lowestFree = ::open("/dev/null", O_RDONLY);
            ::close(lowestFree);
            if (lowestFree + 2 * admitted + 8 > descriptorLimit)
                QSKIP("too many descriptors already open");
            rlimit low = saved;
            low.rlim_cur = rlim_t(descriptorLimit);
            QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
        }
        std::vector<std::unique_ptr<QTcpSocket>> peers;
        const auto unconnected = [&] {
            return std::count_if(peers.begin(), peers.end(),
                                 [](const auto &p) { return p->state() == QAbstractSocket::UnconnectedState; });
        };
        const auto connectPeer = [&](const QHostAddress &from) {
            peers.push_back(std::make_unique<QTcpSocket>());
            if (!from.isNull())
                QVERIFY(peers.back()->bind(from));
            peers.back()->connectToHost(QHostAddress::LocalHost, k.w->port());
        };
        for (int i = 0; i < admitted; ++i)
            connectPeer(QHostAddress());
        QTRY_COMPARE(accepted, admitted);
        QTRY_COMPARE(unconnected(), 0L);
        int expected = admitted + 1; // once one more came from 127.0.0.1
        if (then.isEmpty()) {
            connectPeer(QHostAddress());
            QTRY_COMPARE(unconnected(), 1L);
            expected = admitted;
        } else if (then == QLatin1String("close")) {
            for (const auto &p : peers)
                p->disconnectFromHost();
            QTRY_COMPARE(log.count(WorkerLog::ClientGone), admitted);
            int held = -1;
            k.inWorker([&] { held = k.w->peersHeld(); });
            QCOMPARE(held, 0);
            connectPeer(QHostAddress());
        } else if (then == QLatin1String("hang up unseen")) {
            // The worker takes the newcomer before it reads the others' closes: they reach it
            // while it is held, and the newcomer is handed to it as its accept loop would
            // (which fires in whatever order the event dispatcher likes).
            std::vector<int> ends;
            for (const auto &p : peers)
                ends.push_back(int(p->socketDescriptor()));
            int newcomer = -1;
            k.inWorker([&] {
                for (int fd : ends)
                    ::shutdown(fd, SHUT_WR);
                newcomer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(k.w->port());
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (::connect(newcomer, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
                    return;
                QThread::msleep(50); // the closes have arrived, unread
                auto *loop = k.w->findChild<AcceptLoop *>();
                const int fd = ::accept(int(k.w->server->socketDescriptor()), nullptr, nullptr);
                if (!loop || fd < 0)
                    return;
                emit loop->accepted(fd);
                emit loop->batchDone();
            });
            QTRY_COMPARE(accepted, expected);
            k.settle();
            char byte;
            const bool open = ::recv(newcomer, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == EAGAIN;
            ::close(newcomer);
            QVERIFY2(open, "the newcomer was closed");
        } else if (then == QLatin1String("idle")) {
            QTest::qWait(idleMs + 100);
            peers.front()->write("x"); // the first is active again: the second is the idlest
            QTRY_COMPARE(rec.totalBytes(), qint64(1));
            connectPeer(QHostAddress());
            QTRY_COMPARE(peers.at(1)->state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(peers.at(2)->state(), QAbstractSocket::ConnectedState);
        }
        QTRY_COMPARE(accepted, expected);
        // Another address of the loopback network counts apart.
        connectPeer(QHostAddress(QStringLiteral("127.0.0.2")));
        QTRY_VERIFY(accepted > expected || peers.back()->state() == QAbstractSocket::UnconnectedState);
        k.settle();
        QCOMPARE(accepted, expected + (otherAddressAdmitted ? 1 : 0));
        if (then == QLatin1String("idle")) {
            QTRY_COMPARE(peers.at(2)->state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(peers.front()->state(), QAbstractSocket::ConnectedState);
            QCOMPARE(peers.back()->state(), QAbstractSocket::ConnectedState);
        }
#else
        QSKIP("needs a second loopback address and the POSIX descriptor limit");
#endif
    }

    // Catches reading past the high-water mark, and a resume that waits for a readyRead
    // that buffered bytes never raise (the transfer would stall).
    void flowControl()
    {
        PieceRecorder rec;
        WorkerRig k(freePort(), &rec);
        k.cmd(CmdStartListen);
        k.settle();
        QTcpSocket a;
        a.connectToHost(QHostAddress::LocalHost, k.w->port());
        QVERIFY(a.waitForConnected(5000));
        const qint64 total = receiveThread::highWater + 4 * 1024 * 1024;
        const QByteArray data = pattern(int(total), 'x');
        a.write(data);
        QTRY_VERIFY(rec.totalBytes() > receiveThread::highWater);
        // Give a faulty worker the chance to read on; the sender still holds unsent bytes.
        QTest::qWait(150);
        QVERIFY(rec.totalBytes() <= receiveThread::highWater + sendThread::readBufferSize);
        QVERIFY(a.bytesToWrite() > 0 || rec.totalBytes() < total);

        QTRY_VERIFY_WITH_TIMEOUT([&] { rec.drain(k.w); return rec.totalBytes() == total; }(), 10000);
        QList<ReceivedPiece> pieces = rec.pieces();
        QCOMPARE(rec.stream(pieces.first().connection), data);
    }
};

QTEST_MAIN(TestConnections)
#include "tst_connections.moc"
