// The file sender, checked byte by byte on a loopback peer.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <atomic>
#include <memory>

#include "tests/workerrig.h"
#include "transfer/extframing.h"
#include "transfer/peerdatagram.h"

namespace {
QByteArray content(qint64 size)
{
    QByteArray b(int(size), Qt::Uninitialized);
    for (int i = 0; i < b.size(); ++i)
        b[i] = char((i * 131) ^ (i >> 8));
    return b;
}

QByteArray header(const QByteArray &name, qint64 size)
{
    return wire::startMarker + name + wire::sizeMarker + QByteArray::number(size) + wire::sizeEndMarker;
}

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return QString();
    return path;
}

// A peer in the test thread that keeps every byte it receives.
struct Peer {
    std::unique_ptr<QTcpSocket> socket;
    QByteArray received;
    void take(QTcpSocket *s)
    {
        socket.reset(s);
        QObject::connect(s, &QTcpSocket::readyRead, [this] { received += socket->readAll(); });
    }
};

// The worker listening, with one peer of the test connected to it; returns the worker's
// accepted socket for that peer, or null.
QTcpSocket *acceptPeer(WorkerRig &k, WorkerLog &log, Peer &peer)
{
    k.cmd(CmdStartListen);
    k.settle();
    peer.take(new QTcpSocket);
    peer.socket->connectToHost(QHostAddress::LocalHost, k.w->port());
    if (!QTest::qWaitFor([&] { return log.count(WorkerLog::NewClient) == 1; }))
        return nullptr;
    return log.sockets(WorkerLog::NewClient).at(0);
}

// The worker in the client role, connected to a peer in the test thread.
struct ClientRig {
    QTcpServer server;
    std::unique_ptr<WorkerRig> k;
    std::unique_ptr<WorkerLog> log;
    Peer peer;
    QTcpSocket *target = nullptr;

    // Another process of the peer's host, holding the UDP port, answers the probe.
    QUdpSocket stranger;

    bool start(bool strangerAnswers = false)
    {
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        if (strangerAnswers) {
            if (!stranger.bind(QHostAddress::LocalHost, server.serverPort()))
                return false;
            QObject::connect(&stranger, &QUdpSocket::readyRead, [this] { answerProbe(); });
        }
        k = std::make_unique<WorkerRig>(server.serverPort(), &recorder);
        log = std::make_unique<WorkerLog>(k->w);
        k->setHost(QStringLiteral("127.0.0.1"));
        k->cmd(CmdConnect);
        if (!server.hasPendingConnections() && !server.waitForNewConnection(5000))
            return false;
        peer.take(server.nextPendingConnection());
        target = k->w->currentClientSocket();
        return QTest::qWaitFor([&] { return k->w->socketState(target) == QAbstractSocket::ConnectedState; });
    }
    void answerProbe()
    {
        while (stranger.hasPendingDatagrams()) {
            QByteArray bytes(int(stranger.pendingDatagramSize()), Qt::Uninitialized);
            QHostAddress from;
            quint16 port = 0;
            stranger.readDatagram(bytes.data(), bytes.size(), &from, &port);
            const auto probe = peerwire::parse(bytes.constData(), bytes.size());
            if (!probe || probe->kind != peerwire::Kind::CapabilityProbe)
                continue;
            peerwire::Datagram answer;
            answer.kind = peerwire::Kind::CapabilityAnswer;
            answer.sender = 777;
            answer.nonce = probe->nonce;
            answer.other = 999;
            answer.features = extwire::knownFeatures;
            stranger.writeDatagram(peerwire::encode(answer), from, port);
        }
    }
    void send(const QString &path)
    {
        k->setSend(target, path);
        k->cmd(CmdSendFile);
    }
    bool ended() const
    {
        const int code = log->last(WorkerLog::Trans);
        return code != -1 && code != TransStarted && code != TransProgress;
    }
    PieceRecorder recorder;
};
} // namespace

class TestFileSender : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    enum { PeerCloses, Disposed, Stalls };

private slots:
    void exactStream_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("afterProbe"); // sent once the capability probe went unanswered
        QTest::addColumn<bool>("strangerAnswers");
        QTest::newRow("empty") << QStringLiteral("empty.bin") << qint64(0) << false << false;
        QTest::newRow("one packet") << QStringLiteral("one.bin") << qint64(12000) << false << false;
        QTest::newRow("packet and a byte") << QStringLiteral("more.bin") << qint64(12001) << false << false;
        QTest::newRow("non-ASCII name") << QStringLiteral("报告.txt") << qint64(5) << false << false;
        QTest::newRow("twenty packets") << QStringLiteral("long.bin") << qint64(240000) << false << false;
        QTest::newRow("twenty packets, probe unanswered") << QStringLiteral("late.bin") << qint64(240000) << true << false;
        // The TCP peer never proves what the UDP answer claims: the file still goes paced.
        QTest::newRow("twenty packets, probe answered by a stranger")
            << QStringLiteral("stranger.bin") << qint64(240000) << false << true;
    }
    // Catches any change to the bytes on the wire, a wrong progress count, counters that
    // miss a write, writes that follow each other without the 1 ms gap, and a sender that
    // closes the socket; also toward a peer that left the capability probe unanswered.
    void exactStream()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(bool, afterProbe);
        QFETCH(bool, strangerAnswers);
        ClientRig r;
        QVERIFY(r.start(strangerAnswers));
        if (afterProbe)
            QTest::qWait(PeerService::probeWindowMs + 100);
        if (strangerAnswers) {
            // What a stranger's answer costs the peer: one upgrade frame, as text.
            QTRY_COMPARE(r.peer.received,
                         extwire::encodeUpgrade(extwire::chosenFeature(extwire::knownFeatures), false, {999}));
            r.peer.received.clear();
        }
        const QByteArray data = content(size);
        const QString path = writeFile(dir.filePath(name), data);
        QVERIFY(!path.isEmpty());

        QElapsedTimer clock;
        clock.start();
        r.send(path);
        const QByteArray expected = header(name.toUtf8(), size) + data + wire::endMarker;
        QTRY_COMPARE(r.peer.received.size(), expected.size());
        const qint64 elapsed = clock.nsecsElapsed();
        QCOMPARE(r.peer.received, expected);
        QTRY_VERIFY(r.ended());

        const int packets = int((size + wire::packetSize - 1) / wire::packetSize);
        QList<int> codes{TransStarted};
        for (int i = 0; i < packets + 2; ++i)
            codes << TransProgress;
        codes << TransFinished;
        QCOMPARE(r.log->values(WorkerLog::Trans), codes);
        QCOMPARE(r.k->w->fileSize.load(), size);
        QCOMPARE(r.k->w->fileBytesRead.load(), size);
        QCOMPARE(r.k->w->socketBytesWritten.load(),
                 size + 84 + name.toUtf8().size() + QByteArray::number(size).size());
        // Header, packets and end marker: packets + 1 gaps of at least 1 ms.
        QVERIFY2(elapsed >= qint64(packets + 1) * 1000000, qPrintable(QString::number(elapsed)));
        QCOMPARE(r.k->w->socketState(r.target), QAbstractSocket::ConnectedState);
        QVERIFY(!r.k->w->socketFacts(r.target).fast);
    }

    // Catches the name taken after a backslash or the whole path sent as the name.
    void nameAfterLastSlash()
    {
#ifdef Q_OS_WIN
        QSKIP("a backslash separates directories there: no file has one in its name");
#endif
        ClientRig r;
        QVERIFY(r.start());
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sub")));
        const QString path = writeFile(dir.filePath(QStringLiteral("sub/a\\b.txt")), "x");
        QVERIFY(!path.isEmpty());
        const QString saved = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.filePath(QStringLiteral("sub"))));
        r.send(QStringLiteral("a\\b.txt")); // no '/' at all: the whole path is the name
        QTRY_VERIFY(r.ended());
        QDir::setCurrent(saved);
        QCOMPARE(r.peer.received, header("a\\b.txt", 1) + "x" + wire::endMarker);
    }

    void openFails_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("code");
        QTest::newRow("empty path") << QString() << int(TransOpenFailed);
        QTest::newRow("missing") << QStringLiteral("none/none.bin") << int(TransOpenFailed);
        // To a peer that is not an instance: refused with a code of its own.
        QTest::newRow("directory") << QStringLiteral("sub") << int(TransFolderRefused);
    }
    // Catches a header sent for a file that never opened, or counters reset by it.
    void openFails()
    {
        QFETCH(QString, path);
        QFETCH(int, code);
        ClientRig r;
        QVERIFY(r.start());
        r.k->w->fileBytesRead = 7;
        r.k->w->socketBytesWritten = 9;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sub")));
        const QString full = path.isEmpty() ? path : dir.filePath(path);
        r.send(full);
        r.k->cmd(CmdSendTest); // a sentinel: the greeting must be the first thing on the wire
        QTRY_COMPARE(r.peer.received, wire::greeting);
        r.k->settle();
        QCOMPARE(r.log->values(WorkerLog::Trans), QList<int>{code});
        QCOMPARE(r.k->w->fileBytesRead.load(), qint64(7));
        QCOMPARE(r.k->w->socketBytesWritten.load(), qint64(9));
        QCOMPARE(r.k->w->fileSize.load(), QFile(full).size()); // taken before the open fails
    }

    // Catches a stop that is not honoured after the next write, an end marker sent after a
    // stop, a socket closed by the stop, and a stale stop request that kills a new send.
    void stopMidway()
    {
        ClientRig r;
        QVERIFY(r.start());
        const QByteArray data = content(3 * 1024 * 1024);
        const QString path = writeFile(dir.filePath(QStringLiteral("big.bin")), data);
        r.k->w->stopSend = true; // left over from before: must not count
        r.send(path);
        QTRY_VERIFY(r.log->count(WorkerLog::Trans) >= 6);
        r.k->w->stopSend = true;
        QTRY_VERIFY(r.ended());
        QCOMPARE(r.log->last(WorkerLog::Trans), int(TransStopped));

        const QByteArray head = header("big.bin", data.size());
        const qint64 written = r.k->w->socketBytesWritten.load();
        QTRY_COMPARE(r.peer.received.size(), int(written));
        QVERIFY(r.peer.received.startsWith(head));
        const int sent = r.peer.received.size() - head.size();
        QVERIFY(sent % wire::packetSize == 0 && sent < data.size());
        QCOMPARE(r.peer.received.mid(head.size()), data.left(sent));
        QCOMPARE(r.k->w->socketState(r.target), QAbstractSocket::ConnectedState);

    }

    void targetGone_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("peer closes") << int(PeerCloses);
        QTest::newRow("socket disposed") << int(Disposed);
        QTest::newRow("peer stops reading") << int(Stalls);
    }
    // Catches a write after the connection is gone, a sender that touches a socket the
    // window disposed of while the transfer served its events, and one that waits for good
    // on a link that takes nothing more (a pulled cable looks like a peer that stops reading).
    void targetGone()
    {
        QFETCH(int, how);
        WorkerRig k(freePort());
        WorkerLog log(k.w);
        Peer peer;
        QTcpSocket *target = acceptPeer(k, log, peer);
        QVERIFY(target);
        k.w->stallMs = 1000;

        const QByteArray data = content(how == Stalls ? 32 * 1024 * 1024 : 4 * 1024 * 1024);
        k.setSend(target, writeFile(dir.filePath(QStringLiteral("gone.bin")), data));
        k.cmd(CmdSendFile);
        QTRY_VERIFY(peer.received.size() > 100000);
        if (how == Disposed) {
            k.w->disposeSocket(target);
        } else if (how == PeerCloses) {
            peer.socket->abort();
        } else {
            peer.socket->disconnect();
            peer.socket->setReadBufferSize(4096);
        }
        QTRY_VERIFY_WITH_TIMEOUT(log.values(WorkerLog::Trans).contains(TransDisconnected), 10000);
        k.settle();
        QCOMPARE(log.last(WorkerLog::Trans), int(TransDisconnected));
        QVERIFY(!log.values(WorkerLog::Trans).contains(TransFinished));
        // The buffer that was due when the loss was seen was read but never written.
        const qint64 head = header("gone.bin", data.size()).size();
        QCOMPARE(k.w->socketBytesWritten.load(), head + k.w->fileBytesRead.load() - wire::packetSize);
    }

    // Catches commands that wait for the transfer to end, or that end it.
    void commandsBetweenPackets()
    {
        WorkerRig k(freePort());
        WorkerLog log(k.w);
        Peer peer;
        QTcpSocket *target = acceptPeer(k, log, peer);
        QVERIFY(target);

        const QByteArray data = content(2 * 1024 * 1024);
        k.setSend(target, writeFile(dir.filePath(QStringLiteral("busy.bin")), data));
        k.cmd(CmdSendFile);
        QTRY_VERIFY(log.count(WorkerLog::Trans) >= 3);
        k.setHost(QStringLiteral("127.0.0.1"));
        k.cmd(CmdConnect); // the client-role socket connects to our own server
        QTRY_VERIFY(log.values(WorkerLog::State).contains(QAbstractSocket::ConnectedState));
        k.cmd(CmdDisconnect);
        QTRY_COMPARE(log.last(WorkerLog::State), int(QAbstractSocket::UnconnectedState));
        QTRY_COMPARE(log.last(WorkerLog::Trans), int(TransFinished));

        // Both state changes came between two progress codes.
        QList<int> order; // transfer codes, and -1 for a connection state change
        for (const WorkerLog::Event &e : log.events) {
            if (e.kind == WorkerLog::Trans)
                order << e.value;
            else if (e.kind == WorkerLog::State && e.value == QAbstractSocket::ConnectedState)
                order << -1;
            else if (e.kind == WorkerLog::State && e.value == QAbstractSocket::UnconnectedState)
                order << -2;
        }
        const int connected = order.indexOf(-1), closed = order.indexOf(-2);
        QVERIFY(order.indexOf(TransProgress) < connected && connected < closed);
        QCOMPARE(order.value(closed + 1), int(TransProgress));
        QTRY_COMPARE(peer.received, header("busy.bin", data.size()) + data + wire::endMarker);
    }

    void readFails_data()
    {
        QTest::addColumn<bool>("truncate");
        QTest::newRow("cut while sending") << true;
#ifdef Q_OS_LINUX
        QTest::newRow("unreadable") << false;
#endif
    }
    // Catches an end marker (a claim of success) after the file failed to read.
    void readFails()
    {
        QFETCH(bool, truncate);
        ClientRig r;
        QVERIFY(r.start());
        QString path = QStringLiteral("/proc/self/mem"); // opens, but reading offset 0 fails
        if (truncate)
            path = writeFile(dir.filePath(QStringLiteral("cut.bin")), content(4 * 1024 * 1024));
        r.send(path);
        if (truncate) {
            QTRY_VERIFY(r.log->count(WorkerLog::Trans) >= 2);
            QFile f(path);
            QVERIFY(f.resize(30000));
        }
        QTRY_VERIFY(r.ended());
        QCOMPARE(r.log->last(WorkerLog::Trans), int(TransReadFailed));
        QTRY_COMPARE(r.peer.received.size(), int(r.k->w->socketBytesWritten.load()));
        QVERIFY(!r.peer.received.endsWith(wire::endMarker));
        QCOMPARE(r.k->w->socketState(r.target), QAbstractSocket::ConnectedState);
    }

    // Catches a stop that lands as a file finishes and is lost before the next one starts:
    // the rest of the batch must still be dropped.
    void stopAsFileFinishes()
    {
        ClientRig r;
        QVERIFY(r.start());
        QStringList paths;
        QByteArray first;
        for (int i = 0; i < 3; ++i) {
            const QByteArray data = content(30000 + i);
            if (i == 0)
                first = data;
            paths << writeFile(dir.filePath(QStringLiteral("batch%1.bin").arg(i)), data);
        }
        QSignalSpy ended(r.k->w, &sendThread::batchEnded);
        QObject::connect(r.k->w, &sendThread::transStateGiven, r.k->w, [&r](int code) {
            if (code == TransFinished)
                r.k->stopSending();
        }, Qt::DirectConnection);
        r.k->sendFiles(r.target, paths);
        QVERIFY(ended.wait(5000));
        const BatchStatus status = ended.at(0).at(0).value<BatchStatus>();
        QCOMPARE(status.sent, 1);
        QCOMPARE(status.dropped, 2);
        r.k->settle();
        QCOMPARE(r.peer.received, header("batch0.bin", first.size()) + first + wire::endMarker);
    }

    // Catches "finished" reported while the tail of the file still waits in our buffer: a
    // front end that exits or closes on it would cut the file.
    void finishedOnlyWhenWritten()
    {
        ClientRig r;
        QVERIFY(r.start());
        r.peer.socket->disconnect(); // read on our own schedule, about 4 MB/s
        r.peer.socket->setReadBufferSize(64 * 1024);
        r.peer.socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 64 * 1024);
        const QByteArray data = content(12 * 1024 * 1024);
        const QString path = writeFile(dir.filePath(QStringLiteral("tail.bin")), data);
        std::atomic<qint64> unwrittenAtFinish{-1};
        QObject::connect(r.k->w, &sendThread::transStateGiven, r.k->w, [&r, &unwrittenAtFinish](int code) {
            if (code == TransFinished)
                unwrittenAtFinish = r.target->bytesToWrite(); // worker thread: its own socket
        }, Qt::DirectConnection);
        r.send(path);
        QTimer reader;
        QObject::connect(&reader, &QTimer::timeout, [&r] { r.peer.received += r.peer.socket->read(40000); });
        reader.start(10);
        QTRY_VERIFY_WITH_TIMEOUT(r.ended(), 20000);
        QCOMPARE(r.log->last(WorkerLog::Trans), int(TransFinished));
        QCOMPARE(unwrittenAtFinish.load(), qint64(0));
        QTRY_COMPARE_WITH_TIMEOUT(r.peer.received.size(), int(header("tail.bin", data.size()).size() + data.size() + wire::endMarker.size()), 10000);
    }

    // Catches a sender that lets the write buffer grow with the file when the peer is slow,
    // or that cannot be stopped while it waits for room.
    void slowReaderBounded()
    {
        ClientRig r;
        QVERIFY(r.start());
        r.peer.socket->disconnect(); // read on our own schedule
        r.peer.socket->setReadBufferSize(4096);
        const QString path = writeFile(dir.filePath(QStringLiteral("slow.bin")), content(32 * 1024 * 1024));
        r.send(path);
        const qint64 bound = sendThread::sendBufferBound;
        QTRY_VERIFY_WITH_TIMEOUT(r.k->w->peakUnwritten.load() > bound - wire::packetSize, 10000);
        // Now read slowly for a while: writes go on, the buffer stays bounded.
        const qint64 before = r.k->w->socketBytesWritten.load();
        QElapsedTimer clock;
        clock.start();
        qint64 taken = 0;
        while (clock.elapsed() < 400) {
            QTest::qWait(10);
            taken += r.peer.socket->read(20000).size();
        }
        QVERIFY(taken > 0);
        QTRY_VERIFY(r.k->w->socketBytesWritten.load() > before);
        r.k->w->stopSend = true;
        QTRY_VERIFY(r.ended());
        QCOMPARE(r.log->last(WorkerLog::Trans), int(TransStopped));
        QVERIFY2(r.k->w->peakUnwritten.load() <= bound + wire::packetSize,
                 qPrintable(QString::number(r.k->w->peakUnwritten.load())));
    }
};

QTEST_MAIN(TestFileSender)
#include "tst_filesender.moc"
