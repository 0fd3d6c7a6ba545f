// Two workers in one process, as two instances on two machines: files sent by one arrive
// byte-identical in the other's receive directory, in both directions, fast and paced.
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "tests/workerrig.h"
#include "transfer/receivefile.h"

namespace {
QByteArray randomBytes(int size)
{
    QByteArray b(size, Qt::Uninitialized);
    QRandomGenerator rng(20240611u);
    for (int i = 0; i < size; ++i)
        b[i] = char(rng.generate() & 0xff);
    return b;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
} // namespace

class TestWorkersEndToEnd : public QObject {
    Q_OBJECT
    QTemporaryDir sources;
    QTemporaryDir received;
    std::unique_ptr<WorkerRig> server; // B: listens
    std::unique_ptr<WorkerRig> client; // A: connects
    std::unique_ptr<WorkerLog> serverLog;
    std::unique_ptr<WorkerLog> clientLog;
    QTcpSocket *accepted = nullptr;    // B's socket for A
    QTcpSocket *outgoing = nullptr;    // A's client-role socket

private slots:
    void initTestCase()
    {
        QVERIFY(sources.isValid() && received.isValid());
        receiveDirPath.set(received.path());
        server = std::make_unique<WorkerRig>(freePort());
        client = std::make_unique<WorkerRig>(server->w->port());
        serverLog = std::make_unique<WorkerLog>(server->w);
        clientLog = std::make_unique<WorkerLog>(client->w);
        server->cmd(CmdStartListen);
        QTRY_COMPARE(serverLog->values(WorkerLog::Action), QList<int>{ActionListening});
        client->setHost(QStringLiteral("127.0.0.1"));
        client->cmd(CmdConnect);
        QTRY_COMPARE(serverLog->count(WorkerLog::NewClient), 1);
        accepted = serverLog->sockets(WorkerLog::NewClient).at(0);
        outgoing = client->w->currentClientSocket();
        QTRY_COMPARE(client->w->socketState(outgoing), QAbstractSocket::ConnectedState);
        // Two instances find each other over UDP: both ends of the connection turn fast.
        QTRY_VERIFY(client->w->socketFacts(outgoing).fast && server->w->socketFacts(accepted).fast);
    }

    void cleanupTestCase()
    {
        client.reset();
        server.reset();
        clientLog.reset();
        serverLog.reset();
    }

    void transfer_data()
    {
        QTest::addColumn<bool>("fromClient");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("fast");
        QTest::addColumn<int>("part"); // bytes of a .part planted with the file's time; < 0: bytes that differ
        for (bool fromClient : {true, false}) {
            const char *dir = fromClient ? "client to server" : "server to client";
            const QString prefix = QLatin1String(fromClient ? "ab-" : "ba-");
            QTest::addRow("%s, empty", dir) << fromClient << prefix + QStringLiteral("empty.bin") << 0 << true << 0;
            QTest::addRow("%s, one byte", dir) << fromClient << prefix + QStringLiteral("one.bin") << 1 << true << 0;
            QTest::addRow("%s, 5 MiB random", dir) << fromClient << prefix + QStringLiteral("random.bin") << 5 * 1024 * 1024
                                                   << true << 0;
            QTest::addRow("%s, 5 MiB random, fast mode off", dir)
                << fromClient << prefix + QStringLiteral("paced.bin") << 5 * 1024 * 1024 << false << 0;
            QTest::addRow("%s, Chinese name", dir) << fromClient << prefix + QStringLiteral("测试文件.txt") << 30000 << true << 0;
        }
        const int mib = 1024 * 1024;
        QTest::newRow("a cut file resumes from its part") << true << QStringLiteral("resumed.bin") << 5 * mib << true
                                                          << 3 * mib + 7;
        QTest::newRow("a part that differs is sent again whole") << true << QStringLiteral("restarted.bin") << 5 * mib
                                                                 << true << -(3 * mib);
    }
    // Catches any disagreement between sender and engine on the wire: framing, name
    // encoding, connection tags, lost or reordered pieces, flow control that stalls.
    void transfer()
    {
        QFETCH(bool, fromClient);
        QFETCH(QString, name);
        QFETCH(int, size);
        QFETCH(bool, fast);
        QFETCH(int, part);
        WorkerRig &sender = fromClient ? *client : *server;
        sender.w->fastTransfer = fast;
        WorkerLog &senderLog = fromClient ? *clientLog : *serverLog;
        WorkerLog &receiverLog = fromClient ? *serverLog : *clientLog;
        senderLog.events.clear();
        receiverLog.events.clear();

        const QByteArray data = randomBytes(size);
        const QString source = QDir(sources.path()).filePath(name);
        {
            QFile f(source);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QCOMPARE(f.write(data), qint64(size));
        }
        if (part != 0) {
            QFile p(QDir(received.path()).filePath(name) + ReceiveFile::partSuffix);
            QVERIFY(p.open(QIODevice::WriteOnly));
            p.write(part > 0 ? data.left(part) : QByteArray(-part, 'x'));
            QVERIFY(p.setFileTime(QFileInfo(source).lastModified(), QFileDevice::FileModificationTime));
        }
        // Read in the worker thread as the code is emitted: a process that exits on
        // "finished" must not leave the tail of the file in its own buffer.
        QTcpSocket *target = fromClient ? outgoing : accepted;
        qint64 unwrittenAtFinish = -1;
        const QMetaObject::Connection atFinish = connect(sender.w, &sendThread::transStateGiven, sender.w,
            [&, target](int code) {
                if (code == TransFinished)
                    unwrittenAtFinish = target->bytesToWrite();
            }, Qt::DirectConnection);
        sender.setSend(target, source);
        sender.cmd(CmdSendFile);
        QTRY_COMPARE_WITH_TIMEOUT(senderLog.last(WorkerLog::Trans), int(TransFinished), 15000);
        disconnect(atFinish);
        QCOMPARE(unwrittenAtFinish, qint64(0));
        QTRY_COMPARE_WITH_TIMEOUT(receiverLog.last(WorkerLog::Rec), int(RecFinished), 15000);
        QCOMPARE(receiverLog.values(WorkerLog::Rec).first(), int(RecStarted));
        const QByteArray got = readAll(QDir(received.path()).filePath(name));
        QCOMPARE(got.size(), data.size());
        QVERIFY(got == data);
        QCOMPARE(sender.w->fileBytesRead.load(), qint64(size));
        QCOMPARE(sender.w->fileResumedFrom.load(), qint64(qMax(part, 0)));
        // One progress code per piece: 1 MiB pieces when fast, 12000 bytes when paced.
        const int piece = fast ? sendThread::fastPieceSize : wire::packetSize;
        const int pieces = (size - qMax(part, 0) + piece - 1) / piece;
        QCOMPARE(senderLog.count(WorkerLog::Trans), pieces + 4);
        sender.w->fastTransfer = true;
    }

    void cutTransferThenNext_data()
    {
        QTest::addColumn<bool>("stop"); // else the first file shrinks while it is sent
        QTest::newRow("first file shrinks, batch goes on") << false;
        QTest::newRow("stop, then a new send at once") << true;
    }
    // Catches the next file written into a transfer the receiver is still inside: after a
    // cut, the connection must fall silent until the receiver has ended the cut file.
    void cutTransferThenNext()
    {
        QFETCH(bool, stop);
        client->w->fastTransfer = false; // paced: the cut lands early in the file
        clientLog->events.clear();
        serverLog->events.clear();
        const QString prefix = QLatin1String(stop ? "stop-" : "shrink-");
        const QString big = QDir(sources.path()).filePath(prefix + QStringLiteral("big.bin"));
        const QString small = QDir(sources.path()).filePath(prefix + QStringLiteral("small.txt"));
        const QByteArray smallData = randomBytes(30000);
        for (const auto &file : {qMakePair(big, randomBytes(4 * 1024 * 1024)), qMakePair(small, smallData)}) {
            QFile f(file.first);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QCOMPARE(f.write(file.second), qint64(file.second.size()));
        }
        // In the worker's own turn, so that the cut lands at the same place however loaded.
        int progress = 0;
        const QMetaObject::Connection cut = connect(client->w, &sendThread::transStateGiven, client->w,
            [&](int code) {
                if (code != TransProgress || ++progress != 20)
                    return;
                if (stop) {
                    client->stopSending();
                    client->sendFiles(outgoing, {small});
                } else {
                    QFile::resize(big, 1024 * 1024);
                }
            }, Qt::DirectConnection);
        client->sendFiles(outgoing, stop ? QStringList{big} : QStringList{big, small});
        const QString smallName = QFileInfo(small).fileName();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QDir(received.path()).filePath(smallName)), 15000);
        disconnect(cut);
        QTRY_COMPARE(clientLog->last(WorkerLog::Trans), int(TransFinished));
        QCOMPARE(readAll(QDir(received.path()).filePath(smallName)), smallData);
        const QString bigName = QFileInfo(big).fileName();
        QVERIFY(!QFile::exists(QDir(received.path()).filePath(bigName)));
        QVERIFY(QFile::exists(QDir(received.path()).filePath(bigName + QStringLiteral(".part"))));
        QVERIFY(clientLog->values(WorkerLog::Trans).contains(stop ? int(TransStopped) : int(TransReadFailed)));
        client->w->fastTransfer = true;
    }

    // Catches the upgrade state of a disposed socket left behind: a new socket that gets the
    // same address then inherits it, never upgrades, and its files go paced after a wait.
    // Also the state of the last connection kept on a client socket that connects again (the
    // window's disconnect and connect): it then wrote the new framing before the server had
    // switched. Even rounds' senders are new instances, as each run of send is.
    void reconnectsTurnFastEachTime()
    {
        client.reset();
        std::unique_ptr<WorkerRig> sender;
        for (int round = 0; round < 8; ++round) {
            const int before = serverLog->count(WorkerLog::NewClient);
            // Odd rounds: the same client disconnects and connects again on its socket.
            if (round % 2 == 1)
                sender->cmd(CmdDisconnect);
            else
                sender.reset();
            QTRY_COMPARE(server->w->socketState(accepted), QAbstractSocket::UnconnectedState);
            server->w->disposeSocket(accepted);
            if (!sender) {
                sender = std::make_unique<WorkerRig>(server->w->port());
                sender->setHost(QStringLiteral("127.0.0.1"));
            }
            QTRY_COMPARE(sender->w->socketState(sender->w->currentClientSocket()), QAbstractSocket::UnconnectedState);
            sender->cmd(CmdConnect);
            QTRY_COMPARE(serverLog->count(WorkerLog::NewClient), before + 1);
            accepted = serverLog->sockets(WorkerLog::NewClient).last();
            QTcpSocket *socket = sender->w->currentClientSocket();
            QTRY_VERIFY2_WITH_TIMEOUT(sender->w->socketFacts(socket).fast && server->w->socketFacts(accepted).fast,
                                      qPrintable(QStringLiteral("round %1").arg(round)), 3000);
        }
    }
};

QTEST_MAIN(TestWorkersEndToEnd)
#include "tst_workers_endtoend.moc"
