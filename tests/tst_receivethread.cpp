#include "transfer/extframing.h"
#include "transfer/filedigest.h"
#include "transfer/receivefile.h"
#include "transfer/receivethread.h"
#include "transfer/spaceledger.h"
#include "transfer/wireformat.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <memory>
#include <optional>
#include <numeric>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <time.h>
#endif

namespace {

QByteArray header(const QByteArray &name, int size)
{
    return wire::startMarker + name + wire::sizeMarker + QByteArray::number(size) + wire::sizeEndMarker;
}

QByteArray pattern(int size, quint32 seed = 1)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

ReceivedPiece piece(quint64 connection, const QByteArray &bytes)
{
    return ReceivedPiece{connection, bytes, false};
}

ReceivedPiece closed(quint64 connection)
{
    return ReceivedPiece{connection, {}, true};
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

using Counters = QList<QPair<quint64, quint64>>;
using FreeAndTotal = QPair<qint64, qint64>;

// The system's answer while a test plants one (ReceiveFile::spaceQuery).
ReceiveFile::VolumeSpace planted;
ReceiveFile::VolumeSpace plantedSpace(const QString &)
{
    return planted;
}

} // namespace

// Receives the engine's codes in the test thread, as the window does, and takes the report of
// each RecFinished and RecText at that moment.
class CodeLog : public QObject {
    Q_OBJECT
public:
    QList<int> codes;
    QList<qint64> times;
    Counters finished;
    QList<bool> replaced; // of each finished file
    QList<QByteArray> texts;
    int drained = 0;
    QElapsedTimer clock;

public slots:
    void onCode(int code)
    {
        codes << code;
        times << clock.elapsed();
        if (code == RecFinished) {
            const RecvSnapshot s = recvReports::take(code);
            finished << qMakePair(s.recvFileBytes, s.recvTotalBytes);
            replaced << s.replaced;
        } else if (code == RecText) {
            texts << recvReports::take(code).lastRecvText;
        }
        emit recorded(code);
    }
    void onDrained() { ++drained; }

signals:
    void recorded(int code);
};

Q_DECLARE_METATYPE(Counters)

class tst_ReceiveThread : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void exactWritesGiveTheOriginalCodes_data();
    void exactWritesGiveTheOriginalCodes();
    void timeoutEndsTransferAfterOneSecond();
    void pausesUnderOneSecondKeepTheTransfer();
    void aHeldEngineTimesOutNoQueuedConnection();
    void twoConnectionsAtOnce();
    void sameNameFromTwoPeersNeverMixes();
    void replacedTemporaryFileIsNeverRenamed();
    void endOfStreamEndsTheConnectionAtOnce_data();
    void endOfStreamEndsTheConnectionAtOnce();
    void createFailureConsumesTransferSilently_data();
    void createFailureConsumesTransferSilently();
    void namesStayInsideTheReceiveDirectory_data();
    void namesStayInsideTheReceiveDirectory();
    void emptyReceiveDirMeansApplicationDir();
    void writeFailureIsReported_data();
    void writeFailureIsReported();
    void shutdownKeepsTheOpenFile();
    void destructionRightAfterStartDoesNotHang();
    void queueDrainedIsSignalledOnce();
    void idleEngineUsesNoProcessor();
    void reportsStayBoundedAndAligned();
    void upgradeFrameProvesOnlyOutsideATransfer_data();
    void upgradeFrameProvesOnlyOutsideATransfer();

private:
    void startEngine();
    void send(quint64 connection, const QList<QByteArray> &pieces);
    void sendPaced(quint64 connection, const QList<QByteArray> &pieces);
    QString recvPath(const QString &name) const { return QDir(recvDir).filePath(name); }

    std::unique_ptr<QTemporaryDir> temp;
    QString recvDir;
    std::unique_ptr<receiveThread> engine;
    std::unique_ptr<CodeLog> log;
};

void tst_ReceiveThread::init()
{
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    recvDir = temp->filePath(QStringLiteral("recv"));
    QVERIFY(QDir().mkdir(recvDir));
    receiveDirPath.set(recvDir);
    recvReports::clear();
    startEngine();
}

void tst_ReceiveThread::cleanup()
{
    engine.reset();
    // Every file has ended: a grant left behind would shrink the room of all later ones.
    QCOMPARE(spaceLedger::granted(), quint64(0));
    log.reset();
    temp.reset();
    receiveDirPath.set(QString());
    ReceiveFile::spaceQuery = nullptr;
}

void tst_ReceiveThread::startEngine()
{
    log = std::make_unique<CodeLog>();
    log->clock.start();
    engine = std::make_unique<receiveThread>();
    connect(engine.get(), &receiveThread::sendRecState, log.get(), &CodeLog::onCode);
    connect(engine.get(), &receiveThread::queueDrained, log.get(), &CodeLog::onDrained);
    engine->start();
}

// Each piece as a read of its own, as the worker delivers them.
void tst_ReceiveThread::send(quint64 connection, const QList<QByteArray> &pieces)
{
    for (const QByteArray &bytes : pieces)
        engine->appendPieces({piece(connection, bytes)});
}

// As a paced sender's writes arrive: each piece is handled before the next one comes, so that
// no progress code is merged with the next one's.
void tst_ReceiveThread::sendPaced(quint64 connection, const QList<QByteArray> &pieces)
{
    for (const QByteArray &bytes : pieces) {
        const int before = log->codes.size();
        engine->appendPieces({piece(connection, bytes)});
        QTRY_VERIFY(log->codes.size() > before);
    }
}

void tst_ReceiveThread::exactWritesGiveTheOriginalCodes_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<Counters>("counters");
    QTest::addColumn<QList<QByteArray>>("texts");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");

    const QByteArray hello = QByteArrayLiteral("hello");
    QTest::newRow("worked example: 5 file bytes, 95 in all")
        << QList<QByteArray>{header("a.txt", 5), hello, wire::endMarker}
        << QList<int>{RecStarted, RecProgress, RecFinished} << Counters{{5, 95}} << QList<QByteArray>{}
        << QStringLiteral("a.txt") << hello;
    QTest::newRow("header and data as one piece")
        << QList<QByteArray>{header("a.txt", 5) + hello, wire::endMarker} << QList<int>{RecStarted, RecFinished}
        << Counters{{5, 95}} << QList<QByteArray>{} << QStringLiteral("a.txt") << hello;
    QTest::newRow("empty file") << QList<QByteArray>{header("e.bin", 0), wire::endMarker}
                                << QList<int>{RecStarted, RecFinished} << Counters{{0, 90}} << QList<QByteArray>{}
                                << QStringLiteral("e.bin") << QByteArray("");
    const QByteArray big = pattern(24000);
    QTest::newRow("24000 bytes as two full pieces")
        << QList<QByteArray>{header("b.bin", 24000), big.left(12000), big.mid(12000), wire::endMarker}
        << QList<int>{RecStarted, RecProgress, RecProgress, RecFinished}
        << Counters{{24000, quint64(header("b.bin", 24000).size() + 24000 + 18)}} << QList<QByteArray>{}
        << QStringLiteral("b.bin") << big;
    QTest::newRow("greeting") << QList<QByteArray>{wire::greeting} << QList<int>{RecText} << Counters{}
                              << QList<QByteArray>{wire::greeting} << QString() << QByteArray();
    QTest::newRow("two transfers restart the counters")
        << QList<QByteArray>{header("a.txt", 5), hello, wire::endMarker, header("a.txt", 2), "hi", wire::endMarker}
        << QList<int>{RecStarted, RecProgress, RecFinished, RecStarted, RecProgress, RecFinished}
        << Counters{{5, 95}, {2, 92}} << QList<QByteArray>{} << QStringLiteral("a.txt") << QByteArray("hi");
    const QByteArray name = QStringLiteral("报告.txt").toUtf8();
    QTest::newRow("non-ASCII name")
        << QList<QByteArray>{header(name, 5), hello, wire::endMarker}
        << QList<int>{RecStarted, RecProgress, RecFinished}
        << Counters{{5, quint64(header(name, 5).size() + 5 + 18)}} << QList<QByteArray>{}
        << QStringLiteral("报告.txt") << hello;
    // 244 bytes: its temporary and .part forms must still fit beside it.
    const QString longName = QString(80, QChar(0x62a5)) + QStringLiteral(".bin");
    QTest::newRow("244-byte name of 80 CJK characters")
        << QList<QByteArray>{header(longName.toUtf8(), 5), hello, wire::endMarker}
        << QList<int>{RecStarted, RecProgress, RecFinished}
        << Counters{{5, quint64(header(longName.toUtf8(), 5).size() + 5 + 18)}} << QList<QByteArray>{} << longName
        << hello;
}

// Catches a departure from the codes and counters the window expects from a normal sender.
void tst_ReceiveThread::exactWritesGiveTheOriginalCodes()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QList<int>, codes);
    QFETCH(Counters, counters);
    QFETCH(QList<QByteArray>, texts);
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    {
        QFile old(recvPath(QStringLiteral("a.txt")));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an older and longer file of the same name");
    }
    sendPaced(1, pieces);
    QTRY_COMPARE(log->codes, codes);
    QCOMPARE(log->finished, counters);
    QCOMPARE(log->texts, texts);
    if (!name.isEmpty())
        QCOMPARE(readFile(recvPath(name)), content);
}

// Catches a timeout that fires early, late or not at all, and a file lost at the timeout.
void tst_ReceiveThread::timeoutEndsTransferAfterOneSecond()
{
    send(1, {header("t.bin", 100), "abc"});
    const qint64 sent = log->clock.elapsed();
    QTRY_COMPARE_WITH_TIMEOUT(log->codes, (QList<int>{RecStarted, RecProgress, RecTimeout}), 4000);
    const qint64 waited = log->times.last() - sent;
    QVERIFY2(waited >= receiveThread::timeoutMs, qPrintable(QString::number(waited)));
    QVERIFY2(waited < 1400, qPrintable(QString::number(waited)));
    QCOMPARE(readFile(recvPath(QStringLiteral("t.bin.part"))), QByteArray("abc"));
}

// Catches a timer that is not restarted by each piece: the pauses add up to more than the
// timeout, but none of them reaches it.
void tst_ReceiveThread::pausesUnderOneSecondKeepTheTransfer()
{
    QSignalSpy spy(log.get(), &CodeLog::recorded);
    send(1, {header("p.txt", 6)});
    QVERIFY(spy.wait());
    for (const QByteArray &part : {QByteArray("abc"), QByteArray("def")}) {
        QVERIFY(!spy.wait(700)); // the pause: nothing may come
        send(1, {part});
        QVERIFY(spy.wait());
    }
    QVERIFY(!spy.wait(700));
    send(1, {wire::endMarker});
    QTRY_COMPARE(log->codes, (QList<int>{RecStarted, RecProgress, RecProgress, RecFinished}));
    QCOMPARE(readFile(recvPath(QStringLiteral("p.txt"))), QByteArray("abcdef"));
}

// Catches silence measured from when the engine handled a piece rather than when it arrived:
// one connection that held the engine (here a slow space query) cut another whose bytes
// waited in the queue.
void tst_ReceiveThread::aHeldEngineTimesOutNoQueuedConnection()
{
    static std::atomic<bool> slow{false};
    ReceiveFile::spaceQuery = [](const QString &) {
        if (slow.exchange(false))
            QThread::msleep(1600);
        return ReceiveFile::VolumeSpace{qint64(1) << 40, qint64(1) << 41};
    };
    send(1, {header("a.bin", 6), "abc"});
    QTRY_VERIFY(log->codes.contains(RecProgress));
    slow = true;
    send(2, {header("b.bin", 3), "x"});
    QTest::qWait(300);
    send(1, {"de"});
    QTest::qWait(800);
    send(1, {"f" + wire::endMarker});
    QTRY_COMPARE_WITH_TIMEOUT(log->finished.size(), 1, 5000);
    QCOMPARE(readFile(recvPath(QStringLiteral("a.bin"))), QByteArray("abcdef"));
}

// Catches pieces of two peers mixed into one file, and reports that do not belong to the code
// they are read for.
void tst_ReceiveThread::twoConnectionsAtOnce()
{
    const QByteArray one = pattern(30000, 1);
    const QByteArray two = pattern(50000, 2);
    QByteArray streams[2] = {header("one.bin", one.size()) + one + wire::endMarker,
                             header("two.bin", two.size()) + two + wire::endMarker};
    // Random cuts; connection 1 in smaller pieces, so that connection 2 finishes first.
    QRandomGenerator random(7);
    QList<QByteArray> cuts[2];
    for (int c : {0, 1}) {
        for (int pos = 0; pos < streams[c].size();) {
            const int n = 1 + int(random.bounded(c == 0 ? 1500u : 9000u));
            cuts[c] << streams[c].mid(pos, n);
            pos += n;
        }
    }
    QVERIFY(cuts[0].size() > cuts[1].size());
    for (int i = 0; i < cuts[0].size(); ++i) {
        QList<ReceivedPiece> read{piece(1, cuts[0].at(i))};
        if (i < cuts[1].size())
            read << piece(2, cuts[1].at(i));
        if (i == cuts[1].size())
            read << piece(3, wire::greeting); // a text between the two finished reports
        engine->appendPieces(read);
    }
    QTRY_COMPARE(log->finished.size(), 2);
    QCOMPARE(log->finished, (Counters{{50000, quint64(streams[1].size())}, {30000, quint64(streams[0].size())}}));
    QCOMPARE(log->codes.count(RecStarted), 2);
    QCOMPARE(log->codes.count(RecTimeout), 0);
    QCOMPARE(log->texts, QList<QByteArray>{wire::greeting});
    QCOMPARE(readFile(recvPath(QStringLiteral("one.bin"))), one);
    QCOMPARE(readFile(recvPath(QStringLiteral("two.bin"))), two);
}

// Catches two peers' bytes mixed into one file of the same name.
void tst_ReceiveThread::sameNameFromTwoPeersNeverMixes()
{
    const QByteArray one = pattern(3000, 1);
    const QByteArray two = pattern(3000, 2);
    const QByteArray streams[2] = {header("same.bin", one.size()) + one + wire::endMarker,
                                   header("same.bin", two.size()) + two + wire::endMarker};
    for (int i = 0; i < streams[0].size(); ++i)
        engine->appendPieces({piece(1, streams[0].mid(i, 1)), piece(2, streams[1].mid(i, 1))});
    QTRY_COMPARE(log->finished.size(), 2);
    QCOMPARE(readFile(recvPath(QStringLiteral("same.bin"))), two); // the one that finished last
    QCOMPARE(log->replaced, (QList<bool>{false, true})); // and the report says it replaced the first
    QCOMPARE(QDir(recvDir).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("same.bin")});
}

// Catches a stranger's file, put under another transfer's temporary name, that ends up under
// that transfer's name, and the transfer's bytes lost with the replaced file.
void tst_ReceiveThread::replacedTemporaryFileIsNeverRenamed()
{
#ifdef Q_OS_UNIX
    send(1, {header("r.pdf", 6) + "abc"});
    QTRY_COMPARE(log->codes, QList<int>{RecStarted});
    const QStringList inTransit = QDir(recvDir).entryList(QDir::Files);
    QCOMPARE(inTransit.size(), 1);
    QFile planted(temp->filePath(QStringLiteral("planted")));
    QVERIFY(planted.open(QIODevice::WriteOnly) && planted.write("stranger") == 8);
    planted.close();
    QCOMPARE(std::rename(QFile::encodeName(planted.fileName()).constData(),
                         QFile::encodeName(recvPath(inTransit.first())).constData()),
             0);
    send(1, {"def" + wire::endMarker});
    QTRY_COMPARE(log->codes.size() ? log->codes.last() : -1, int(RecWriteFailed));
    QVERIFY(!QFileInfo::exists(recvPath(QStringLiteral("r.pdf"))));
    QCOMPARE(readFile(recvPath(QStringLiteral("r.pdf.part"))), QByteArray("abcdef"));
    QCOMPARE(readFile(recvPath(inTransit.first())), QByteArray("stranger"));
#else
    QSKIP("replaces a file that is open, the POSIX way");
#endif
}

void tst_ReceiveThread::endOfStreamEndsTheConnectionAtOnce_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<QList<QByteArray>>("texts");
    // What the receive directory holds afterwards, as "name=content"; it held "o.bin=good".
    QTest::addColumn<QStringList>("files");
    const QString good = QStringLiteral("o.bin=good");
    QTest::newRow("a cut re-send keeps the good file; the fragment is .part")
        << header("o.bin", 50) + "abc" << QList<int>{RecStarted, RecTimeout} << QList<QByteArray>{}
        << QStringList{good, QStringLiteral("o.bin.part=abc")};
    const QByteArray start = QStringLiteral("准备开始").toUtf8();
    QTest::newRow("held text is shown") << start << QList<int>{RecText} << QList<QByteArray>{start} << QStringList{good};
    const QByteArray broken = wire::startMarker + "x" + wire::sizeMarker;
    QTest::newRow("unfinished header is text") << broken << QList<int>{RecText} << QList<QByteArray>{broken}
                                               << QStringList{good};
    // "<name>.part" would be 260 bytes: shortened, the same on every attempt.
    const QByteArray longest = QByteArray(251, 'n') + ".bin";
    QTest::newRow("a cut 255-byte name leaves one shortened .part")
        << header(longest, 50) + "abc" << QList<int>{RecStarted, RecTimeout} << QList<QByteArray>{}
        << QStringList{QString(250, QLatin1Char('n')) + QStringLiteral(".part=abc"), good};
    QTest::newRow("short file ended early by its sender")
        << header("o.bin", 50) + "abc" + wire::endMarker << QList<int>{RecStarted, RecFinished} << QList<QByteArray>{}
        << QStringList{QStringLiteral("o.bin=abc")};
}

// Catches a closed connection whose state waits for the timeout, or is never freed; a cut
// transfer left under the file's own name; a short file whose end marker is taken as data.
void tst_ReceiveThread::endOfStreamEndsTheConnectionAtOnce()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<int>, codes);
    QFETCH(QList<QByteArray>, texts);
    QFETCH(QStringList, files);
    QFile old(recvPath(QStringLiteral("o.bin")));
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("good") == 4);
    old.close();
    const qint64 sent = log->clock.elapsed();
    engine->appendPieces({piece(5, bytes), closed(5)});
    QTRY_COMPARE(log->codes, codes);
    QCOMPARE(log->texts, texts);
    QVERIFY2(log->times.last() - sent < receiveThread::timeoutMs - 100, "waited for the timeout");
    QStringList found;
    for (const QString &name : QDir(recvDir).entryList(QDir::Files | QDir::Hidden))
        found << name + QLatin1Char('=') + QString::fromLatin1(readFile(recvPath(name)));
    QCOMPARE(found, files);
}

void tst_ReceiveThread::createFailureConsumesTransferSilently_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("setup");
    QTest::newRow("receive directory missing") << QByteArray("a.txt") << QStringLiteral("missing");
    QTest::newRow("name is ..") << QByteArray("..") << QString();
    QTest::newRow("name is empty") << QByteArray() << QString();
    QTest::newRow("name ends in a separator") << QByteArray("dir/") << QString();
    QTest::newRow("name of an existing directory") << QByteArray("d") << QStringLiteral("directory");
    QTest::newRow("name longer than the file system takes") << QByteArray(252, 'x') + ".bin" << QString();
    // Another transfer's bytes in transit could be replaced under it.
    QTest::newRow("name of the temporary form") << QByteArray("report.pdf.0badf00d.part") << QString();
    QTest::newRow("declared size over the free space") << QByteArray("big.bin") << QStringLiteral("full");
    QTest::newRow("declared size over what another connection left") << QByteArray("big.bin")
                                                                     << QStringLiteral("granted");
    QTest::newRow("free inodes down to the reserve") << QByteArray("a.txt") << QStringLiteral("inodes");
#ifdef Q_OS_UNIX
    QTest::newRow("name of a link leading outside") << QByteArray("l.txt") << QStringLiteral("link");
#endif
    // Files the next start would read or load.
    QTest::newRow("settings.ini into the application's directory") << QByteArray("settings.ini") << QStringLiteral("app");
    QTest::newRow("qt.conf into the application's directory") << QByteArray("qt.conf") << QStringLiteral("app");
    QTest::newRow("x.DLL into the application's directory") << QByteArray("x.DLL") << QStringLiteral("app");
    QTest::newRow("the executable's own name")
        << QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8() << QStringLiteral("app");
}

// Catches a failed transfer that floods the log as text, a directory created on the way, a
// write through a link that leaves the receive directory, and a refused transfer that still
// leaves a file behind.
void tst_ReceiveThread::createFailureConsumesTransferSilently()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, setup);
    const QString outside = temp->filePath(QStringLiteral("outside.txt"));
    const QString appFile = QDir(QCoreApplication::applicationDirPath()).filePath(QString::fromUtf8(name));
    const QByteArray appFileBefore = readFile(appFile);
    if (setup == QLatin1String("missing")) {
        receiveDirPath.set(temp->filePath(QStringLiteral("no/such/dir")));
    } else if (setup == QLatin1String("app")) {
        receiveDirPath.set(QCoreApplication::applicationDirPath() + QStringLiteral("/."));
    } else if (setup == QLatin1String("directory")) {
        QVERIFY(QDir(recvDir).mkdir(QStringLiteral("d")));
    } else if (setup == QLatin1String("link")) {
        QFile out(outside);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("keep");
        out.close();
        QVERIFY(QFile::link(outside, recvPath(QStringLiteral("l.txt"))));
    } else if (setup == QLatin1String("full") || setup == QLatin1String("granted")) {
        // One byte short of the 30000 sent beside the reserve; or room for them, which a file
        // of connection 2 has been granted.
        planted = ReceiveFile::VolumeSpace{0, qint64(1) << 30, -1, -1};
        planted.available = ReceiveFile::reserveFor(planted) + (setup == QLatin1String("full") ? 29999 : 30000);
        ReceiveFile::spaceQuery = plantedSpace;
        if (setup == QLatin1String("granted")) {
            send(2, {header("held.bin", 30000)});
            QTRY_COMPARE(log->codes, QList<int>{RecStarted});
            log->codes.clear();
        }
    } else if (setup == QLatin1String("inodes")) {
        planted = ReceiveFile::VolumeSpace{qint64(1) << 30, qint64(1) << 31, 1024, 1000000};
        ReceiveFile::spaceQuery = plantedSpace;
    }
    const QStringList before = QDir(recvDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    const QByteArray data = pattern(30000);
    send(1, {header(name, data.size()), data.left(12000), data.mid(12000, 12000), data.mid(24000),
             wire::endMarker, wire::greeting});
    QTRY_COMPARE(log->codes, (QList<int>{RecCreateFailed, RecText}));
    QCOMPARE(log->texts, QList<QByteArray>{wire::greeting});
    QVERIFY(!QFileInfo::exists(temp->filePath(QStringLiteral("no"))));
    if (setup == QLatin1String("link"))
        QCOMPARE(readFile(outside), QByteArray("keep"));
    if (setup == QLatin1String("app"))
        QCOMPARE(readFile(appFile), appFileBefore);
    QCOMPARE(QDir(recvDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), before);
}

void tst_ReceiveThread::namesStayInsideTheReceiveDirectory_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("created");
    QTest::newRow("parent step") << QByteArray("../escape.txt") << QStringLiteral("escape.txt");
    QTest::newRow("backslash parent step") << QByteArray("..\\escape.txt") << QStringLiteral("escape.txt");
    QTest::newRow("absolute path") << QByteArray("/tmp/lumo-absolute.txt") << QStringLiteral("lumo-absolute.txt");
    QTest::newRow("subdirectory") << QByteArray("sub/inner.txt") << QStringLiteral("inner.txt");
    // Refused only in the application's directory.
    QTest::newRow("settings.ini elsewhere") << QByteArray("settings.ini") << QStringLiteral("settings.ini");
    QTest::newRow("x.DLL elsewhere") << QByteArray("x.DLL") << QStringLiteral("x.DLL");
}

// Catches a hostile name that writes outside the receive directory or creates a directory.
void tst_ReceiveThread::namesStayInsideTheReceiveDirectory()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, created);
    send(1, {header(name, 2) + "ok" + wire::endMarker});
    QTRY_COMPARE(log->codes, (QList<int>{RecStarted, RecFinished}));
    QCOMPARE(QDir(recvDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
             QStringList{created});
    QCOMPARE(QDir(temp->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
             QStringList{QStringLiteral("recv")});
    QCOMPARE(readFile(recvPath(created)), QByteArray("ok"));
}

// Catches an empty setting that writes to the file-system root.
void tst_ReceiveThread::emptyReceiveDirMeansApplicationDir()
{
    receiveDirPath.set(QString());
    const QString name = QStringLiteral("lumo-recv-%1.txt").arg(QCoreApplication::applicationPid());
    const QString expected = QDir(QCoreApplication::applicationDirPath()).filePath(name);
    send(1, {header(name.toUtf8(), 2) + "ok" + wire::endMarker});
    QTRY_COMPARE(log->codes, (QList<int>{RecStarted, RecFinished}));
    const QByteArray content = readFile(expected);
    QFile::remove(expected);
    QCOMPARE(content, QByteArray("ok"));
}

void tst_ReceiveThread::writeFailureIsReported_data()
{
    QTest::addColumn<bool>("sizeLimit"); // else the room taken while the file is written
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("kept"); // at least, and short of the whole
#ifdef Q_OS_UNIX
    QTest::newRow("writes past a file-size limit") << true << 60000 << 30000; // the limit
#endif
    // Granted its 9 MiB beside another file's 1 MiB, then someone else takes 1 MiB: looked at
    // after 8 MiB, the rest no longer fits beside the other file's grant.
    QTest::newRow("room taken while a sized file is written") << false << 9 * 1024 * 1024
                                                               << int(ReceiveFile::spaceCheckBytes);
}

// Catches a failed write that goes unreported, keeps counting, or lets the rest of the
// transfer through as text; and a file with a declared size that is never looked at again, or
// looked at without the other files' grants.
void tst_ReceiveThread::writeFailureIsReported()
{
    QFETCH(bool, sizeLimit);
    QFETCH(int, size);
    QFETCH(int, kept);
#ifdef Q_OS_UNIX
    // A file-size limit makes writes past 30000 bytes fail, as a full disk would.
    struct Limit {
        rlimit saved{};
        Limit()
        {
            getrlimit(RLIMIT_FSIZE, &saved);
            rlimit small = saved;
            small.rlim_cur = 30000;
            std::signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &small);
        }
        ~Limit()
        {
            setrlimit(RLIMIT_FSIZE, &saved);
            std::signal(SIGXFSZ, SIG_DFL);
        }
    };
    std::optional<Limit> limit;
    if (sizeLimit)
        limit.emplace();
#endif
    const QByteArray data = pattern(size);
    ReceiveFile other;
    if (!sizeLimit) {
        const qint64 mib = 1024 * 1024;
        planted = ReceiveFile::VolumeSpace{0, qint64(1) << 30, -1, -1};
        planted.available = ReceiveFile::reserveFor(planted) + 10 * mib;
        ReceiveFile::spaceQuery = plantedSpace;
        QVERIFY(other.open(recvDir, QStringLiteral("other.bin"), quint64(mib)));
        send(1, {header("w.bin", data.size())});
        QTRY_COMPARE(log->codes, QList<int>{RecStarted});
        // As the volume will be once 8 MiB are written: 10 MiB less those and another 1 MiB.
        planted.available -= 9 * mib;
    }
    QList<QByteArray> pieces;
    if (sizeLimit)
        pieces << header("w.bin", data.size());
    for (int pos = 0; pos < data.size(); pos += 12000)
        pieces << data.mid(pos, 12000);
    pieces << wire::endMarker << wire::greeting;
    send(1, pieces);
    QTRY_COMPARE_WITH_TIMEOUT(log->codes.size() ? log->codes.last() : -1, int(RecText), 20000);
    log->codes.removeAll(RecProgress); // how many depends on how far the engine fell behind
    QCOMPARE(log->codes, (QList<int>{RecStarted, RecWriteFailed, RecText}));
    QCOMPARE(log->texts, QList<QByteArray>{wire::greeting});
    const QByteArray part = readFile(recvPath(QStringLiteral("w.bin.part")));
    QVERIFY2(part.size() >= kept && part.size() < data.size(), QByteArray::number(part.size()).constData());
    QCOMPARE(part, data.left(part.size()));
    QVERIFY(!QFileInfo::exists(recvPath(QStringLiteral("w.bin"))));
}

// Catches a shutdown that loses the bytes of an open transfer or never returns, and a grant of
// free space that does not shrink as the bytes are written.
void tst_ReceiveThread::shutdownKeepsTheOpenFile()
{
    const QByteArray data = pattern(20000);
    send(1, {header("s.bin", 50000), data});
    QTRY_COMPARE(log->codes, (QList<int>{RecStarted, RecProgress}));
    // The rest of its declared size; the engine may hold back what could begin the end marker.
    QVERIFY(spaceLedger::granted() >= quint64(50000 - data.size())
            && spaceLedger::granted() <= quint64(50000 - data.size() + wire::endMarker.size()));
    engine.reset();
    QCOMPARE(readFile(recvPath(QStringLiteral("s.bin.part"))), data);
    QCOMPARE(log->codes.size(), 2);
}

// Catches a stop that comes before the thread runs and is then lost, hanging the join.
void tst_ReceiveThread::destructionRightAfterStartDoesNotHang()
{
    for (int i = 0; i < 50; ++i) {
        receiveThread quick;
        quick.start();
    }
    receiveThread neverStarted;
    neverStarted.stopReceive();
    QVERIFY(!neverStarted.isRunning());
}

// Catches a worker left waiting forever with its sockets unread.
void tst_ReceiveThread::queueDrainedIsSignalledOnce()
{
    QList<ReceivedPiece> pieces{piece(1, header("q.bin", 9 * 1024 * 1024))};
    const QByteArray block = pattern(12000);
    qint64 total = 0;
    for (; total + block.size() <= 9 * 1024 * 1024; total += block.size())
        pieces << piece(1, block);
    pieces << piece(1, block.left(int(9 * 1024 * 1024 - total)));
    engine->appendPieces(pieces);
    QTRY_COMPARE_WITH_TIMEOUT(log->drained, 1, 20000);
    QTRY_COMPARE(engine->queuedBytes(), qint64(0));
    QCOMPARE(log->drained, 1);
}

// Catches an engine that polls while nothing comes, with no transfer open and with one open.
// The whole process is timed: its only other thread waits in an event loop meanwhile.
void tst_ReceiveThread::idleEngineUsesNoProcessor()
{
#ifdef Q_OS_LINUX
    send(1, {wire::greeting});
    QTRY_COMPARE(log->codes.size(), 1);
    const auto cpuMs = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
    };
    QSignalSpy spy(log.get(), &CodeLog::recorded);
    for (const QByteArray &bytes : {QByteArray(), header("i.bin", 10)}) {
        if (!bytes.isEmpty()) {
            send(1, {bytes});
            QVERIFY(spy.wait());
        }
        const qint64 before = cpuMs();
        QVERIFY(!spy.wait(600)); // idle: nothing may come
        const qint64 used = cpuMs() - before;
        QVERIFY2(used < 60, qPrintable(QStringLiteral("%1 ms of processor in 600 ms").arg(used)));
    }
#else
    QSKIP("reads a thread's processor time the Linux way");
#endif
}

// Catches text bytes or entries held without bound (a flood of tiny texts took a gigabyte), a
// dropped text that shifts the later reports out of line, a folded text that still asks for a
// code, and a take from an empty queue that repeats the last text.
void tst_ReceiveThread::reportsStayBoundedAndAligned()
{
    RecvSnapshot first;
    first.recvFileBytes = 1;
    recvReports::push(RecFinished, first);
    const int large = 2000;
    const int tiny = 1000000;
    const QByteArray filler(8000, 'x');
    int codes = 0;
    for (int i = 0; i < large + tiny; ++i) {
        RecvSnapshot text;
        text.lastRecvText = i < large ? QByteArray::number(i) + filler : QByteArray(1, 'y');
        codes += recvReports::push(RecText, text) ? 1 : 0;
    }
    RecvSnapshot second;
    second.recvFileBytes = 2;
    recvReports::push(RecFinished, second);
    QVERIFY2(codes <= int(recvReports::maxHeldTexts) + 1, qPrintable(QString::number(codes)));

    QCOMPARE(recvReports::take(RecFinished).recvFileBytes, quint64(1));
    QCOMPARE(recvReports::take(RecFinished).recvFileBytes, quint64(2));
    qint64 held = 0;
    qint64 accounted = 0;
    int kept = 0;
    for (int i = 0; i < codes; ++i) {
        const TextReport text = recvReports::takeText();
        QVERIFY(text.present);
        if (text.bytes.isEmpty()) {
            QVERIFY(text.leftOutTexts > 0);
            accounted += text.leftOutTexts;
            continue;
        }
        QCOMPARE(i, kept); // kept ones come first and in order
        QCOMPARE(text.bytes, QByteArray::number(i) + filler);
        held += text.bytes.size();
        ++kept;
        ++accounted;
    }
    QVERIFY(kept > 0);
    QCOMPARE(accounted, qint64(large + tiny)); // every text shown or counted
    QVERIFY2(held <= recvReports::maxHeldTextBytes, "text bytes are not bounded");
    QVERIFY(!recvReports::takeText().present);
    QVERIFY(recvReports::take(RecText).lastRecvText.isEmpty());
}

void tst_ReceiveThread::upgradeFrameProvesOnlyOutsideATransfer_data()
{
    using namespace extwire;
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<bool>("proposed"); // the UDP exchange says the peer is an instance
    QTest::addColumn<bool>("upgraded");
    QTest::addColumn<QList<QByteArray>>("texts");
    QTest::addColumn<QString>("name");       // a file to look at, when one is sent
    QTest::addColumn<QByteArray>("content"); // what it holds
    QTest::addColumn<QList<QByteArray>>("answers");
    // A directory of the receive directory that a local user makes a link to a directory
    // outside, just before the last piece (once the pieces before it made it, if they came).
    QTest::addColumn<QString>("link");
    // The volume's free and total bytes as the system tells them; -1: the real answer.
    QTest::addColumn<FreeAndTotal>("space");
    const FreeAndTotal real(-1, -1);

    const QByteArray ours = encodeUpgrade(featureProof, false, {7, 42});
    const QByteArray theirs = encodeUpgrade(featureProof, false, {43});
    QTest::newRow("our nonce, cut in two, after a text")
        << QList<QByteArray>{"hi" + ours.left(10), ours.mid(10)} << true << true << QList<QByteArray>{"hi"} << QString()
        << QByteArray() << QList<QByteArray>{} << QString() << real;
    QTest::newRow("after a text ending as a start marker begins")
        << QList<QByteArray>{QByteArray("hi") + QByteArray(wire::startMarker).left(3) + ours} << true << true
        << QList<QByteArray>{QByteArray("hi") + QByteArray(wire::startMarker).left(3)} << QString() << QByteArray()
        << QList<QByteArray>{} << QString() << real;
    QTest::newRow("another nonce is no proof") << QList<QByteArray>{theirs} << true << false << QList<QByteArray>{}
                                               << QString() << QByteArray() << QList<QByteArray>{} << QString() << real;
    QTest::newRow("inside a file it is file data")
        << QList<QByteArray>{header("f.bin", ours.size()) + ours + wire::endMarker} << true << false
        << QList<QByteArray>{} << QStringLiteral("f.bin") << ours << QList<QByteArray>{} << QString() << real;
    QTest::newRow("toward a plain peer it is text") << QList<QByteArray>{ours} << false << false
                                                    << QList<QByteArray>{ours} << QString() << QByteArray()
                                                    << QList<QByteArray>{} << QString() << real;

    const QByteArray reply = encodeUpgrade(featureFraming1, true, {42});
    FileDigest hello;
    hello.add("hello", 5);
    FileDigest flipped;
    flipped.add("hellp", 5);
    const QByteArray file = offer(QStringLiteral("f.bin"), 5, 0) + start(0) + data("hello", 5);
    const QByteArray accepted = accept(0, QByteArray(digestSize, '\0'));
    QTest::newRow("after the reply, frames: a file stored on its digest")
        << QList<QByteArray>{reply + file.left(30), file.mid(30) + end(hello.result()) + text("hi")} << true << true
        << QList<QByteArray>{"hi"} << QStringLiteral("f.bin") << QByteArray("hello")
        << QList<QByteArray>{accepted, result(ResultStatus::Stored)} << QString() << real;
    QTest::newRow("a byte changed on the way is caught, the bytes kept as .part")
        << QList<QByteArray>{reply + file + end(flipped.result())} << true << true << QList<QByteArray>{}
        << QStringLiteral("f.bin.part") << QByteArray("hello")
        << QList<QByteArray>{accepted, result(ResultStatus::DigestMismatch)} << QString() << real;
    // Cut after 5 bytes, then offered again with the same size and time.
    const qint64 at = 1700000000000;
    const QByteArray helloHeld = FileDigest::keyed({42}, hello.result()); // the answer to a held prefix
    FileDigest whole, other;
    whole.add("helloworld", 10);
    other.add("HELLOWORLD", 10);
    const auto cut = [&](const char *path) {
        return reply + offer(QString::fromLatin1(path), 10, at) + start(0) + data("hello", 5) + abort(AbortReason::Stopped)
               + offer(QString::fromLatin1(path), 10, at);
    };
    QTest::newRow("a cut file resumes from its part")
        << QList<QByteArray>{cut("r1.bin") + start(5) + data("world", 5) + end(whole.result())} << true << true
        << QList<QByteArray>{} << QStringLiteral("r1.bin") << QByteArray("helloworld")
        << QList<QByteArray>{accepted, accept(5, helloHeld), result(ResultStatus::Stored)} << QString() << real;
    QTest::newRow("a part whose start differs is received again from 0")
        << QList<QByteArray>{cut("r2.bin") + start(0) + data("HELLOWORLD", 10) + end(other.result())} << true << true
        << QList<QByteArray>{} << QStringLiteral("r2.bin") << QByteArray("HELLOWORLD")
        << QList<QByteArray>{accepted, accept(5, helloHeld), result(ResultStatus::Stored)} << QString() << real;
    // A stranger replays the answer as the digest of a file as long as the part.
    QTest::newRow("an answer replayed for a file as long as its part is not stored")
        << QList<QByteArray>{reply + offer(QStringLiteral("r3.bin"), 10, at) + start(0) + data("hello", 5)
                             + abort(AbortReason::Stopped) + offer(QStringLiteral("r3.bin"), 5, at) + start(5)
                             + end(helloHeld)}
        << true << true << QList<QByteArray>{} << QStringLiteral("r3.bin") << QByteArray("<missing>")
        << QList<QByteArray>{accepted, accepted, result(ResultStatus::WriteFailed)} << QString() << real;
    const auto sent = [&](const char *path) {
        return offer(QString::fromLatin1(path), 5, 0) + start(0) + data("hello", 5) + end(hello.result());
    };
    QTest::newRow("in a folder, a path through a file is refused alone")
        << QList<QByteArray>{reply + folder(QStringLiteral("p"), 4, 15) + directory(QStringLiteral("p/e")) + sent("p/a")
                             + offer(QStringLiteral("p/a/x"), 5, 0) + sent("p/b") + folderEnd()}
        << true << true << QList<QByteArray>{} << QStringLiteral("p/b") << QByteArray("hello")
        << QList<QByteArray>{accepted, result(ResultStatus::Stored), refuse(RefuseReason::PathRefused), accepted,
                             result(ResultStatus::Stored)} << QString() << real;
    QTest::newRow("a refused file sent whole with its offer is dropped quietly")
        << QList<QByteArray>{reply + folder(QStringLiteral("q"), 3, 15) + sent("q/a") + sent("q/a/x") + sent("q/b")
                             + folderEnd()}
        << true << true << QList<QByteArray>{} << QStringLiteral("q/b") << QByteArray("hello")
        << QList<QByteArray>{accepted, result(ResultStatus::Stored), refuse(RefuseReason::PathRefused),
                             result(ResultStatus::WriteFailed), accepted, result(ResultStatus::Stored)} << QString() << real;
#ifdef Q_OS_UNIX
    const QList<QByteArray> refusedTwice{refuse(RefuseReason::PathRefused), result(ResultStatus::WriteFailed),
                                         refuse(RefuseReason::PathRefused), result(ResultStatus::WriteFailed)};
    QTest::newRow("a directory swapped for a link after it was made is not followed")
        << QList<QByteArray>{reply + folder(QStringLiteral("s"), 3, 10) + directory(QStringLiteral("s/d")),
                             sent("s/d/new") + sent("s/d/old") + folderEnd()}
        << true << true << QList<QByteArray>{} << QString() << QByteArray() << refusedTwice << QStringLiteral("s/d") << real;
    QTest::newRow("a link planted in a folder's path is not followed")
        << QList<QByteArray>{reply + folder(QStringLiteral("t"), 3, 10) + directory(QStringLiteral("t/d/e"))
                             + sent("t/d/e/new") + sent("t/d/old") + folderEnd()}
        << true << true << QList<QByteArray>{} << QString() << QByteArray() << refusedTwice << QStringLiteral("t/d") << real;
#endif

    // 5 % of 24 MiB is kept free; a refused declaration must leave no grant or estimate behind.
    const QByteArray small = pattern(100000);
    FileDigest smallDigest;
    smallDigest.add(small.constData(), small.size());
    QTest::newRow("on a 24 MiB volume, 100 kB after a 10^12 declaration are stored")
        << QList<QByteArray>{reply + offer(QStringLiteral("huge.bin"), 1000000000000, 0)
                             + offer(QStringLiteral("small.bin"), quint64(small.size()), 0) + start(0)
                             + data(small.constData(), small.size()) + end(smallDigest.result())}
        << true << true << QList<QByteArray>{} << QStringLiteral("small.bin") << small
        << QList<QByteArray>{refuse(RefuseReason::CannotCreate), accepted, result(ResultStatus::Stored)}
        << QString() << FreeAndTotal(qint64(20) << 20, qint64(24) << 20);
    // Room for two of its files: the system's answer is the same for each, so only the sizes
    // recorded since keep the third out of the reserve.
    const qint64 twentyMiB = qint64(20) << 20;
    QTest::newRow("a tree's files are counted against the room")
        << QList<QByteArray>{reply + folder(QStringLiteral("t"), 3, 15) + sent("t/a") + sent("t/b") + sent("t/c")
                             + folderEnd()}
        << true << true << QList<QByteArray>{} << QStringLiteral("t/b") << QByteArray("hello")
        << QList<QByteArray>{accepted, result(ResultStatus::Stored), accepted, result(ResultStatus::Stored),
                             refuse(RefuseReason::CannotCreate), result(ResultStatus::WriteFailed)}
        << QString() << FreeAndTotal(ReceiveFile::reserveFor({0, twentyMiB, -1, -1}) + 14, twentyMiB);
}

// Catches a connection proved by a stranger's nonce, an upgrade frame taken out of a file's
// bytes or out of the stream of a peer that never proposed it, a file stored although its
// digest differs, and a folder's file written outside the receive directory through a link.
void tst_ReceiveThread::upgradeFrameProvesOnlyOutsideATransfer()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(bool, proposed);
    QFETCH(bool, upgraded);
    QFETCH(QList<QByteArray>, texts);
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QList<QByteArray>, answers);
    QFETCH(QString, link);
    const QString outside = temp->filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkdir(outside));
    QFile old(QDir(outside).filePath(QStringLiteral("old")));
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("keep") == 4);
    old.close();
    QFETCH(FreeAndTotal, space);
    if (space.first >= 0) {
        planted = ReceiveFile::VolumeSpace{space.first, space.second, -1, -1};
        ReceiveFile::spaceQuery = plantedSpace;
    }
    QSignalSpy proofs(engine.get(), &receiveThread::peerUpgraded);
    QSignalSpy answered(engine.get(), &receiveThread::answerPeer);
    for (int i = 0; i < pieces.size(); ++i) {
        const QByteArray &bytes = pieces.at(i);
        if (!link.isEmpty() && i == pieces.size() - 1) {
            const QString at = recvPath(link);
            if (pieces.size() > 1) {
                QTRY_VERIFY(QFileInfo(at).isDir());
                QVERIFY(QDir().rmdir(at));
            }
            QVERIFY(QDir().mkpath(QFileInfo(at).path()));
            QVERIFY(QFile::link(outside, at));
        }
        ReceivedPiece p = piece(1, bytes);
        if (proposed) {
            p.ownNonces = {42};
            p.features = extwire::knownFeatures;
        }
        engine->appendPieces({p});
    }
    engine->appendPieces({closed(1)});
    QTRY_COMPARE(log->texts, texts);
    QTRY_COMPARE(proofs.count(), upgraded ? 1 : 0);
    // A piece's answers may come as one write.
    const QByteArray expected = std::accumulate(answers.cbegin(), answers.cend(), QByteArray());
    const auto got = [&answered] {
        QByteArray all;
        for (const QList<QVariant> &signal : answered)
            all += signal.at(1).toByteArray();
        return all;
    };
    QTRY_COMPARE(got(), expected);
    QCoreApplication::sendPostedEvents();
    QVERIFY2(!log->codes.contains(RecWriteFailed), "a write failure was reported for a file never written");
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("old")});
    QCOMPARE(readFile(old.fileName()), QByteArray("keep"));
    if (name.isEmpty())
        return;
    QTRY_COMPARE(readFile(recvPath(name)), content);
    if (name.endsWith(ReceiveFile::partSuffix)) {
        QVERIFY(!log->codes.contains(RecFinished));
        QVERIFY(log->codes.contains(RecVerifyFailed));
        QVERIFY(!QFile::exists(recvPath(name.chopped(ReceiveFile::partSuffix.size()))));
    }
}

QTEST_GUILESS_MAIN(tst_ReceiveThread)
#include "tst_receivethread.moc"
