// Transfer reports: the lines, labels, progress bar and controls for every listen, receive and
// send code, and the log's bounds under a flood of plain text.
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QtTest>

#include "transfer/receivefile.h"
#include "transfer/receivethread.h"
#include "windowprobe.h"

using P = MainWindowProbe;
using testutil::logLines;
Q_DECLARE_METATYPE(QVector<IncomingTransfer>)

namespace {
using testutil::linesMatch;
const QString secs = testutil::secs;
const QString rate = testutil::rateLine;

QByteArray utf8(const QString &s) { return s.toUtf8(); }
} // namespace

class tst_WindowReports : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void listenActions_data();
    void listenActions();
    void receiveCodes_data();
    void receiveCodes();
    void eachTextTakesItsOwnReport();
    void textFloodThenFile_data();
    void textFloodThenFile();
    void textPeriodLeftOutLine_data();
    void textPeriodLeftOutLine();
    void logCostPerLineStaysFlat();
    void sendCodes_data();
    void sendCodes();
    void secondsFormat_data();
    void secondsFormat();
    void progressValue_data();
    void progressValue();
    void transferBusy_data();
    void transferBusy();
    void textFloodKeepsTheLogBounded();
    void incomingText_data();
    void incomingText();
    void sendBarCountsWhatLeft_data();
    void sendBarCountsWhatLeft();
    void incomingLabelCutsOnlyTheName_data();
    void incomingLabelCutsOnlyTheName();

private:
    QTemporaryDir dir;
    std::unique_ptr<MainWindow> w;
};

void tst_WindowReports::init()
{
    recvReports::clear();
    w = testutil::makeWindow(dir, testutil::clientSettings());
    P::detachWorker(*w);
    // A hidden action reads as disabled; show all of them so that their own state is seen.
    Ui::MainWindow *ui = P::ui(*w);
    for (QAction *a : {ui->act_startListen, ui->act_stopListen, ui->act_connect, ui->act_disconnect})
        a->setVisible(true);
}

void tst_WindowReports::cleanup()
{
    w.reset();
}

// Faults: a wrong label text or colour, act_startListen left enabled while listening, an
// unknown code acting like a known one.
void tst_WindowReports::listenActions_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text"); // null: unchanged
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<int>("startEnabled"); // -1: unchanged

    QTest::newRow("listening") << int(ActionListening) << QStringLiteral("监听中...") << QColor(0, 255, 0) << 0;
    QTest::newRow("stopped") << int(ActionListenStopped) << QStringLiteral("已停止监听") << QColor(255, 255, 0) << 1;
    QTest::newRow("negative") << -1 << QString() << QColor() << -1;
    QTest::newRow("two") << 2 << QString() << QColor() << -1;
}

void tst_WindowReports::listenActions()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(QColor, colour);
    QFETCH(int, startEnabled);

    QLabel *label = P::serverStateLabel(*w);
    for (const bool before : {false, true}) {
        label->setText(QStringLiteral("earlier"));
        label->setPalette(QPalette(QColor(0, 0, 10), Qt::blue));
        P::ui(*w)->act_startListen->setEnabled(before);

        P::action(*w, code);

        QCOMPARE(label->text(), text.isNull() ? QStringLiteral("earlier") : text);
        QCOMPARE(label->palette().color(QPalette::Window), colour.isValid() ? colour : QColor(Qt::blue));
        QCOMPARE(label->palette().color(QPalette::Button), QColor(0, 0, 10));
        QCOMPARE(P::ui(*w)->act_startListen->isEnabled(), startEnabled < 0 ? before : startEnabled == 1);
        QVERIFY(logLines(*w).isEmpty());
    }
}

// Faults: a line that differs by one byte, sizes of another transfer, an elapsed time in
// another format, a text shown past its zero byte or at any length, markup in a peer's text
// interpreted, controls re-enabled by a failed create or left disabled after an end.
void tst_WindowReports::receiveCodes_data()
{
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<QByteArray>("text"); // pushed as the report of RecText
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("released"); // receive controls enabled again, role idle
    QTest::addColumn<bool>("replaced"); // the stored file replaced one of its name

    const QStringList started{QString(), QStringLiteral("开始接收...")};
    const QByteArray none;
    QTest::newRow("finished") << QList<int>{RecStarted, RecFinished} << none
                              << started + QStringList{QStringLiteral("接收完成!"), QStringLiteral("文件接收大小:5"),
                                                       QStringLiteral("总接收Byte大小:95"),
                                                       QStringLiteral("保存为:a.bin"),
                                                       QStringLiteral("接收耗时:") + secs + QStringLiteral("s"), rate,
                                                       QString()}
                              << true << false;
    QTest::newRow("finished, replacing a file")
        << QList<int>{RecStarted, RecFinished} << none
        << started + QStringList{QStringLiteral("接收完成!"), QStringLiteral("文件接收大小:5"),
                                 QStringLiteral("总接收Byte大小:95"), QStringLiteral("保存为:a.bin (已替换同名文件)"),
                                 QStringLiteral("接收耗时:") + secs + QStringLiteral("s"), rate, QString()}
        << true << true;
    QTest::newRow("started") << QList<int>{RecStarted} << none << started << false << false;
    QTest::newRow("progress says nothing") << QList<int>{RecProgress} << none << QStringList() << false << false;
    QTest::newRow("create failed") << QList<int>{RecCreateFailed} << none
                                   << QStringList{QStringLiteral("创建文件失败,接收失败!"), QString()} << false << false;
    QTest::newRow("timeout") << QList<int>{RecStarted, RecTimeout} << none
                             << started + QStringList{QStringLiteral("接收超时，已强制中断!"), QString()} << true << false;
    QTest::newRow("write failed") << QList<int>{RecStarted, RecWriteFailed} << none
                                  << started + QStringList{QStringLiteral("写入文件失败,接收失败!"), QString()} << true << false;
    QTest::newRow("greeting") << QList<int>{RecText} << utf8(QStringLiteral("你好,我是澜石机电"))
                              << QStringList{QStringLiteral("[in] 你好,我是澜石机电")} << false << false;
    QTest::newRow("text up to its zero byte") << QList<int>{RecText} << QByteArray("abc\0def", 7)
                                              << QStringList{QStringLiteral("[in] abc")} << false << false;
    QTest::newRow("text at the limit") << QList<int>{RecText} << QByteArray(MainWindow::maxTextChars, 'x')
                                       << QStringList{QStringLiteral("[in] ") + QString(MainWindow::maxTextChars, QLatin1Char('x'))}
                                       << false << false;
    QTest::newRow("long text cut") << QList<int>{RecText} << QByteArray(MainWindow::maxTextChars + 1, 'y')
                                   << QStringList{QStringLiteral("[in] ") + QString(MainWindow::maxTextChars, QLatin1Char('y'))
                                                  + QChar(0x2026)}
                                   << false << false;
    QTest::newRow("markup shown as sent") << QList<int>{RecText} << QByteArray("<b>bold</b>  two\nlines &amp;")
                                          << QStringList{QStringLiteral("[in] <b>bold</b>  two"), QStringLiteral("lines &amp;")}
                                          << false << false;
    QTest::newRow("unknown codes") << QList<int>{-1, 10, 99} << none << QStringList() << false << false;
}

void tst_WindowReports::receiveCodes()
{
    QFETCH(QList<int>, codes);
    QFETCH(QByteArray, text);
    QFETCH(QStringList, lines);
    QFETCH(bool, released);
    QFETCH(bool, replaced);

    RecvSnapshot report;
    report.recvFileBytes = 5;
    report.recvTotalBytes = 95;
    report.fileName = QDir(ReceiveFile::directoryFor(receiveDirPath.get())).filePath(QStringLiteral("a.bin"));
    report.replaced = replaced;
    report.lastRecvText = text;
    for (int code : codes) {
        if (code == RecFinished || code == RecText)
            recvReports::push(code, report);
    }
    Ui::MainWindow *ui = P::ui(*w);
    ui->textEdit->append(QStringLiteral("before"));
    sendThread *worker = P::worker(*w);
    worker->receiveRole = RoleServer;
    ui->act_stopListen->setEnabled(false);
    ui->dirShowLineEdit->setEnabled(false);

    for (int code : codes)
        P::recState(*w, code);

    const QStringList actual = logLines(*w).mid(1);
    QVERIFY2(linesMatch(actual, lines), qPrintable(actual.join(QLatin1Char('|'))));
    QCOMPARE(ui->dirShowLineEdit->isEnabled(), released);
    QCOMPARE(ui->act_stopListen->isEnabled(), released);
    QCOMPARE(worker->receiveRole.load(), released ? int(RoleIdle) : int(RoleServer));
}

// Fault: the window takes no report, or two, per RecText and so shows another text's bytes.
void tst_WindowReports::eachTextTakesItsOwnReport()
{
    for (const char *text : {"first", "second", "third"}) {
        RecvSnapshot report;
        report.lastRecvText = text;
        recvReports::push(RecText, report);
    }
    for (int i = 0; i < 3; ++i)
        P::recState(*w, RecText);
    QCOMPARE(logLines(*w), (QStringList{QStringLiteral("[in] first"), QStringLiteral("[in] second"),
                                        QStringLiteral("[in] third")}));
}

// Faults: a text shown twice or out of order, one dropped without a word, a file report that
// goes missing or shows another transfer's values behind a flood, one line per left-out text.
void tst_WindowReports::textFloodThenFile_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("size"); // bytes of each text
    QTest::newRow("short texts") << 10000 << 8;
    QTest::newRow("more than the reports hold") << 1200 << 4096;
}

void tst_WindowReports::textFloodThenFile()
{
    QFETCH(int, count);
    QFETCH(int, size);
    const int fileAt = count / 2;
    QList<int> codes;
    qint64 totalBytes = 0;
    for (int i = 0; i < count; ++i) {
        if (i == fileAt) {
            codes << RecStarted << RecFinished;
            RecvSnapshot file;
            file.recvFileBytes = 7;
            file.recvTotalBytes = 107;
            recvReports::push(RecFinished, file);
        }
        RecvSnapshot text;
        text.lastRecvText = QByteArray::number(i).leftJustified(size, '.');
        totalBytes += size;
        recvReports::push(RecText, text);
        codes << RecText;
    }
    for (int code : codes)
        P::recState(*w, code);

    const QStringList lines = logLines(*w);
    const QRegularExpression leftOut(QStringLiteral("^……已省略 (\\d+) 条文本（(\\d+) 字节）$"));
    int shown = 0, leftOutLines = 0, last = -1, fileLine = -1;
    qint64 accounted = 0, bytes = 0;
    for (int n = 0; n < lines.size(); ++n) {
        const QString &line = lines.at(n);
        const QRegularExpressionMatch m = leftOut.match(line);
        if (m.hasMatch()) {
            ++leftOutLines;
            accounted += m.captured(1).toLongLong();
            bytes += m.captured(2).toLongLong();
        } else if (line.startsWith(QStringLiteral("[in] "))) {
            const int index = line.mid(5).section(QLatin1Char('.'), 0, 0).toInt();
            QVERIFY2(index > last, qPrintable(line));
            QVERIFY(fileLine < 0 ? index < fileAt : index >= fileAt);
            last = index;
            ++shown;
            ++accounted;
            bytes += size;
        } else if (line == QStringLiteral("文件接收大小:7")) {
            QCOMPARE(fileLine, -1);
            fileLine = n;
            QCOMPARE(lines.value(n - 1), QStringLiteral("接收完成!"));
            QCOMPARE(lines.value(n + 1), QStringLiteral("总接收Byte大小:107"));
        }
    }
    QVERIFY(fileLine > 0);
    QCOMPARE(accounted, qint64(count));
    QCOMPARE(bytes, totalBytes);
    QVERIFY(shown > 0);
    QVERIFY2(leftOutLines <= 2 * (shown + 2), "one line per left-out text");
}

void tst_WindowReports::textPeriodLeftOutLine_data()
{
    QTest::addColumn<int>("early"); // texts at the period's start
    QTest::addColumn<int>("late");  // texts 300 ms later, in the same period
    QTest::newRow("40 at once") << 40 << 0;
    QTest::newRow("a late burst") << 20 << 20;
}

// Catches a period that shows more or fewer than its share, and a left-out line that waits
// for another line to push it out.
void tst_WindowReports::textPeriodLeftOutLine()
{
    QFETCH(int, early);
    QFETCH(int, late);
    QTextEdit edit;
    LogPane pane(&edit);
    QElapsedTimer clock;
    clock.start();
    auto offer = [&](int from, int count) {
        for (int i = from; i < from + count; ++i) {
            if (pane.admitText(4))
                pane.append(QStringLiteral("[in] t%1").arg(i));
        }
    };
    offer(0, early);
    if (late > 0) {
        QTest::qWait(300);
        if (clock.elapsed() >= LogPane::textPeriodMs - 50)
            QSKIP("the machine was too slow to keep both bursts in one period");
        offer(early, late);
    }
    const int left = early + late - LogPane::textsPerPeriod;
    const QString leftOutLine = QStringLiteral("……已省略 %1 条文本（%2 字节）").arg(left).arg(4 * left);
    // Nothing else is logged: the pane's own timer must bring the line once the period ends.
    QTRY_VERIFY(edit.toPlainText().endsWith(leftOutLine));
    const QStringList lines = edit.toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), LogPane::textsPerPeriod + 1);
    QCOMPARE(lines.value(LogPane::textsPerPeriod - 1), QStringLiteral("[in] t%1").arg(LogPane::textsPerPeriod - 1));
}

// Fault: a line inserted, and the log trimmed, one line at a time; each trim lays the whole
// log out again, so a full log makes every line cost more.
void tst_WindowReports::logCostPerLineStaysFlat()
{
    QTextDocument *doc = P::ui(*w)->textEdit->document();
    int edits = 0;
    connect(doc, &QTextDocument::contentsChange, this, [&edits] { ++edits; });
    const int lines = 3 * MainWindow::logTrimBatch, perFlush = 10;
    const auto logLines = [&](int from) {
        edits = 0;
        for (int i = from; i < from + lines; ++i) {
            P::log(*w, QStringLiteral("line %1").arg(i));
            if (i % perFlush == perFlush - 1)
                P::flushLog(*w);
        }
        return edits;
    };
    const int emptyEdits = logLines(0);
    QCOMPARE(emptyEdits, lines / perFlush);
    for (int i = lines; i < MainWindow::maxLogParagraphs; ++i)
        P::log(*w, QStringLiteral("line %1").arg(i));
    P::flushLog(*w);
    QCOMPARE(doc->blockCount(), MainWindow::maxLogParagraphs);

    const int fullEdits = logLines(MainWindow::maxLogParagraphs);
    QVERIFY2(fullEdits <= emptyEdits + lines / MainWindow::logTrimBatch + 1, qPrintable(QString::number(fullEdits)));
    QVERIFY(doc->blockCount() <= MainWindow::maxLogParagraphs + MainWindow::logTrimBatch);
    P::flushLog(*w); // idle: back to the bound
    QCOMPARE(doc->blockCount(), MainWindow::maxLogParagraphs);
    const int end = MainWindow::maxLogParagraphs + lines;
    QCOMPARE(doc->firstBlock().text(), QStringLiteral("line %1").arg(end - MainWindow::maxLogParagraphs));
    QCOMPARE(doc->lastBlock().text(), QStringLiteral("line %1").arg(end - 1));
}

// Faults: a line that differs by one byte, a counter truncated to 32 bits or grouped, the bar
// left showing or the controls left disabled after an end, an end code that is not handled.
void tst_WindowReports::sendCodes_data()
{
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("ended");
    QTest::addColumn<qint64>("resumedFrom");

    QTest::newRow("finished") << QList<int>{TransStarted, TransProgress, TransFinished}
                              << QStringList{QStringLiteral("传送完成!"), QStringLiteral("发送文件大小:5000000000"),
                                             QStringLiteral("总发送字节大小:5000000094"),
                                             QStringLiteral("发送耗时:") + secs + QStringLiteral("s"), rate, QString()}
                              << true << qint64(0);
    QTest::newRow("finished, resumed") << QList<int>{TransStarted, TransProgress, TransFinished}
                                       << QStringList{QStringLiteral("传送完成!"), QStringLiteral("发送文件大小:5000000000"),
                                                      QStringLiteral("总发送字节大小:5000000094"),
                                                      QStringLiteral("续传:接收方已有前4000000000字节,只发送了其余部分"),
                                                      QStringLiteral("发送耗时:") + secs + QStringLiteral("s"), rate, QString()}
                                       << true << qint64(4000000000);
    QTest::newRow("started says nothing") << QList<int>{TransStarted, TransProgress} << QStringList() << false << qint64(0);
    QTest::newRow("stopped") << QList<int>{TransStarted, TransStopped}
                             << QStringList{QStringLiteral("传送已被强制中断!"), QString()} << true << qint64(0);
    QTest::newRow("disconnected") << QList<int>{TransStarted, TransDisconnected}
                                  << QStringList{QStringLiteral("连接已断开,传送中断!")} << true << qint64(0);
    QTest::newRow("open failed") << QList<int>{TransOpenFailed}
                                 << QStringList{QStringLiteral("打开文件失败，传送中断"), QString()} << true << qint64(0);
    QTest::newRow("read failed") << QList<int>{TransStarted, TransReadFailed}
                                 << QStringList{QStringLiteral("读取文件失败,传送中断!"), QString()} << true << qint64(0);
    QTest::newRow("unused and unknown codes") << QList<int>{13, 9, 28, -12} << QStringList() << false << qint64(0);
}

void tst_WindowReports::sendCodes()
{
    QFETCH(QList<int>, codes);
    QFETCH(QStringList, lines);
    QFETCH(bool, ended);
    QFETCH(qint64, resumedFrom);

    Ui::MainWindow *ui = P::ui(*w);
    sendThread *worker = P::worker(*w);
    worker->fileResumedFrom = resumedFrom;
    worker->fileSize = 5000000000;
    worker->fileBytesRead = 5000000000;
    worker->socketBytesWritten = 5000000094;
    worker->sendRole = RoleClient;
    ui->act_disconnect->setEnabled(false);
    ui->testBtn->setEnabled(false);
    ui->fileTransmitBtn->setEnabled(false);
    P::progressBar(*w)->show();

    for (int code : codes)
        P::transState(*w, code);

    const QStringList actual = logLines(*w);
    QVERIFY2(linesMatch(actual, lines), qPrintable(actual.join(QLatin1Char('|'))));
    QCOMPARE(P::progressBar(*w)->isHidden(), ended);
    QCOMPARE(ui->testBtn->isEnabled(), ended);
    QCOMPARE(ui->fileTransmitBtn->isEnabled(), ended);
    QCOMPARE(ui->act_disconnect->isEnabled(), ended);
    QCOMPARE(worker->sendRole.load(), ended ? int(RoleIdle) : int(RoleClient));
}

// Faults: 'g' format ("1" for 1000 ms), rounding to fewer decimals, seconds as integers.
void tst_WindowReports::secondsFormat_data()
{
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<QString>("text");
    QTest::newRow("1234 ms") << qint64(1234) << QStringLiteral("1.234");
    QTest::newRow("whole second") << qint64(1000) << QStringLiteral("1.000");
    QTest::newRow("nothing") << qint64(0) << QStringLiteral("0.000");
    QTest::newRow("one ms") << qint64(1) << QStringLiteral("0.001");
    QTest::newRow("a minute") << qint64(61005) << QStringLiteral("61.005");
}

void tst_WindowReports::secondsFormat()
{
    QFETCH(qint64, ms);
    QFETCH(QString, text);
    QCOMPARE(P::secondsText(ms), text);
}

// Faults: rounding instead of truncation, integer division, overflow of 32-bit sizes, a value
// set for an empty file or for a count beyond the size.
void tst_WindowReports::progressValue_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("read");
    QTest::addColumn<int>("value");

    QTest::newRow("half") << qint64(200) << qint64(100) << 50;
    QTest::newRow("truncated, not rounded") << qint64(3) << qint64(2) << 66;
    QTest::newRow("small share") << qint64(12001) << qint64(12000) << 99;
    QTest::newRow("whole") << qint64(12000) << qint64(12000) << 100;
    QTest::newRow("nothing read") << qint64(100) << qint64(0) << 0;
    QTest::newRow("beyond 32 bits") << qint64(5000000000) << qint64(2500000000) << 50;
    QTest::newRow("empty file keeps the value") << qint64(0) << qint64(0) << 7;
    QTest::newRow("count beyond size keeps the value") << qint64(100) << qint64(150) << 7;
    QTest::newRow("just beyond 100 keeps the value") << qint64(1000) << qint64(1005) << 7;
}

void tst_WindowReports::progressValue()
{
    QFETCH(qint64, size);
    QFETCH(qint64, read);
    QFETCH(int, value);

    P::progressBar(*w)->setValue(7);
    P::worker(*w)->fileSize = size;
    P::worker(*w)->fileBytesRead = read;
    P::transState(*w, TransProgress);
    QCOMPARE(P::progressBar(*w)->value(), value);
    QVERIFY(logLines(*w).isEmpty());
}

// Faults: the wrong action held for a role, a role not reset when the controls come back, the
// controls of the other direction touched, an unknown direction touching the buttons.
void tst_WindowReports::transferBusy_data()
{
    QTest::addColumn<int>("sendRole");
    QTest::addColumn<int>("receiveRole");
    QTest::addColumn<bool>("enable");
    QTest::addColumn<int>("direction");
    // Expected enabled states: stop listening, disconnect, test, send, directory.
    QTest::addColumn<QList<bool>>("enabled");
    QTest::addColumn<int>("sendAfter");
    QTest::addColumn<int>("receiveAfter");

    const int S = RoleServer, C = RoleClient, I = RoleIdle;
    QTest::newRow("send starts, server") << S << I << false << 1 << QList<bool>{false, true, false, false, true} << S << I;
    QTest::newRow("send starts, client") << C << I << false << 1 << QList<bool>{true, false, false, false, true} << C << I;
    QTest::newRow("send ends, client") << C << I << true << 1 << QList<bool>{false, true, true, true, false} << I << I;
    QTest::newRow("send ends, server") << S << I << true << 1 << QList<bool>{true, false, true, true, false} << I << I;
    QTest::newRow("receive starts, server") << I << S << false << 0 << QList<bool>{false, true, true, true, false} << I << S;
    QTest::newRow("receive starts, client") << I << C << false << 0 << QList<bool>{true, false, true, true, false} << I << C;
    QTest::newRow("receive ends, client") << I << C << true << 0 << QList<bool>{false, true, false, false, true} << I << I;
    QTest::newRow("receive ends while a send runs over the same role")
        << S << S << true << 0 << QList<bool>{true, false, false, false, true} << S << I;
    QTest::newRow("both roles held") << S << C << false << 1 << QList<bool>{false, false, false, false, true} << S << C;
    QTest::newRow("other direction: actions only") << S << C << true << 2 << QList<bool>{true, true, false, false, false} << S << C;
    QTest::newRow("idle roles hold nothing") << I << I << false << 1 << QList<bool>{true, true, false, false, true} << I << I;
}

void tst_WindowReports::transferBusy()
{
    QFETCH(int, sendRole);
    QFETCH(int, receiveRole);
    QFETCH(bool, enable);
    QFETCH(int, direction);
    QFETCH(QList<bool>, enabled);
    QFETCH(int, sendAfter);
    QFETCH(int, receiveAfter);

    Ui::MainWindow *ui = P::ui(*w);
    const QList<QObject *> controls{ui->act_stopListen, ui->act_disconnect, ui->testBtn, ui->fileTransmitBtn,
                                    ui->dirShowLineEdit};
    for (QObject *control : controls)
        control->setProperty("enabled", !enable);
    P::worker(*w)->sendRole = sendRole;
    P::worker(*w)->receiveRole = receiveRole;

    P::setBusy(*w, enable, direction);

    QList<bool> actual;
    for (QObject *control : controls)
        actual << control->property("enabled").toBool();
    QCOMPARE(actual, enabled);
    QCOMPARE(P::worker(*w)->sendRole.load(), sendAfter);
    QCOMPARE(P::worker(*w)->receiveRole.load(), receiveAfter);
}

// A peer pours 50 MiB of plain text at a listening window through the real worker and engine.
// Faults: a text paragraph as long as a socket read, a window that stops handling events until
// the flood ends, texts gone without a word, a window that cannot report afterwards.
void tst_WindowReports::textFloodKeepsTheLogBounded()
{
    cleanup();
    quint16 port = 0;
    w = testutil::makeListeningWindow(dir, &port);
    QCOMPARE(P::serverStateLabel(*w)->text(), QStringLiteral("监听中..."));

    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(peer.waitForConnected(5000));
    QTRY_COMPARE(P::ui(*w)->clientcomBox->count(), 1);

    // Letters, so that no marker can form: a line longer than a socket read (a paragraph that
    // must be cut) and then short lines (many paragraphs per piece, more than the log keeps).
    QByteArray chunk;
    for (char letter = 'a'; chunk.size() < 1024 * 1024; letter = letter == 'z' ? 'a' : letter + 1) {
        chunk += QByteArray(29999, letter) + '\n';
        for (int i = 0; i < 30; ++i)
            chunk += QByteArray(999, letter) + '\n';
    }
    chunk.truncate(1024 * 1024);
    const qint64 total = 50LL * 1024 * 1024;

    // The GUI thread's longest gap between two timer ticks shows how responsive it stays.
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0, longestGap = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] {
        longestGap = qMax(longestGap, clock.elapsed() - lastTick);
        lastTick = clock.elapsed();
    });
    ticker.start(20);

    qint64 written = 0;
    while (written < total) {
        written += peer.write(chunk);
        while (peer.bytesToWrite() > 4 * 1024 * 1024)
            QVERIFY(QTest::qWaitFor([&] { return peer.bytesToWrite() <= 4 * 1024 * 1024; }, 10000));
    }
    QVERIFY(QTest::qWaitFor([&] { return peer.bytesToWrite() == 0; }, 30000));
    // The last text reaches the log once the engine has drained the queue.
    QTRY_VERIFY_WITH_TIMEOUT(P::worker(*w)->recThread->queuedBytes() == 0, 60000);
    QTest::qWait(200);
    const qint64 floodMs = clock.elapsed();

    P::flushLog(*w);
    QTextDocument *doc = P::ui(*w)->textEdit->document();
    QVERIFY(doc->blockCount() <= MainWindow::maxLogParagraphs);
    int longest = 0;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        longest = qMax(longest, b.length());
    QCOMPARE(longest, MainWindow::maxTextChars + 7); // "[in] ", "…" and the separator
    int shownTexts = 0;
    qint64 leftOutBytes = 0;
    const QRegularExpression leftOut(QStringLiteral("^……已省略 \\d+ 条文本（(\\d+) 字节）$"));
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
        shownTexts += b.text().startsWith(QStringLiteral("[in] ")) ? 1 : 0;
        leftOutBytes += leftOut.match(b.text()).captured(1).toLongLong();
    }
    // Each shown text stands for at most one queue piece; every other byte is counted out.
    QVERIFY2(leftOutBytes <= total && leftOutBytes + qint64(shownTexts) * sendThread::readBufferSize >= total,
             qPrintable(QStringLiteral("%1 bytes left out, %2 texts shown").arg(leftOutBytes).arg(shownTexts)));
    qInfo("flood of %lld MiB: %lld ms, %d paragraphs, %d characters kept, longest GUI gap %lld ms",
          total / (1024 * 1024), floodMs, doc->blockCount(), doc->characterCount(), longestGap);
    QVERIFY2(longestGap < 5000, "the window stopped handling events during the flood");

    // Still reporting: a greeting after the flood, once texts are shown again, is one line at
    // the end of the log.
    QTRY_VERIFY(P::textPeriodOver(*w));
    peer.write(wire::greeting);
    QTRY_COMPARE_WITH_TIMEOUT(logLines(*w).last(), QStringLiteral("[in] 你好,我是澜石机电"), 10000);
}

// Two polls a second apart of the files arriving. Faults: a share above 100 % or from a size
// that was no number, a rate from the byte count instead of its change, a negative rate when a
// connection starts its next file, rates of several files not added, a peer's name shown with
// its line breaks or at any length, a folder's file shown without the folder's count.
void tst_WindowReports::incomingText_data()
{
    QTest::addColumn<QVector<IncomingTransfer>>("before");
    QTest::addColumn<QVector<IncomingTransfer>>("after");
    QTest::addColumn<QString>("text");

    const QString a = QStringLiteral("a.bin");
    QTest::newRow("one file") << QVector<IncomingTransfer>{{1, a, 10000000, 2000000}}
                              << QVector<IncomingTransfer>{{1, a, 10000000, 4000000}}
                              << QStringLiteral("正在接收: a.bin  40%  2.00MB/s");
    QTest::newRow("size no number") << QVector<IncomingTransfer>{{1, a, 0, 0}} << QVector<IncomingTransfer>{{1, a, 0, 500000}}
                                    << QStringLiteral("正在接收: a.bin  0.50MB/s");
    QTest::newRow("more than declared") << QVector<IncomingTransfer>{{1, a, 10, 0}} << QVector<IncomingTransfer>{{1, a, 10, 11}}
                                        << QStringLiteral("正在接收: a.bin  100%  0.00MB/s");
    QTest::newRow("next file, same connection")
        << QVector<IncomingTransfer>{{1, a, 9000000, 9000000}} << QVector<IncomingTransfer>{{1, a, 9000000, 1000000}}
        << QStringLiteral("正在接收: a.bin  11%  1.00MB/s");
    QTest::newRow("several") << QVector<IncomingTransfer>{{1, a, 0, 0}, {2, a, 0, 100}}
                             << QVector<IncomingTransfer>{{1, a, 0, 1000000}, {2, a, 0, 2000100}, {3, a, 0, 7}}
                             << QStringLiteral("正在接收3个文件  3.00MB/s");
    QTest::newRow("a folder's file") << QVector<IncomingTransfer>{{1, QStringLiteral("photos/x/a.bin"), 100, 0, QStringLiteral("photos"), 3, 12}}
                                     << QVector<IncomingTransfer>{{1, QStringLiteral("photos/x/a.bin"), 100, 50, QStringLiteral("photos"), 3, 12}}
                                     << QStringLiteral("正在接收: photos  3/12个文件  50%  0.00MB/s");
    QTest::newRow("none") << QVector<IncomingTransfer>{{1, a, 0, 0}} << QVector<IncomingTransfer>{} << QString();
    const QString hostile = QStringLiteral("x\n<b>y</b>\r") + QString(60, QLatin1Char('z')) + QStringLiteral(".pdf");
    QTest::newRow("peer's name") << QVector<IncomingTransfer>{} << QVector<IncomingTransfer>{{1, hostile, 0, 0}}
                                 << QStringLiteral("正在接收: x\uFFFD<b>y</b>\uFFFDzzzzzzzzz") + QChar(0x2026)
                                        + QString(15, QLatin1Char('z')) + QStringLiteral(".pdf");
}

void tst_WindowReports::incomingText()
{
    QFETCH(QVector<IncomingTransfer>, before);
    QFETCH(QVector<IncomingTransfer>, after);
    QFETCH(QString, text);
    IncomingMeter meter;
    meter.update(before, 5000);
    QCOMPARE(meter.update(after, 6000), text);
}

// Faults: a bar that counts bytes read into the socket's buffer (100 % while the receiver had
// half), a resumed file's prefix counted as moved (rates no link carries), and a bar that only
// changes on progress codes, so a stall kept showing the last rate.
void tst_WindowReports::sendBarCountsWhatLeft_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("resumedFrom");
    QTest::addColumn<qint64>("read");
    QTest::addColumn<qint64>("unwritten");
    QTest::addColumn<int>("percent");
    QTest::addColumn<double>("maxRate"); // MB/s
    QTest::newRow("what waits in the buffer has not left")
        << qint64(8388608) << qint64(0) << qint64(8388608) << qint64(4194304) << 50 << 1000.0;
    QTest::newRow("a resumed file's rate counts the bytes that moved")
        << qint64(5000000000) << qint64(4000000000) << qint64(4010000000) << qint64(0) << 80 << 100.0;
}

void tst_WindowReports::sendBarCountsWhatLeft()
{
    QFETCH(qint64, size);
    QFETCH(qint64, resumedFrom);
    QFETCH(qint64, read);
    QFETCH(qint64, unwritten);
    QFETCH(int, percent);
    QFETCH(double, maxRate);
    sendThread *worker = P::worker(*w);
    QProgressBar *bar = P::progressBar(*w);
    worker->fileSize = size;
    worker->fileBytesRead = 0;
    worker->fileResumedFrom = 0;
    worker->targetUnwritten = 0;
    worker->sendRole = RoleClient;
    bar->show();
    bar->setMinimumWidth(400); // room for the rate, whatever the test's window gives it
    P::transState(*w, TransStarted);
    worker->fileResumedFrom = resumedFrom;
    worker->fileBytesRead = read;
    worker->targetUnwritten = unwritten;
    const QRegularExpression rate(QStringLiteral("  (\\d+\\.\\d\\d)MB/s"));
    QTRY_VERIFY2_WITH_TIMEOUT(rate.match(bar->format()).hasMatch(), qPrintable(bar->format()), 3000);
    QCOMPARE(bar->value(), percent);
    const double shown = rate.match(bar->format()).captured(1).toDouble();
    QVERIFY2(shown > 0.0 && shown <= maxRate, qPrintable(bar->format()));
    // Nothing more leaves: the rate falls without a code.
    QTRY_VERIFY2_WITH_TIMEOUT(rate.match(bar->format()).captured(1).toDouble() < shown / 2, qPrintable(bar->format()), 3000);
    P::transState(*w, TransStopped);
    bar->setMinimumWidth(1);
}

// Catches a label cut as a whole, which lost the share and rate of a long name ("报告-one…%").
void tst_WindowReports::incomingLabelCutsOnlyTheName_data()
{
    QTest::addColumn<int>("nameChars");
    QTest::addColumn<int>("files");
    QTest::addColumn<QString>("kept"); // what must end the label
    for (const int chars : {7, 14, 40, 200})
        QTest::addRow("%d characters", chars) << chars << 1 << QStringLiteral("  40%  2.00MB/s");
    QTest::newRow("three files") << 200 << 3 << QStringLiteral("正在接收3个文件  6.00MB/s");
}

void tst_WindowReports::incomingLabelCutsOnlyTheName()
{
    QFETCH(int, nameChars);
    QFETCH(int, files);
    QFETCH(QString, kept);
    const QString name = QStringLiteral("报告-") + QString(nameChars - 7, QLatin1Char('n')) + QStringLiteral(".pdf");
    QVector<IncomingTransfer> before, after;
    for (int i = 0; i < files; ++i) {
        before << IncomingTransfer{quint64(i + 1), name, 10000000, 2000000};
        after << IncomingTransfer{quint64(i + 1), name, 10000000, 4000000};
    }
    IncomingMeter meter;
    meter.update(before, 5000);
    meter.update(after, 6000);
    const QFontMetrics metrics{QFont()};
    // Narrow: half of it is less than the share and rate.
    const int width = metrics.horizontalAdvance(QStringLiteral("正在接收: 报告…  40%  2.00MB/s"));
    const QString shown = meter.fitted(metrics, width);
    QVERIFY2(shown.endsWith(kept), qPrintable(shown));
    QVERIFY2(metrics.horizontalAdvance(shown) <= width, qPrintable(shown));
    QVERIFY(shown.startsWith(QStringLiteral("正在接收")));
}

QTEST_MAIN(tst_WindowReports)
#include "tst_window_reports.moc"
