// Two windows in one process over loopback, on a free port: a server window and a client
// window connect, greet, exchange real files both ways and part, and both logs tell it.
#include <QFile>
#include <QMimeData>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

#include <atomic>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

#include "transfer/receivethread.h"
#include "windowprobe.h"

using P = MainWindowProbe;
using testutil::logLines;

namespace {
bool logHas(MainWindow &w, const QString &line)
{
    return logLines(w).contains(line);
}

// The lines that follow the last occurrence of first, first included.
QStringList linesFrom(MainWindow &w, const QString &first, int count)
{
    const QStringList lines = logLines(w);
    const int at = lines.lastIndexOf(first);
    return at < 0 ? QStringList() : lines.mid(at, count);
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator gen(20240501);
    for (char &b : bytes)
        b = char(gen.bounded(256));
    return bytes;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Bytes a transfer puts on the wire: four markers of 84 bytes, the name, the size digits, data.
// Between two instances a file travels as frames: offer, start, data of up to 1 MiB, end.
qint64 wireBytes(const QString &name, qint64 size, bool instances = true)
{
    if (!instances)
        return 84 + name.toUtf8().size() + QString::number(size).size() + size;
    const qint64 mib = 1024 * 1024;
    return 23 + name.toUtf8().size() + 13 + 5 * ((size + mib - 1) / mib) + size + 21;
}
} // namespace

class tst_WindowEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void twoWindowsExchangeFiles();
    void connectionChurnLeavesAConsistentWindow();
    void batches_data();
    void batches();

private:
    struct WindowPair {
        QTemporaryDir serverSettings, clientSettings;
        std::unique_ptr<MainWindow> server, client;
    };
    // Without instances the client takes no part in the capability exchange, as a plain peer.
    void connectPair(WindowPair &pair, const QString &receiveDir, bool instances = true);
    void sendFile(MainWindow &from, MainWindow &to, const QString &name, const QByteArray &content);

    QTemporaryDir tmp;
    QString recvDir;
};

// Sends content from one window to the other and checks the file and both reports. Faults: a
// file that differs, a report line missing or with sizes of another transfer, controls that
// stay disabled, a progress bar that stays up or never reaches 100.
void tst_WindowEndToEnd::sendFile(MainWindow &from, MainWindow &to, const QString &name, const QByteArray &content)
{
    const QString source = tmp.filePath(QStringLiteral("src/") + name);
    {
        QFile f(source);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(content), qint64(content.size()));
    }
    from.openFileDialog = [source](QWidget *, const QString &, const QString &) { return QStringList{source}; };
    P::ui(from)->textEdit->clear();
    P::ui(to)->textEdit->clear();

    QTest::mouseClick(P::ui(from)->fileTransmitBtn, Qt::LeftButton);
    QCOMPARE(logLines(from).last(), QStringLiteral("开始传送中..."));
    QVERIFY(!P::ui(from)->fileTransmitBtn->isEnabled());

    QTRY_VERIFY_WITH_TIMEOUT(logHas(from, QStringLiteral("传送完成!")), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(logHas(to, QStringLiteral("接收完成!")), 20000);

    const QString size = QString::number(content.size());
    const QString total = QString::number(wireBytes(name, content.size()));
    const QRegularExpression elapsed(QStringLiteral("^(发送|接收)耗时:\\d+\\.\\d{3}s$"));

    const QStringList sent = linesFrom(from, QStringLiteral("传送完成!"), 6);
    QCOMPARE(sent.mid(0, 3), (QStringList{QStringLiteral("传送完成!"), QStringLiteral("发送文件大小:") + size,
                                          QStringLiteral("总发送字节大小:") + total}));
    QVERIFY2(elapsed.match(sent.value(3)).hasMatch(), qPrintable(sent.value(3)));
    QVERIFY2(testutil::linesMatch({sent.value(4)}, {testutil::rateLine}), qPrintable(sent.value(4)));
    QCOMPARE(sent.value(5), QString());

    const QStringList received = linesFrom(to, QStringLiteral("开始接收..."), 8);
    QCOMPARE(received.mid(0, 5), (QStringList{QStringLiteral("开始接收..."), QStringLiteral("接收完成!"),
                                              QStringLiteral("文件接收大小:") + size,
                                              QStringLiteral("总接收Byte大小:") + total,
                                              QStringLiteral("保存为:") + name}));
    QVERIFY2(elapsed.match(received.value(5)).hasMatch(), qPrintable(received.value(5)));
    QVERIFY2(testutil::linesMatch({received.value(6)}, {testutil::rateLine}), qPrintable(received.value(6)));
    QCOMPARE(received.value(7), QString());

    QCOMPARE(readAll(recvDir + QLatin1Char('/') + name), content);
    QVERIFY(P::ui(from)->fileTransmitBtn->isEnabled());
    QVERIFY(P::ui(from)->testBtn->isEnabled());
    QVERIFY(P::progressBar(from)->isHidden());
    if (!content.isEmpty())
        QCOMPARE(P::progressBar(from)->value(), 100);
    QTRY_VERIFY(P::ui(to)->dirShowLineEdit->isEnabled());
    QCOMPARE(P::worker(from)->sendRole.load(), int(RoleIdle));
}

// A server and a client window connected over loopback on a free port. Both windows share the
// process, and so the receive directory.
void tst_WindowEndToEnd::connectPair(WindowPair &pair, const QString &receiveDir, bool instances)
{
    const quint16 port = testutil::freePort();
    pair.server = testutil::makeWindow(pair.serverSettings, {{QStringLiteral("socketType"), QStringLiteral("server")},
                                                             {QStringLiteral("saveFilePath"), receiveDir}},
                                       port);
    QTRY_COMPARE(P::serverStateLabel(*pair.server)->text(), QStringLiteral("监听中..."));
    pair.client = testutil::makeWindow(pair.clientSettings, {{QStringLiteral("socketType"), QStringLiteral("client")},
                                                             {QStringLiteral("saveFilePath"), receiveDir},
                                                             {QStringLiteral("serverAddress"), QStringLiteral(" 127.0.0.1 ")},
                                                             {QStringLiteral("fastTransfer"), instances}},
                                       port);
    P::ui(*pair.client)->act_connect->trigger();
    QTRY_COMPARE(P::clientStateLabel(*pair.client)->text(), QStringLiteral("已建立连接"));
    QTRY_COMPARE(P::ui(*pair.server)->clientcomBox->count(), 1);
    if (!instances)
        return;
    // Two instances: once both ends have proved it, files go as frames (see wireBytes).
    sendThread *client = P::worker(*pair.client);
    sendThread *server = P::worker(*pair.server);
    QTRY_VERIFY(client->socketFacts(client->currentClientSocket()).fast);
    QTRY_VERIFY(!P::peerSockets(*pair.server).isEmpty()
                && server->socketFacts(P::peerSockets(*pair.server).first().first).fast);
}

void tst_WindowEndToEnd::twoWindowsExchangeFiles()
{
    QVERIFY(QDir(tmp.path()).mkpath(QStringLiteral("recv")));
    QVERIFY(QDir(tmp.path()).mkpath(QStringLiteral("src")));
    recvDir = tmp.filePath(QStringLiteral("recv"));
    WindowPair pair;
    connectPair(pair, recvDir);
    if (QTest::currentTestFailed())
        return;
    MainWindow *server = pair.server.get();
    MainWindow *client = pair.client.get();

    // Connect. Faults: the client's state not shown, the peer not listed under its IPv4 key.
    QVERIFY(logHas(*client, QStringLiteral("已和服务器建立连接")));
    QVERIFY(!P::ui(*client)->act_connect->isEnabled());
    QTRY_COMPARE(P::ui(*server)->clientcomBox->count(), 1);
    QCOMPARE(P::ui(*server)->clientcomBox->itemText(0), QStringLiteral("127.0.0.1"));
    const QStringList accepted = linesFrom(*server, QStringLiteral("已和客户端建立连接"), 3);
    QCOMPARE(accepted.value(1), QStringLiteral("client address:::ffff:127.0.0.1"));
    QVERIFY(accepted.value(2).startsWith(QStringLiteral("client port:")));

    // Greeting both ways.
    QTest::mouseClick(P::ui(*client)->testBtn, Qt::LeftButton);
    QTRY_VERIFY(logHas(*server, QStringLiteral("[in] 你好,我是澜石机电")));
    QTest::mouseClick(P::ui(*server)->testBtn, Qt::LeftButton);
    QTRY_VERIFY(logHas(*client, QStringLiteral("[in] 你好,我是澜石机电")));

    sendFile(*client, *server, QStringLiteral("报告 1.bin"), randomBytes(300 * 1000 + 7));
    sendFile(*server, *client, QStringLiteral("back.txt"), QByteArray("one line\n"));
    sendFile(*client, *server, QStringLiteral("empty"), QByteArray());

    // Part. Faults: the dropped peer kept in the list, the client's state not shown.
    P::ui(*client)->act_disconnect->trigger();
    QTRY_COMPARE(P::clientStateLabel(*client)->text(), QStringLiteral("已断开连接"));
    QVERIFY(P::ui(*client)->act_connect->isEnabled());
    QTRY_COMPARE(P::ui(*server)->clientcomBox->count(), 0);
    QVERIFY(P::clientSockets(*server).isEmpty());
    QCOMPARE(linesFrom(*server, QStringLiteral("已和客户端断开连接"), 2).value(1),
             QStringLiteral("client address:127.0.0.1"));
}

// Connects, disconnects and tests in quick turns, so that the worker replaces its client-role
// socket and drops accepted ones while the windows ask about them. Faults: a window reading a
// deleted socket (the sanitizer build sees it), a client list that keeps dropped peers or loses
// step with its sockets, a window that cannot connect again afterwards.
void tst_WindowEndToEnd::connectionChurnLeavesAConsistentWindow()
{
    const quint16 port = testutil::freePort();
    QTemporaryDir aDir, bDir;
    auto server = testutil::makeWindow(aDir, {{QStringLiteral("socketType"), QStringLiteral("server")}}, port);
    auto client = testutil::makeWindow(bDir, {{QStringLiteral("socketType"), QStringLiteral("client")},
                                              {QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1")}},
                                       port);
    QTRY_COMPARE(P::serverStateLabel(*server)->text(), QStringLiteral("监听中..."));

    Ui::MainWindow *ui = P::ui(*client);
    for (int i = 0; i < 100; ++i) {
        ui->act_connect->trigger();
        if (i % 3 == 0)
            QCoreApplication::processEvents();
        ui->testBtn->click();
        ui->act_disconnect->trigger();
        ui->testBtn->click();
        P::ui(*server)->testBtn->click();
        QCoreApplication::processEvents();
    }
    // Connected once more: the greeting arrives, and the list holds live peers only (at most
    // this one; a churned connection from the same address may hide it, as duplicates are).
    // The labels may still show states of churned sockets, so wait on the worker's facts once it
    // has run every command: the test must go to the socket that is really connected.
    ui->act_connect->trigger();
    P::drainWorker(*client);
    sendThread *clientWorker = P::worker(*client);
    QTRY_COMPARE(clientWorker->socketState(clientWorker->currentClientSocket()), QAbstractSocket::ConnectedState);
    P::ui(*server)->textEdit->clear();
    ui->testBtn->click();
    QTRY_VERIFY(logHas(*server, QStringLiteral("[in] 你好,我是澜石机电")));
    const auto onlyLivePeers = [&] {
        const QVector<QTcpSocket *> &listed = P::clientSockets(*server);
        if (listed.size() != P::ui(*server)->clientcomBox->count() || listed.size() > 1)
            return false;
        for (QTcpSocket *s : listed) {
            if (P::worker(*server)->socketState(s) != QAbstractSocket::ConnectedState)
                return false;
        }
        return true;
    };
    QTRY_VERIFY(onlyLivePeers());

    ui->act_disconnect->trigger();
    P::drainWorker(*client);
    QTRY_COMPARE(clientWorker->socketState(clientWorker->currentClientSocket()), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(P::ui(*server)->clientcomBox->count(), 0);
    QVERIFY(P::clientSockets(*server).isEmpty());
    QTRY_COMPARE(P::clientStateLabel(*client)->text(), QStringLiteral("已断开连接"));
}

// Faults: a file sent out of turn, twice or not at all, reports missing or run together, no
// summary or wrong counts in it, a stop that lets the rest of the batch go, a folder sent or
// holding back the file beside it, the incoming label left up after a transfer or a timeout.
// Folders: one toward an instance not arriving whole (its files, an empty subfolder) or not
// counted as a batch on both sides, one toward a plain peer sent or refused without a word.
void tst_WindowEndToEnd::batches_data()
{
    // In the source folder: "name/" a folder, "name|" a pipe, "dir/name" a file in a folder.
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("dropped");        // dropped on the server window, else chosen on the client
    QTest::addColumn<bool>("stopAtFirstProgress");
    QTest::addColumn<bool>("instances");      // else the receiver is a plain peer
    QTest::addColumn<QString>("summary");     // the batch's last line; empty for none

    const QString rate = QStringLiteral("平均速率:<MB/s>MB/s");
    QTest::newRow("three files") << QStringList{QStringLiteral("a.bin"), QStringLiteral("b.txt"), QStringLiteral("c.empty")}
                                 << false << false << true
                                 << QStringLiteral("批量传送结束:成功3个,失败0个,未发送0个,共200008字节,耗时<secs>s,") + rate;
    QTest::newRow("stop in the middle") << QStringList{QStringLiteral("big.bin"), QStringLiteral("b.txt"), QStringLiteral("c.empty")}
                                        << false << true << true
                                        << QStringLiteral("批量传送结束:成功0个,失败1个,未发送2个,共0字节,耗时<secs>s,平均速率:0.00MB/s");
    const QStringList folderAndFile{QStringLiteral("folder/a.bin"), QStringLiteral("folder/empty/"),
                                    QStringLiteral("folder/sub/b.txt"), QStringLiteral("d.bin")};
    QTest::newRow("drop a folder and a file") << folderAndFile << true << false << true
                                              << QStringLiteral("批量传送结束:成功3个,失败0个,未发送0个,共270009字节,耗时<secs>s,") + rate;
    QTest::newRow("drop a folder and a file, plain peer")
        << folderAndFile << true << false << false
        << QStringLiteral("批量传送结束:成功1个,失败1个,未发送0个,共70001字节,耗时<secs>s,") + rate;
    // A pipe would hold the sender forever once opened.
    QTest::newRow("choose a pipe and a file") << QStringList{QStringLiteral("pipe|"), QStringLiteral("d.bin")} << false
                                              << false << true << QString();
}

void tst_WindowEndToEnd::batches()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, dropped);
    QFETCH(bool, stopAtFirstProgress);
    QFETCH(bool, instances);
    QFETCH(QString, summary);

    const QHash<QString, int> sizes{{QStringLiteral("a.bin"), 200003}, {QStringLiteral("b.txt"), 5},
                                    {QStringLiteral("c.empty"), 0},   {QStringLiteral("big.bin"), 6000000},
                                    {QStringLiteral("d.bin"), 70001}};
    const QString row = tmp.filePath(QString::fromLatin1(QTest::currentDataTag()));
    const QString src = row + QStringLiteral("/src");
    recvDir = row + QStringLiteral("/recv");
    QVERIFY(QDir().mkpath(src) && QDir().mkpath(recvDir));
    // Names sent, paths refused before the send, paths offered, what the batch counts: a
    // file by its name, a folder refused by its path.
    QStringList files, refused, chosen, counted, dirs;
    for (const QString &entry : entries) {
        const bool folder = entry.endsWith(QLatin1Char('/'));
        const bool pipe = entry.endsWith(QLatin1Char('|'));
        const QString base = folder || pipe ? entry.chopped(1) : entry;
        const QString path = src + QLatin1Char('/') + base;
        const QString top = src + QLatin1Char('/') + base.section(QLatin1Char('/'), 0, 0);
        const bool inFolder = base.contains(QLatin1Char('/'));
        if (!chosen.contains(top)) {
            chosen << top;
            if (inFolder && !instances)
                counted << QDir::toNativeSeparators(top);
        }
        if (pipe)
            refused << QDir::toNativeSeparators(path);
        if (folder) {
            QVERIFY(QDir().mkpath(path));
            dirs << base;
            continue;
        }
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        if (pipe) {
#ifdef Q_OS_UNIX
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
            continue;
#else
            QSKIP("no named pipes here");
#endif
        }
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(randomBytes(sizes.value(QFileInfo(entry).fileName())));
        if (!inFolder || instances) {
            files << entry;
            counted << entry;
        }
    }

    std::atomic<bool> stopped{false}; // outlives the windows, whose worker reads it
    WindowPair pair;
    connectPair(pair, recvDir, instances);
    if (QTest::currentTestFailed())
        return;
    MainWindow &from = dropped ? *pair.server : *pair.client;
    MainWindow &to = dropped ? *pair.client : *pair.server;
    // Shown at their smallest, so that any status-bar text that counts toward the window's
    // minimum would widen it.
    for (MainWindow *w : {&from, &to}) {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        w->resize(w->minimumSizeHint());
    }
    QTRY_COMPARE(from.size(), from.minimumSizeHint());
    const QSize fromSize = from.size(), toSize = to.size();
    const bool pairUpgraded = P::worker(*pair.client)->socketFacts(P::worker(*pair.client)->currentClientSocket()).fast;
    P::ui(from)->textEdit->clear();
    P::ui(to)->textEdit->clear();

    // What the sender's log must read: refusals, then each file's lines, then the summary.
    QStringList sent, received;
    for (const QString &path : refused)
        sent << QStringLiteral("不是可读的文件,未发送:") + path;
    for (int i = 0; i < counted.size(); ++i) {
        const QString name = counted.at(i);
        const bool folderRefused = !files.contains(name);
        // A folder's file goes by its path within the folder.
        if (counted.size() > 1)
            sent << QStringLiteral("(%1/%2) ").arg(i + 1).arg(counted.size()) + (folderRefused ? QFileInfo(name).fileName() : name);
        sent << QStringLiteral("开始传送中...");
        if (folderRefused) {
            sent << QStringLiteral("文件夹只能发送给本程序的另一个实例:") + name << QString();
            continue;
        }
        const qint64 bytes = sizes.value(QFileInfo(name).fileName());
        const QString size = QString::number(bytes);
        const QString total = QString::number(wireBytes(name, bytes, instances));
        received << QString() << QStringLiteral("开始接收...");
        if (stopAtFirstProgress) {
            sent << QStringLiteral("传送已被强制中断!") << QString();
            // A plain sender just goes silent; an instance says it stopped.
            received << (pairUpgraded ? QStringLiteral("发送方已中断传送,已收到的数据保留为 .part 文件")
                                      : QStringLiteral("接收超时，已强制中断!"))
                     << QString();
            break;
        }
        sent << QStringLiteral("传送完成!") << QStringLiteral("发送文件大小:") + size
             << QStringLiteral("总发送字节大小:") + total << QStringLiteral("发送耗时:<secs>s") << testutil::rateLine
             << QString();
        received << QStringLiteral("接收完成!") << QStringLiteral("文件接收大小:") + size
                 << QStringLiteral("总接收Byte大小:") + total << QStringLiteral("保存为:") + QDir::toNativeSeparators(name)
                 << QStringLiteral("接收耗时:<secs>s") << testutil::rateLine << QString();
        // After a folder's last file, the receiver's one line for the folder.
        const QString folder = name.section(QLatin1Char('/'), 0, 0);
        if (folder != name && counted.value(i + 1).section(QLatin1Char('/'), 0, 0) != folder) {
            qint64 folderBytes = 0;
            int folderFiles = 0;
            for (const QString &f : files) {
                if (f.startsWith(folder + QLatin1Char('/'))) {
                    folderBytes += sizes.value(QFileInfo(f).fileName());
                    ++folderFiles;
                }
            }
            received << QStringLiteral("文件夹接收结束:%1,成功%2个,失败0个,共%3字节,耗时<secs>s,平均速率:<MB/s>MB/s")
                            .arg(folder).arg(folderFiles).arg(folderBytes)
                     << QString();
        }
    }
    if (!summary.isEmpty())
        sent << summary << QString();

    // The stop is set in the worker thread at the first progress code, so the worker sees it
    // at its next write whatever its pace; the button's click follows in the window's turn.
    if (stopAtFirstProgress) {
        connect(P::worker(from), &sendThread::transStateGiven, P::worker(from), [&](int code) {
            if (code != TransProgress || stopped.exchange(true))
                return;
            P::worker(from)->stopSend = true;
            QMetaObject::invokeMethod(&from, [&] { P::ui(from)->stopSendBtn->click(); }, Qt::QueuedConnection);
        }, Qt::DirectConnection);
    }
    if (dropped) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString &path : chosen)
            urls << QUrl::fromLocalFile(path);
        mime.setUrls(urls);
        // The drop goes where the drag entered, as a real drag's would.
        QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&from, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&from, &drop);
        QVERIFY(drop.isAccepted());
    } else {
        from.openFileDialog = [&](QWidget *, const QString &, const QString &) { return chosen; };
        QTest::mouseClick(P::ui(from)->fileTransmitBtn, Qt::LeftButton);
    }

    QLabel *incoming = P::incomingLabel(to);
    // The stalled file shows until the receiver gives up on it; between two instances the
    // sender's abort frame ends it at once instead, and the log lines below say so.
    if (stopAtFirstProgress && !pairUpgraded) {
        QTRY_VERIFY_WITH_TIMEOUT(!incoming->isHidden(), 10000);
        QVERIFY2(QRegularExpression(QStringLiteral("^正在接收: big\\.bin  \\d+%")).match(incoming->text()).hasMatch(),
                 qPrintable(incoming->text()));
    }
    QTRY_VERIFY2_WITH_TIMEOUT(testutil::linesMatch(logLines(from), sent), qPrintable(logLines(from).join(QLatin1Char('|'))), 30000);
    QTRY_VERIFY2_WITH_TIMEOUT(testutil::linesMatch(logLines(to), received), qPrintable(logLines(to).join(QLatin1Char('|'))), 30000);
    QVERIFY(incoming->isHidden());

    for (const QString &f : files) {
        const bool whole = !stopAtFirstProgress;
        QCOMPARE(QFile::exists(recvDir + QLatin1Char('/') + f), whole);
        if (whole)
            QCOMPARE(readAll(recvDir + QLatin1Char('/') + f), readAll(src + QLatin1Char('/') + f));
    }
    // Empty subfolders too, toward an instance only.
    for (const QString &d : dirs)
        QCOMPARE(QFileInfo(recvDir + QLatin1Char('/') + d).isDir(), instances);
    QVERIFY(P::ui(from)->fileTransmitBtn->isEnabled());
    QVERIFY(P::progressBar(from)->isHidden());
    QCOMPARE(from.size(), fromSize);
    QCOMPARE(to.size(), toSize);
    QCOMPARE(P::worker(from)->sendRole.load(), int(RoleIdle));
}

QTEST_MAIN(tst_WindowEndToEnd)
#include "tst_window_endtoend.moc"
