#include "transfer/extframing.h"
#include "transfer/filedigest.h"

#include <QtTest>

using namespace extwire;

namespace {

// Every event as a line; consecutive data is one line, however it was cut.
class Recorder : public ExtSink {
public:
    QStringList log;

    void text(const QByteArray &utf8) override { add(QStringLiteral("text ") + QString::fromUtf8(utf8)); }
    void offer(const QString &path, quint64 size, qint64 mtimeMs) override
    {
        add(QStringLiteral("offer %1 %2 %3").arg(path).arg(size).arg(mtimeMs));
    }
    void start(quint64 offset) override { add(QStringLiteral("start %1").arg(offset)); }
    void data(const char *bytes, qsizetype size) override
    {
        const QString piece = QString::fromLatin1(bytes, int(size));
        if (!log.isEmpty() && log.last().startsWith(QLatin1String("data ")))
            log.last() += piece;
        else
            add(QStringLiteral("data ") + piece);
    }
    void fileEnd(const QByteArray &digest) override { add(QStringLiteral("end ") + QString::fromLatin1(digest.toHex())); }
    void folder(const QString &path, quint32 entries, quint64 bytes) override
    {
        add(QStringLiteral("folder %1 %2 %3").arg(path).arg(entries).arg(bytes));
    }
    void directory(const QString &path) override { add(QStringLiteral("directory ") + path); }
    void folderEnd() override { add(QStringLiteral("folder end")); }
    void aborted(AbortReason reason) override { add(QStringLiteral("abort %1").arg(int(reason))); }
    void accepted(quint64 offset, const QByteArray &digest) override
    {
        add(QStringLiteral("accept %1 ").arg(offset) + QString::fromLatin1(digest.toHex()));
    }
    void refused(RefuseReason reason) override { add(QStringLiteral("refuse %1").arg(int(reason))); }
    void result(ResultStatus status) override { add(QStringLiteral("result %1").arg(int(status))); }
    void failed(Error error) override { add(QStringLiteral("failed %1").arg(int(error))); }

private:
    void add(const QString &line) { log.append(line); }
};

QStringList parsed(const QList<QByteArray> &pieces)
{
    Recorder recorder;
    ExtParser parser(recorder);
    for (const QByteArray &piece : pieces)
        parser.feed(piece);
    parser.finish();
    return recorder.log;
}

const QByteArray digestA(digestSize, 'a');
const QString hexA = QString::fromLatin1(digestA.toHex());

QByteArray pathFrame(Type type, const QByteArray &prefix, const QByteArray &path)
{
    QByteArray payload = prefix;
    payload.append(char(path.size() >> 8)).append(char(path.size() & 0xff)).append(path);
    QByteArray out(1, char(type));
    const quint32 n = quint32(payload.size());
    out.append(char(n >> 24)).append(char(n >> 16)).append(char(n >> 8)).append(char(n));
    return out + payload;
}

QByteArray hostileOffer(const QByteArray &path) { return pathFrame(Type::Offer, QByteArray(16, '\0'), path); }

} // namespace

class tst_ExtFraming : public QObject {
    Q_OBJECT
private slots:
    void everyCutGivesTheSameEvents_data();
    void everyCutGivesTheSameEvents();
    void malformedStreamsFailWithoutAPath_data();
    void malformedStreamsFailWithoutAPath();
    void digestIsXxh3Of128Bits_data();
    void digestIsXxh3Of128Bits();
};

void tst_ExtFraming::everyCutGivesTheSameEvents_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("one file")
        << offer(QStringLiteral("a.txt"), 5, 1700000000000) + start(0) + data("he", 2) + data("llo", 3) + end(digestA)
        << QStringList{QStringLiteral("offer a.txt 5 1700000000000"), QStringLiteral("start 0"),
                       QStringLiteral("data hello"), QStringLiteral("end ") + hexA};
    QTest::newRow("folder with an empty directory")
        << folder(QStringLiteral("photos"), 3, 2) + directory(QStringLiteral("photos/empty"))
               + offer(QStringLiteral("photos/2026/x.jpg"), 2, -1) + start(0) + data("xy", 2) + end(digestA)
               + offer(QStringLiteral("photos/\xC3\xA9.txt"), 0, 0) + start(0) + end(digestA) + folderEnd()
        << QStringList{QStringLiteral("folder photos 3 2"), QStringLiteral("directory photos/empty"),
                       QStringLiteral("offer photos/2026/x.jpg 2 -1"), QStringLiteral("start 0"),
                       QStringLiteral("data xy"), QStringLiteral("end ") + hexA,
                       QStringLiteral("offer photos/\xC3\xA9.txt 0 0"), QStringLiteral("start 0"),
                       QStringLiteral("end ") + hexA, QStringLiteral("folder end")};
    QTest::newRow("resumed file, answers and text interleaved")
        << offer(QStringLiteral("big"), 10, 0) + accept(6, digestA) + start(6) + text("hi") + data("wxyz", 4)
               + result(ResultStatus::DigestMismatch) + end(digestA) + refuse(RefuseReason::NoSpace)
        << QStringList{QStringLiteral("offer big 10 0"), QStringLiteral("accept 6 ") + hexA, QStringLiteral("start 6"),
                       QStringLiteral("text hi"), QStringLiteral("data wxyz"), QStringLiteral("result 1"),
                       QStringLiteral("end ") + hexA, QStringLiteral("refuse 3")};
    QTest::newRow("a refused offer, then the next")
        << offer(QStringLiteral("a"), 1, 0) + refuse(RefuseReason::PathRefused) + offer(QStringLiteral("b"), 0, 0) + start(0)
               + end(digestA)
        << QStringList{QStringLiteral("offer a 1 0"), QStringLiteral("refuse 1"), QStringLiteral("offer b 0 0"),
                       QStringLiteral("start 0"), QStringLiteral("end ") + hexA};
    QTest::newRow("abort ends a file at once")
        << offer(QStringLiteral("a"), 100, 0) + start(0) + data("abc", 3) + abort(AbortReason::Stopped) + text("ok")
        << QStringList{QStringLiteral("offer a 100 0"), QStringLiteral("start 0"), QStringLiteral("data abc"),
                       QStringLiteral("abort 1"), QStringLiteral("text ok")};
    QTest::newRow("stream cut inside a file")
        << offer(QStringLiteral("a"), 100, 0) + start(0) + data("abc", 3)
        << QStringList{QStringLiteral("offer a 100 0"), QStringLiteral("start 0"), QStringLiteral("data abc"),
                       QStringLiteral("failed %1").arg(int(ExtSink::Error::Cut))};
}

void tst_ExtFraming::everyCutGivesTheSameEvents()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, events);

    QCOMPARE(parsed({stream}), events);
    for (int cut = 1; cut < stream.size(); ++cut)
        QCOMPARE(parsed({stream.left(cut), stream.mid(cut)}), events);
    QList<QByteArray> bytes;
    for (const char c : stream)
        bytes.append(QByteArray(1, c));
    QCOMPARE(parsed(bytes), events);
}

void tst_ExtFraming::malformedStreamsFailWithoutAPath_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("error");

    const int badPath = int(ExtSink::Error::BadPath);
    const QByteArray zeros16(16, '\0');
    QTest::newRow("../x") << hostileOffer("../x") << badPath;
    QTest::newRow("/etc/x") << hostileOffer("/etc/x") << badPath;
    QTest::newRow("C:\\x") << hostileOffer("C:\\x") << badPath;
    QTest::newRow("a/../../x in a folder")
        << folder(QStringLiteral("a"), 1, 0) + pathFrame(Type::Offer, zeros16, "a/../../x") << badPath;
    QTest::newRow("directory a//b") << folder(QStringLiteral("a"), 1, 0) + pathFrame(Type::Directory, {}, "a//b")
                                    << badPath;
    QTest::newRow("not UTF-8") << hostileOffer("\xC0\xAF") << badPath;
    QTest::newRow("control character") << hostileOffer("a\nb") << badPath;
    QTest::newRow("4096-byte path") << hostileOffer(QByteArray(4096, 'x')) << int(ExtSink::Error::BadLength);
    QTest::newRow("256-byte component") << hostileOffer(QByteArray(256, 'x')) << badPath;
    QTest::newRow("path outside the folder")
        << folder(QStringLiteral("a"), 1, 0) + pathFrame(Type::Offer, zeros16, "b/x") << int(ExtSink::Error::OutOfOrder);
    QTest::newRow("10^6 entries announced")
        << pathFrame(Type::Folder, QByteArray::fromHex("000f4240") + QByteArray(8, '\0'), "a")
        << int(ExtSink::Error::TooManyEntries);
    QTest::newRow("more entries than announced")
        << folder(QStringLiteral("a"), 1, 0) + directory(QStringLiteral("a/b")) + directory(QStringLiteral("a/c"))
        << int(ExtSink::Error::TooManyEntries);
    QTest::newRow("unknown type") << QByteArray::fromHex("7f00000000") << int(ExtSink::Error::UnknownType);
    QTest::newRow("4 GiB text announced") << QByteArray::fromHex("04ffffffff") << int(ExtSink::Error::BadLength);
    QTest::newRow("data without a file") << data("x", 1) << int(ExtSink::Error::OutOfOrder);
    QTest::newRow("data beyond the size")
        << offer(QStringLiteral("a"), 1, 0) + start(0) + data("xy", 2) << int(ExtSink::Error::SizeDiffers);
    QTest::newRow("end short of the size")
        << offer(QStringLiteral("a"), 2, 0) + start(0) + data("x", 1) + end(digestA) << int(ExtSink::Error::SizeDiffers);
    QTest::newRow("start beyond the size") << offer(QStringLiteral("a"), 2, 0) + start(3) << int(ExtSink::Error::OutOfOrder);
    QTest::newRow("offer inside a file")
        << offer(QStringLiteral("a"), 2, 0) + start(0) + offer(QStringLiteral("b"), 2, 0) << int(ExtSink::Error::OutOfOrder);
}

// A peer is a stranger: a bad frame ends the stream's transfer as failed, no path it names
// reaches the sink, and nothing after the failure is taken.
void tst_ExtFraming::malformedStreamsFailWithoutAPath()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, error);

    const QByteArray after = offer(QStringLiteral("later"), 0, 0) + text("later");
    for (int cut = 0; cut <= stream.size(); cut += qMax(1, stream.size() / 64)) {
        const QStringList log = parsed({stream.left(cut), stream.mid(cut) + after});
        QCOMPARE(log.last(), QStringLiteral("failed %1").arg(error));
        QCOMPARE(log.filter(QStringLiteral("failed")).size(), 1);
        QVERIFY2(log.filter(QRegularExpression(QStringLiteral("\\.\\.|etc|C:|later|b/x|//|xxx"))).isEmpty(),
                 qPrintable(log.join(QLatin1Char('|'))));
    }
}

// Peers on other processors must agree: whichever loop this one runs, the digest is the
// standard one, however the bytes are cut. The values come from the scalar reference, and so
// does the answer to a held prefix keyed with the nonces 1 and 0x0102030405060708.
void tst_ExtFraming::digestIsXxh3Of128Bits_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("piece");
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<QByteArray>("keyedHex"); // empty: not asked
    const int large = 3 * 1024 * 1024 + 7;
    QTest::newRow("empty") << 0 << 1 << QByteArray("99aa06d3014798d86001c324468d497f") << QByteArray();
    QTest::newRow("short") << 5 << 5 << QByteArray("2fbb16712b4bf1d5752a86982353f4f3")
                           << QByteArray("02e5f59a72be95bf05a91390dc8aedcf");
    QTest::newRow("longest of the short forms") << 240 << 240 << QByteArray("de57aab31e77a2ff93e173833f75ab66") << QByteArray();
    QTest::newRow("one block and a byte, in pieces of 7") << 1025 << 7 << QByteArray("70a4eb1b9691d77fc09fdfbc398c7d82") << QByteArray();
    QTest::newRow("3 MiB, whole") << large << large << QByteArray("a512d49043596a353103369afb56eb87") << QByteArray();
    QTest::newRow("3 MiB, in uneven pieces") << large << 65537 << QByteArray("a512d49043596a353103369afb56eb87") << QByteArray();
}

void tst_ExtFraming::digestIsXxh3Of128Bits()
{
    QFETCH(int, size);
    QFETCH(int, piece);
    QFETCH(QByteArray, hex);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(quint8(i * 31 + 7));
    FileDigest digest;
    for (int at = 0; at < size; at += piece)
        digest.add(bytes.constData() + at, qMin(piece, size - at));
    QCOMPARE(digest.result().toHex(), hex);
    QFETCH(QByteArray, keyedHex);
    if (!keyedHex.isEmpty())
        QCOMPARE(FileDigest::keyed({1, 0x0102030405060708}, digest.result()).toHex(), keyedHex);
}

QTEST_APPLESS_MAIN(tst_ExtFraming)
#include "tst_extframing.moc"
