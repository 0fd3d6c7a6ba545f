// Arbitrary bytes, cut at arbitrary points, into the parser of an upgraded connection.
//
// Input: 4 bytes that seed the cuts, then the stream. Checked on every input:
// - the same events come out of the stream fed whole and fed in pieces (data joined);
// - held bytes never exceed the largest frame that is not data;
// - every path that reaches the sink is relative, clean and free of "..", and passes the
//   path rules again; nothing comes after a failure, and at most one failure.

#include "transfer/extframing.h"

#include <QDir>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_extframing: %s\n", what);
        std::abort();
    }
}

void checkPath(const QString &path)
{
    check(!path.startsWith(QLatin1Char('/')) && QDir::cleanPath(path) == path, "a path not relative and clean");
    check(!path.split(QLatin1Char('/')).contains(QStringLiteral("..")), "a path with ..");
    check(extwire::checkedPath(path.toUtf8()).has_value(), "a path that fails its own rules");
}

class Log : public ExtSink {
public:
    QList<QByteArray> events;
    bool failedOnce = false;

    void text(const QByteArray &utf8) override { add("t", utf8); }
    void offer(const QString &path, quint64 size, qint64 mtimeMs) override
    {
        checkPath(path);
        add("o", path.toUtf8() + ' ' + QByteArray::number(size) + ' ' + QByteArray::number(mtimeMs));
    }
    void start(quint64 offset) override { add("s", QByteArray::number(offset)); }
    void data(const char *bytes, qsizetype size) override
    {
        if (!events.isEmpty() && events.last().startsWith('d'))
            events.last().append(bytes, int(size));
        else
            add("d", QByteArray(bytes, int(size)));
    }
    void fileEnd(const QByteArray &digest) override { add("e", digest); }
    void folder(const QString &path, quint32 entries, quint64 bytes) override
    {
        checkPath(path);
        check(entries <= extwire::maxEntries, "a folder of too many entries");
        add("f", path.toUtf8() + ' ' + QByteArray::number(entries) + ' ' + QByteArray::number(bytes));
    }
    void directory(const QString &path) override
    {
        checkPath(path);
        add("D", path.toUtf8());
    }
    void folderEnd() override { add("F", {}); }
    void aborted(extwire::AbortReason reason) override { add("a", QByteArray::number(int(reason))); }
    void accepted(quint64 offset, const QByteArray &digest) override { add("A", QByteArray::number(offset) + digest); }
    void refused(extwire::RefuseReason reason) override { add("R", QByteArray::number(int(reason))); }
    void result(extwire::ResultStatus status) override { add("r", QByteArray::number(int(status))); }
    void failed(Error error) override
    {
        add("x", QByteArray::number(int(error)));
        failedOnce = true;
    }

private:
    void add(const char *kind, const QByteArray &what)
    {
        check(!failedOnce, "an event after a failure");
        events.append(kind + what);
    }
};

constexpr qsizetype maxHeld = extwire::frameHeaderSize + extwire::maxTextBytes;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    uint32_t rng = (uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24) | 1;
    const char *stream = reinterpret_cast<const char *>(data + 4);
    const qsizetype n = qsizetype(size - 4);
    const uint32_t maxPiece = 1 + (rng >> 8) % ((rng & 2) ? 16 : 70000);

    Log whole;
    {
        ExtParser parser(whole);
        parser.feed(stream, n);
        parser.finish();
    }
    Log cut;
    {
        ExtParser parser(cut);
        for (qsizetype pos = 0; pos < n;) {
            rng ^= rng << 13;
            rng ^= rng >> 17;
            rng ^= rng << 5;
            const qsizetype piece = qMin<qsizetype>(n - pos, 1 + rng % maxPiece);
            parser.feed(stream + pos, piece);
            check(parser.heldBytes() <= maxHeld, "held bytes beyond their bound");
            pos += piece;
        }
        parser.finish();
    }
    check(cut.events == whole.events, "the cut stream gave other events");
    return 0;
}
