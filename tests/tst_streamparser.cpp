#include "transfer/streamparser.h"
#include "transfer/wireformat.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtTest>

#include <optional>

namespace {

QByteArray header(const QByteArray &name, const QByteArray &sizeText)
{
    return wire::startMarker + name + wire::sizeMarker + sizeText + wire::sizeEndMarker;
}

QByteArray header(const QByteArray &name, int size)
{
    return header(name, QByteArray::number(size));
}

QByteArray transfer(const QByteArray &name, const QByteArray &data)
{
    return header(name, data.size()) + data + wire::endMarker;
}

QByteArray pattern(int size, int seed = 1)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random{quint32(seed)};
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// One log entry per event; consecutive data is joined, since how data is cut is not fixed.
QString T(const QByteArray &text) { return QStringLiteral("text ") + QString::fromLatin1(text.toPercentEncoding()); }
QString O(const QString &name, std::optional<quint64> size)
{
    return QStringLiteral("open %1 %2").arg(name, size ? QString::number(*size) : QStringLiteral("-"));
}
QString D(const QByteArray &data)
{
    if (data.size() <= 24)
        return QStringLiteral("data ") + QString::fromLatin1(data.toPercentEncoding());
    return QStringLiteral("data %1 bytes %2")
        .arg(data.size())
        .arg(QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex().left(12)));
}
QString F(quint64 streamBytes) { return QStringLiteral("finished %1").arg(streamBytes); }
QString X(quint64 streamBytes) { return QStringLiteral("timed out %1").arg(streamBytes); }

struct ReceivedFile {
    QString name;
    QByteArray data;
    QString end; // "finished", "timed out" or "open"
    bool operator==(const ReceivedFile &o) const { return name == o.name && data == o.data && end == o.end; }
};

// Records events like the engine would act on them. It can refuse names that start with 'x'
// and store only the first 1000 bytes of names that start with 'q' (a full disk), both
// independent of how the stream is cut.
class Recorder : public StreamSink {
public:
    bool failSome = false;
    QStringList log;
    QList<ReceivedFile> files;
    QByteArray allText;

    void text(const QByteArray &bytes) override
    {
        flushData();
        log << T(bytes);
        allText += bytes;
    }
    bool fileOpened(const QString &name, std::optional<quint64> size) override
    {
        flushData();
        log << O(name, size);
        if (failSome && name.startsWith(QLatin1Char('x')))
            return false;
        files << ReceivedFile{name, {}, QStringLiteral("open")};
        quota = failSome && name.startsWith(QLatin1Char('q')) ? 1000 : -1;
        return true;
    }
    bool fileData(const char *data, qsizetype size) override
    {
        const qsizetype stored = quota < 0 ? size : qMin(size, quota - files.last().data.size());
        files.last().data.append(data, int(stored));
        pendingData.append(data, int(size));
        if (stored < size) {
            files.last().end = QStringLiteral("failed");
            return false;
        }
        return true;
    }
    void fileFinished(quint64 streamBytes) override
    {
        flushData();
        log << F(streamBytes);
        files.last().end = QStringLiteral("finished");
    }
    void fileTimedOut(quint64 streamBytes) override
    {
        flushData();
        log << X(streamBytes);
        files.last().end = QStringLiteral("timed out");
    }
    QStringList finishedLog()
    {
        flushData();
        return log;
    }

private:
    void flushData()
    {
        if (!pendingData.isEmpty())
            log << D(pendingData);
        pendingData.clear();
    }
    QByteArray pendingData;
    qsizetype quota = -1;
};

// Feeds stream in pieces of random size (1..maxPiece) and ends it; checks the bound on
// held bytes after every piece.
void feedCut(StreamParser &parser, const QByteArray &stream, QRandomGenerator &random, int maxPiece)
{
    for (int pos = 0; pos < stream.size();) {
        const int n = qMin(stream.size() - pos, 1 + int(random.bounded(quint32(maxPiece))));
        parser.feed(stream.mid(pos, n));
        QVERIFY2(parser.heldBytes() <= StreamParser::maxHeld, "held bytes beyond their bound");
        pos += n;
    }
    parser.timeout();
}

} // namespace

Q_DECLARE_METATYPE(std::optional<quint64>)

class tst_StreamParser : public QObject {
    Q_OBJECT
private slots:
    void recognition_data();
    void recognition();
    void refusedTransferIsConsumedSilently_data();
    void refusedTransferIsConsumedSilently();
    void receiveName_data();
    void receiveName();
    void sizeText_data();
    void sizeText();
    void windowsNames_data();
    void windowsNames();
    void heldBytesStayBounded_data();
    void heldBytesStayBounded();
    void randomCutsGiveTheFilesSent_data();
    void randomCutsGiveTheFilesSent();
    void hostileStreamsGiveTheSameFilesForEveryCut_data();
    void hostileStreamsGiveTheSameFilesForEveryCut();
};

void tst_StreamParser::recognition_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<bool>("timeoutAtEnd");
    QTest::addColumn<QStringList>("expected");

    const QByteArray hello = QByteArrayLiteral("hello");
    const QByteArray helloHeader = header("a.txt", 5);
    QTest::newRow("three writes of the worked example: 5 file bytes, 95 in all")
        << QList<QByteArray>{helloHeader, hello, wire::endMarker} << false
        << QStringList{O(QStringLiteral("a.txt"), 5), D(hello), F(95)};
    QTest::newRow("header and data in one piece")
        << QList<QByteArray>{helloHeader + hello, wire::endMarker} << false
        << QStringList{O(QStringLiteral("a.txt"), 5), D(hello), F(95)};
    QTest::newRow("header piece that also holds the end marker completes the file")
        << QList<QByteArray>{transfer("a.txt", hello)} << false
        << QStringList{O(QStringLiteral("a.txt"), 5), D(hello), F(95)};
    QTest::newRow("empty file as two pieces")
        << QList<QByteArray>{header("empty.bin", 0), wire::endMarker} << false
        << QStringList{O(QStringLiteral("empty.bin"), 0), F(72 + 4 + 18)};

    const QByteArray big = pattern(24000);
    QTest::newRow("24000-byte file as two full data writes")
        << QList<QByteArray>{header("big.bin", 24000), big.left(12000), big.mid(12000), wire::endMarker} << false
        << QStringList{O(QStringLiteral("big.bin"), 24000), D(big), F(header("big.bin", 24000).size() + 24000 + 18)};

    const QByteArray chinese = QStringLiteral("报告-终稿.txt").toUtf8();
    QTest::newRow("non-ASCII name arrives decoded")
        << QList<QByteArray>{transfer(chinese, hello)} << false
        << QStringList{O(QStringLiteral("报告-终稿.txt"), 5), D(hello), F(transfer(chinese, hello).size())};

    const QByteArray whole = transfer("a.txt", hello);
    QTest::newRow("end marker split across pieces is recognised")
        << QList<QByteArray>{whole.left(whole.size() - 9), whole.right(9)} << false
        << QStringList{O(QStringLiteral("a.txt"), 5), D(hello), F(95)};
    QTest::newRow("header split inside the size marker is completed first")
        << QList<QByteArray>{whole.left(30), whole.mid(30, 20), whole.mid(50)} << false
        << QStringList{O(QStringLiteral("a.txt"), 5), D(hello), F(95)};
    QTest::newRow("start marker split byte by byte")
        << QList<QByteArray>{whole.left(1), whole.mid(1, 1), whole.mid(2, 16), whole.mid(18)} << false
        << QStringList{O(QStringLiteral("a.txt"), 5), D(hello), F(95)};

    const QByteArray second = transfer("b.txt", "world!");
    QTest::newRow("two transfers in one piece give two files")
        << QList<QByteArray>{whole + second} << false
        << QStringList{O(QStringLiteral("a.txt"), 5), D(hello), F(95),
                       O(QStringLiteral("b.txt"), 6), D("world!"), F(second.size())};
    QTest::newRow("bytes after the end marker are parsed again as text")
        << QList<QByteArray>{whole + wire::greeting} << false
        << QStringList{O(QStringLiteral("a.txt"), 5), D(hello), F(95), T(wire::greeting)};
    QTest::newRow("bytes in front of a start marker are text, not dropped")
        << QList<QByteArray>{QByteArrayLiteral("noise") + whole} << false
        << QStringList{T("noise"), O(QStringLiteral("a.txt"), 5), D(hello), F(95)};

    const QByteArray tricky = "ab" + wire::endMarker + wire::startMarker + "cd";
    QTest::newRow("marker bytes inside data stay data when the size is declared")
        << QList<QByteArray>{transfer("m.bin", tricky)} << false
        << QStringList{O(QStringLiteral("m.bin"), tricky.size()), D(tricky),
                       F(transfer("m.bin", tricky).size())};
    QTest::newRow("early end marker, then silence: the short file as its sender ended it")
        << QList<QByteArray>{header("short.bin", 100) + "abc", wire::endMarker.left(7), wire::endMarker.mid(7)}
        << true << QStringList{O(QStringLiteral("short.bin"), 100), D("abc"), F(header("short.bin", 100).size() + 3 + 18)};
    QTest::newRow("early end marker with more after it is data; the transfer ends by timeout")
        << QList<QByteArray>{header("short.bin", 100) + "abc" + wire::endMarker, "x"} << true
        << QStringList{O(QStringLiteral("short.bin"), 100), D("abc" + wire::endMarker + "x"),
                       X(header("short.bin", 100).size() + 3 + 18 + 1)};
    QTest::newRow("bytes beyond the declared size are data up to the end marker")
        << QList<QByteArray>{header("grew.txt", 3) + "abcdef" + wire::endMarker} << false
        << QStringList{O(QStringLiteral("grew.txt"), 3), D("abcdef"),
                       F(header("grew.txt", 3).size() + 6 + 18)};

    const QByteArray afterEnd = QByteArrayLiteral("tail");
    for (const QByteArray &bad : {QByteArray("12a"), QByteArray(""), QByteArray("+5"),
                                  QByteArray("123456789012345678901"), QByteArray("18446744073709551616")}) {
        const QByteArray h = header("inv.bin", bad);
        QTest::addRow("invalid size text \"%s\" falls back to the end marker alone", bad.constData())
            << QList<QByteArray>{h + "xy" + wire::endMarker + afterEnd} << true
            << QStringList{O(QStringLiteral("inv.bin"), std::nullopt), D("xy"), F(h.size() + 2 + 18), T(afterEnd)};
    }

    QTest::newRow("greeting is text") << QList<QByteArray>{wire::greeting} << false
                                      << QStringList{T(wire::greeting)};
    QTest::newRow("plain text holding a whole header is a header")
        << QList<QByteArray>{"hi " + header("t.txt", 1) + "Z" + wire::endMarker} << false
        << QStringList{T("hi "), O(QStringLiteral("t.txt"), 1), D("Z"), F(header("t.txt", 1).size() + 1 + 18)};
    QTest::newRow("greeting during a transfer becomes part of the file")
        << QList<QByteArray>{header("g.txt", 25), wire::greeting, wire::endMarker} << false
        << QStringList{O(QStringLiteral("g.txt"), 25), D(wire::greeting), F(header("g.txt", 25).size() + 25 + 18)};
    QTest::newRow("transfer stopped by its sender keeps its bytes and times out")
        << QList<QByteArray>{header("cut.bin", 1000), "partial"} << true
        << QStringList{O(QStringLiteral("cut.bin"), 1000), D("partial"), X(header("cut.bin", 1000).size() + 7)};
    QTest::newRow("held beginning of an end marker is file data at the timeout")
        << QList<QByteArray>{header("h.bin", 0) + "x" + wire::endMarker.left(7)} << true
        << QStringList{O(QStringLiteral("h.bin"), 0), D("x" + wire::endMarker.left(7)),
                       X(header("h.bin", 0).size() + 8)};

    const QByteArray unfinished = wire::startMarker + "name" + wire::sizeMarker + "12";
    QTest::newRow("header cut off by the timeout is text")
        << QList<QByteArray>{unfinished} << true << QStringList{T(unfinished)};
    QTest::newRow("start marker inside an unfinished header restarts it")
        << QList<QByteArray>{unfinished + whole} << false
        << QStringList{T(unfinished), O(QStringLiteral("a.txt"), 5), D(hello), F(95)};
    const QByteArray junk = wire::startMarker + QByteArray(StreamParser::maxHeader, 'j');
    QTest::newRow("header without its size-end marker within 64 KiB is text")
        << QList<QByteArray>{junk.left(40000), junk.mid(40000), whole} << false
        << QStringList{T(junk), O(QStringLiteral("a.txt"), 5), D(hello), F(95)};

    const int fixed = header("", 0).size();
    const QByteArray longest = header(QByteArray(int(StreamParser::maxHeader) - fixed, 'n'), 0);
    QTest::newRow("header of exactly 64 KiB is a header")
        << QList<QByteArray>{longest + wire::endMarker} << false
        << QStringList{O(QString(int(StreamParser::maxHeader) - fixed, QLatin1Char('n')), 0), F(longest.size() + 18)};
    const QByteArray tooLong = header(QByteArray(int(StreamParser::maxHeader) - fixed + 1, 'n'), 0);
    QTest::newRow("header one byte over 64 KiB is text, even in one piece")
        << QList<QByteArray>{tooLong + "x"} << false << QStringList{T(tooLong + "x")};

    const QByteArray start = QStringLiteral("准备开始").toUtf8();
    QTest::newRow("text ending like a start marker is held, then shown whole")
        << QList<QByteArray>{start.left(9), start.mid(9)} << true << QStringList{T(start)};
}

// Each row names the fault it catches: a split or joined write that loses or corrupts data.
void tst_StreamParser::recognition()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(bool, timeoutAtEnd);
    QFETCH(QStringList, expected);
    Recorder recorder;
    StreamParser parser(recorder);
    for (const QByteArray &piece : pieces)
        parser.feed(piece);
    if (timeoutAtEnd)
        parser.timeout();
    QCOMPARE(recorder.finishedLog(), expected);
    QVERIFY(!parser.pending() || !timeoutAtEnd);
}

void tst_StreamParser::refusedTransferIsConsumedSilently_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("stored");
    const QByteArray data = pattern(5000, 7);
    QTest::newRow("file that could not be created") << QByteArray("x.bin") << data << QByteArray();
    QTest::newRow("file whose writes failed after 1000 bytes") << QByteArray("q.bin") << data << data.left(1000);
}

// Catches the rest of a failed transfer flooding the log as text.
void tst_StreamParser::refusedTransferIsConsumedSilently()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, stored);
    Recorder recorder;
    recorder.failSome = true;
    StreamParser parser(recorder);
    const QByteArray h = header(name, data.size());
    parser.feed(h);
    for (int pos = 0; pos < data.size(); pos += 1200)
        parser.feed(data.mid(pos, 1200));
    parser.feed(wire::endMarker + transfer("ok.txt", "fine"));
    QVERIFY(recorder.allText.isEmpty());
    QCOMPARE(recorder.files.size(), stored.isNull() ? 1 : 2);
    if (!stored.isNull())
        QCOMPARE(recorder.files.first().data, stored);
    QCOMPARE(recorder.files.last(), (ReceivedFile{QStringLiteral("ok.txt"), "fine", QStringLiteral("finished")}));
    QVERIFY(!parser.pending());
}

void tst_StreamParser::receiveName_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("expected");
    QTest::newRow("parent steps") << QByteArray("../../etc/passwd") << QStringLiteral("passwd");
    QTest::newRow("backslash steps") << QByteArray("..\\..\\boot.ini") << QStringLiteral("boot.ini");
    QTest::newRow("absolute path") << QByteArray("/tmp/x.txt") << QStringLiteral("x.txt");
    QTest::newRow("drive path") << QByteArray("C:\\Users\\x\\y.txt") << QStringLiteral("y.txt");
    QTest::newRow("trailing separator") << QByteArray("dir/") << QString();
    QTest::newRow("dot dot") << QByteArray("..") << QString();
    QTest::newRow("ending in dot dot") << QByteArray("a/..") << QString();
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("zero byte ends the name") << QByteArray("ok.txt\0/../evil", 15) << QStringLiteral("ok.txt");
    QTest::newRow("UTF-8") << QStringLiteral("目录/文件.txt").toUtf8() << QStringLiteral("文件.txt");
}

// Catches a name that reaches outside the receive directory.
void tst_StreamParser::receiveName()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, expected);
    QCOMPARE(StreamParser::receiveName(raw), expected);
}

void tst_StreamParser::sizeText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<std::optional<quint64>>("expected");
    QTest::newRow("largest") << QByteArray("18446744073709551615") << std::optional<quint64>(~quint64(0));
    QTest::newRow("one past largest") << QByteArray("18446744073709551616") << std::optional<quint64>();
    QTest::newRow("20 digits with zeros") << QByteArray("00000000000000000042") << std::optional<quint64>(42);
    QTest::newRow("21 digits") << QByteArray("000000000000000000042") << std::optional<quint64>();
    QTest::newRow("empty") << QByteArray() << std::optional<quint64>();
    QTest::newRow("sign") << QByteArray("+7") << std::optional<quint64>();
    QTest::newRow("exponent") << QByteArray("1e3") << std::optional<quint64>();
}

// Catches an overflowing or lenient size that would swallow an end marker as data.
void tst_StreamParser::sizeText()
{
    QFETCH(QByteArray, text);
    QFETCH(std::optional<quint64>, expected);
    QCOMPARE(StreamParser::parseSize(text), expected);
}

void tst_StreamParser::windowsNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("reserved");
    QTest::newRow("device") << QStringLiteral("CON") << true;
    QTest::newRow("device, lower case, extension") << QStringLiteral("nul.txt") << true;
    QTest::newRow("numbered device") << QStringLiteral("COM1.log") << true;
    QTest::newRow("COM0 is a file") << QStringLiteral("COM0") << false;
    QTest::newRow("longer name") << QStringLiteral("console.txt") << false;
    QTest::newRow("stream colon") << QStringLiteral("a.txt:hidden") << true;
    QTest::newRow("control character") << QStringLiteral("a\nb") << true;
    QTest::newRow("trailing dot") << QStringLiteral("a.") << true;
    QTest::newRow("ordinary") << QStringLiteral("报告.txt") << false;
}

// Catches a received name that opens a device on Windows instead of a file.
void tst_StreamParser::windowsNames()
{
    QFETCH(QString, name);
    QFETCH(bool, reserved);
    QCOMPARE(isWindowsReservedName(name), reserved);
}

void tst_StreamParser::heldBytesStayBounded_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("piece");
    QByteArray endless = wire::startMarker + "n" + wire::sizeMarker;
    endless += QByteArray(300000, '7');
    QTest::newRow("header whose size text never ends") << endless << 1000;
    QByteArray hooks;
    while (hooks.size() < 300000)
        hooks += "x" + wire::startMarker.left(3);
    QTest::newRow("text whose pieces each end like a start marker") << hooks << 4;
    QByteArray starts;
    while (starts.size() < 300000)
        starts += wire::startMarker + "abc";
    QTest::newRow("start markers without a header") << starts << 12000;
}

// Catches a peer making the engine buffer without bound, or rescanning so much that tiny
// pieces stall it.
void tst_StreamParser::heldBytesStayBounded()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, piece);
    Recorder recorder;
    StreamParser parser(recorder);
    QElapsedTimer clock;
    clock.start();
    for (int pos = 0; pos < stream.size(); pos += piece) {
        parser.feed(stream.mid(pos, piece));
        QVERIFY(parser.heldBytes() <= StreamParser::maxHeld);
    }
    parser.timeout();
    QCOMPARE(recorder.allText, stream);
    QVERIFY(recorder.files.isEmpty());
    QVERIFY2(clock.elapsed() < 20000, "parsing slowed down on held bytes");
}

void tst_StreamParser::randomCutsGiveTheFilesSent_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 1; seed <= 12; ++seed)
        QTest::addRow("seed %u", seed) << seed;
}

// Catches any recognition that depends on where TCP cut the stream: well-formed transfers and
// texts, cut at random, must give exactly the files that were sent.
void tst_StreamParser::randomCutsGiveTheFilesSent()
{
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    QByteArray stream;
    QList<ReceivedFile> sent;
    const QList<QByteArray> awkward = {wire::endMarker, wire::startMarker, wire::sizeMarker,
                                       wire::endMarker.left(10), QByteArray(1, '\0')};
    for (int item = 0; item < 25; ++item) {
        if (random.bounded(3) == 0) {
            QByteArray text = pattern(1 + int(random.bounded(3000)), int(random()));
            text.replace(wire::startMarker, "S");
            stream += text;
            continue;
        }
        QByteArray data = pattern(int(random.bounded(random.bounded(2) ? 40000 : 300)), int(random()));
        for (int i = int(random.bounded(4)); i > 0 && !data.isEmpty(); --i)
            data.insert(int(random.bounded(quint32(data.size()))), awkward.at(int(random.bounded(5))));
        const QByteArray name = "f" + QByteArray::number(item) + (random.bounded(2) ? ".bin" : "_数据");
        stream += transfer(name, data);
        sent << ReceivedFile{QString::fromUtf8(name), data, QStringLiteral("finished")};
    }

    Recorder whole;
    StreamParser wholeParser(whole);
    wholeParser.feed(stream);
    wholeParser.timeout();
    QCOMPARE(whole.files, sent);

    for (const int maxPiece : {1, 17, 700, 12000, 70000}) {
        Recorder cut;
        StreamParser cutParser(cut);
        feedCut(cutParser, stream, random, maxPiece);
        QCOMPARE(cut.files, sent);
        QCOMPARE(cut.allText, whole.allText);
    }
}

void tst_StreamParser::hostileStreamsGiveTheSameFilesForEveryCut_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 100; seed < 116; ++seed)
        QTest::addRow("seed %u", seed) << seed;
}

// Catches cut-dependence on malformed input: broken headers, invalid and wrong sizes, stray
// markers, refused names and failing writes must all end the same way for every cut.
void tst_StreamParser::hostileStreamsGiveTheSameFilesForEveryCut()
{
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    const QList<QByteArray> names = {"x.bin", "q.bin", "a.txt", "../up.txt", "..", "", "n\0z"};
    const QList<QByteArray> sizes = {"0", "5", "40", "2000", "99999999999999999999", "abc", ""};
    const QList<QByteArray> strays = {wire::startMarker, wire::sizeMarker, wire::sizeEndMarker, wire::endMarker,
                                      wire::startMarker.left(5), wire::endMarker.left(12),
                                      wire::sizeEndMarker.left(20), wire::greeting, QByteArray(70000, 'z')};
    const auto any = [&random](const QList<QByteArray> &list) { return list.at(int(random.bounded(quint32(list.size())))); };
    QByteArray stream;
    for (int i = 0; i < 40; ++i) {
        switch (random.bounded(4)) {
        case 0: stream += any(strays); break;
        case 1: stream += pattern(int(random.bounded(3000)), int(random())); break;
        default: {
            // A transfer whose parts may be wrong, missing or broken off.
            QByteArray t = header(any(names), any(sizes)) + pattern(int(random.bounded(2500)), int(random()));
            if (random.bounded(4) != 0)
                t += wire::endMarker;
            stream += random.bounded(5) == 0 ? t.left(int(random.bounded(quint32(t.size())))) : t;
        }
        }
    }

    Recorder whole;
    whole.failSome = true;
    StreamParser wholeParser(whole);
    wholeParser.feed(stream);
    wholeParser.timeout();
    QVERIFY(whole.files.size() >= 5);
    for (const int maxPiece : {1, 29, 4000, 12000}) {
        Recorder cut;
        cut.failSome = true;
        StreamParser cutParser(cut);
        feedCut(cutParser, stream, random, maxPiece);
        QCOMPARE(cut.files, whole.files);
        QCOMPARE(cut.allText, whole.allText);
        QVERIFY(!cutParser.pending());
    }
}

QTEST_APPLESS_MAIN(tst_StreamParser)
#include "tst_streamparser.moc"
