// Arbitrary bytes, cut at arbitrary points, into the stream parser, with files written into a
// temporary receive directory by the engine's own file code.
//
// Input: 4 bytes that seed the cuts and timeouts, then the stream. Checked on every input:
// - the same files (names, bytes, how they ended) and the same text bytes come out of the
//   stream fed whole and fed in pieces, with timeouts at the same stream offsets;
// - held bytes never exceed their bound;
// - every file lands directly in the receive directory, and nothing else appears there;
// - a name holds its last finished file: an unfinished one never replaces it.

#include "transfer/receivefile.h"
#include "transfer/streamparser.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_streamparser: %s\n", what);
        std::abort();
    }
}

struct Rng {
    uint32_t state;
    uint32_t next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

struct FileRecord {
    QString name;
    QByteArray data;
    int end = 0; // 0 open, 1 finished, 2 timed out, 3 failed
    bool operator==(const FileRecord &o) const { return name == o.name && data == o.data && end == o.end; }
};

class FileSink : public StreamSink {
public:
    explicit FileSink(const QString &dir) : dir(dir), canonicalDir(QFileInfo(dir).canonicalFilePath()) {}

    std::vector<FileRecord> files;
    QByteArray textBytes;

    void text(const QByteArray &bytes) override { textBytes += bytes; }

    bool fileOpened(const QString &name, std::optional<quint64>) override
    {
        if (!file.open(dir, name))
            return false;
        // The name it will have once whole; until then the bytes are in a file beside it.
        const QFileInfo info(file.fileName());
        check(QFileInfo(info.absolutePath()).canonicalFilePath() == canonicalDir,
              "file opened outside the receive directory");
        files.push_back(FileRecord{name, {}, 0});
        return true;
    }

    bool fileData(const char *data, qsizetype size) override
    {
        files.back().data.append(data, int(size));
        if (!file.write(data, size)) {
            file.abandon();
            files.back().end = 3;
            return false;
        }
        return true;
    }

    void fileFinished(quint64) override { close(1); }
    void fileTimedOut(quint64) override { close(2); }

private:
    // As the engine does: a finished file goes under its name, a timed-out one stays partial.
    void close(int end)
    {
        const bool stored = end == 1 ? file.finish() : file.abandon();
        files.back().end = stored ? end : 3;
    }

    QString dir;
    QString canonicalDir;
    ReceiveFile file;
};

// Parses stream with timeouts at the given offsets; maxPiece 0 feeds each stretch whole.
void parse(StreamParser &parser, const QByteArray &stream, const std::vector<int> &timeouts, Rng rng,
           uint32_t maxPiece)
{
    int pos = 0;
    for (size_t t = 0; t <= timeouts.size(); ++t) {
        const int end = t < timeouts.size() ? timeouts[t] : stream.size();
        while (pos < end) {
            const int n = maxPiece == 0 ? end - pos : qMin(end - pos, int(1 + rng.next() % maxPiece));
            parser.feed(stream.mid(pos, n));
            check(parser.heldBytes() <= StreamParser::maxHeld, "held bytes beyond their bound");
            pos += n;
        }
        parser.timeout();
        check(!parser.pending(), "bytes still held after a timeout");
    }
}

// Empties dir, checking that it holds only plain files.
void sweep(const QString &dir)
{
    QDir d(dir);
    const QFileInfoList entries = d.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        check(entry.isFile() && !entry.isSymLink(), "something other than a plain file appeared");
        QFile::remove(entry.filePath());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir root;
    static const QString wholeDir = root.filePath(QStringLiteral("whole"));
    static const QString cutDir = root.filePath(QStringLiteral("cut"));
    static const bool made = QDir().mkpath(wholeDir) && QDir().mkpath(cutDir);
    check(root.isValid() && made, "no temporary directory");

    if (size < 4)
        return 0;
    const uint32_t seed = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
    const QByteArray stream(reinterpret_cast<const char *>(data + 4), int(size - 4));
    Rng rng{seed | 1};

    std::vector<int> timeouts;
    for (uint32_t n = rng.next() % 3; n > 0 && !stream.isEmpty(); --n)
        timeouts.push_back(int(rng.next() % uint32_t(stream.size())));
    std::sort(timeouts.begin(), timeouts.end());
    const uint32_t maxPiece = (seed >> 8) & 1 ? 1 + (seed >> 9) % 32 : 1 + (seed >> 9) % 20000;

    FileSink whole(wholeDir);
    {
        StreamParser parser(whole);
        parse(parser, stream, timeouts, rng, 0);
    }
    FileSink cut(cutDir);
    {
        StreamParser parser(cut);
        parse(parser, stream, timeouts, rng, maxPiece);
    }
    check(cut.files == whole.files, "the cut stream gave other files");
    check(cut.textBytes == whole.textBytes, "the cut stream gave other text");

    // The last complete file of each name is what the directory holds, whatever came later.
    for (auto it = cut.files.rbegin(); it != cut.files.rend(); ++it) {
        if (it->end != 1)
            continue;
        // Joined by hand: QDir takes a name that begins with ':' for a resource path.
        QFile file(cutDir + QLatin1Char('/') + it->name);
        check(file.open(QIODevice::ReadOnly), "a finished file is missing");
        const QByteArray content = file.readAll();
        bool later = false;
        for (auto newer = cut.files.rbegin(); newer != it; ++newer)
            later = later || (newer->name == it->name && newer->end == 1);
        check(later || content == it->data, "a finished file holds other bytes");
    }
    sweep(wholeDir);
    sweep(cutDir);
    return 0;
}
