// The worker's own thread, its command dispatch and its teardown.
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include "tests/workerrig.h"
#include "transfer/receivethread.h"

class TestWorker : public QObject {
    Q_OBJECT
private slots:
    // Catches slots running in the GUI thread, or children left behind on moveToThread.
    void threadAffinity()
    {
        WorkerRig k(freePort());
        QCOMPARE(k.w->thread(), static_cast<QThread *>(k.w));
        QVERIFY(k.w->isRunning());
        QVERIFY(k.w->recThread);
        QVERIFY(k.w->recThread->isRunning());
        QThread *seen = nullptr;
        QThread *serverThread = nullptr;
        QThread *clientThread = nullptr;
        k.inWorker([&] {
            seen = QThread::currentThread();
            serverThread = k.w->server->thread();
            clientThread = k.w->clientSocket->thread();
        });
        QCOMPARE(seen, static_cast<QThread *>(k.w));
        QCOMPARE(serverThread, seen);
        QCOMPARE(clientThread, seen);
        QCOMPARE(k.w->sendRole.load(), int(RoleIdle));
        QCOMPARE(k.w->receiveRole.load(), int(RoleIdle));
        QCOMPARE(k.w->stopSend.load(), false);
        QCOMPARE(k.w->fileSize.load(), qint64(0));
        QVERIFY(k.w->targetSocket == nullptr);
    }

    void unknownCodes_data()
    {
        QTest::addColumn<int>("code");
        QTest::newRow("6") << 6;
        QTest::newRow("13") << 13;
        QTest::newRow("-1") << -1;
        QTest::newRow("INT_MIN") << std::numeric_limits<int>::min();
        QTest::newRow("INT_MAX") << std::numeric_limits<int>::max();
    }
    // Catches a signed comparison that lets a negative code into the dispatch.
    void unknownCodes()
    {
        QFETCH(int, code);
        WorkerRig k(freePort());
        QList<std::shared_ptr<QSignalSpy>> spies;
        const QMetaObject *mo = k.w->metaObject();
        for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
            if (mo->method(i).methodType() == QMetaMethod::Signal)
                spies << std::make_shared<QSignalSpy>(k.w, mo->method(i));
        }
        QVERIFY(spies.size() >= 8);
        k.cmd(code);
        bool listening = true;
        QAbstractSocket::SocketState state = QAbstractSocket::ConnectedState;
        k.inWorker([&] {
            listening = k.w->server->isListening();
            state = k.w->clientSocket->state();
        });
        QCoreApplication::processEvents();
        QVERIFY(!listening);
        QCOMPARE(state, QAbstractSocket::UnconnectedState);
        for (const auto &s : spies)
            QCOMPARE(s->count(), 0);
    }

    // Catches a greeting with a marker, a terminator or the wrong encoding.
    void greetingBytes()
    {
        QTcpServer peer;
        QVERIFY(peer.listen(QHostAddress::LocalHost, 0));
        WorkerRig k(peer.serverPort());
        k.setHost(QStringLiteral("127.0.0.1"));
        k.cmd(CmdConnect);
        QVERIFY(peer.waitForNewConnection(5000));
        std::unique_ptr<QTcpSocket> in(peer.nextPendingConnection());
        QTRY_COMPARE_WITH_TIMEOUT(k.w->socketState(k.w->currentClientSocket()), QAbstractSocket::ConnectedState, 5000);
        {
            QMutexLocker lock(&k.w->commandMutex);
            k.w->targetSocket = k.w->currentClientSocket();
        }
        k.cmd(CmdSendTest);
        k.cmd(CmdDisconnect); // graceful: what was written still arrives, then the close
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (in->state() == QAbstractSocket::ConnectedState && t.elapsed() < 5000) {
            in->waitForReadyRead(100);
            got += in->readAll();
        }
        got += in->readAll();
        QCOMPARE(got.size(), 25);
        QCOMPARE(got, QByteArray("\xE4\xBD\xA0\xE5\xA5\xBD,\xE6\x88\x91\xE6\x98\xAF\xE6\xBE\x9C\xE7\x9F\xB3\xE6\x9C\xBA\xE7\x94\xB5"));
        QCOMPARE(QString::fromUtf8(got), QStringLiteral("你好,我是澜石机电"));
    }

    // Catches a teardown that leaves the server, a socket or the engine thread alive.
    void teardown()
    {
        QTcpServer peer;
        QVERIFY(peer.listen(QHostAddress::LocalHost, 0));
        auto *w = new sendThread(peer.serverPort());
        w->moveToThread(w);
        w->start();
        QPointer<QTcpServer> server = w->server;
        QPointer<QTcpSocket> client = w->clientSocket;
        QPointer<receiveThread> engine = w->recThread;
        QMetaObject::invokeMethod(w, "handleCmd", Qt::QueuedConnection, Q_ARG(int, CmdStartListen));
        QMetaObject::invokeMethod(w, [] {}, Qt::BlockingQueuedConnection);
        w->quit();
        QVERIFY(w->wait(5000));
        QVERIFY(w->isFinished());
        delete w;
        QVERIFY(server.isNull());
        QVERIFY(client.isNull());
        QVERIFY(engine.isNull());
    }
};

QTEST_MAIN(TestWorker)
#include "tst_worker.moc"
