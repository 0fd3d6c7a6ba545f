#ifndef LUMO_TRANSFER_EXTFRAMING_H
#define LUMO_TRANSFER_EXTFRAMING_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

// The framing two instances of this program switch a direction of their connection to, once
// its upgrade frame has proved that the TCP peer took part in the capability exchange.
// docs/protocol.md draws it byte by byte. The upgrade frame, found in the original framing:
//
//   00 "LUMOEXT"  feature (4)  reply (1, 0 or 1)  count (1, 1 to 4)  nonces (8 each)
//
// and after it every byte of that direction is a frame:
//
//   type (1)  payload length (4)  payload
//
// all numbers big-endian. Files go as offer, (answer), start, data..., end, (result); a folder
// as folder, its directories and files, end of folder. Paths are relative UTF-8 with '/'.
namespace extwire {

// Feature bits of the capability exchange. Proof: the upgrade frame proves the exchange on
// TCP, and the original framing goes on unpaced after it. Framing1: the frames below, digest
// XXH3-128, after the upgrade frame. Framing2: the same frames, and a receiver that drops a
// refused offer's start, data and end quietly, so that small files may follow their offers
// without waiting for the answer.
constexpr quint32 featureProof = 0x1;
constexpr quint32 featureFraming1 = 0x2;
constexpr quint32 featureFraming2 = 0x4;
constexpr quint32 knownFeatures = featureProof | featureFraming1 | featureFraming2;
constexpr bool isFraming(quint32 feature) { return feature == featureFraming1 || feature == featureFraming2; }

inline const QByteArray upgradeMagic = QByteArrayLiteral("\0LUMOEXT");
constexpr int upgradeBaseSize = 14;
constexpr int maxUpgradeNonces = 4;
constexpr int frameHeaderSize = 5;
constexpr int digestSize = 16;

enum class Type : quint8 {
    Offer = 0x01,
    Data = 0x02,
    End = 0x03,
    Text = 0x04,
    Folder = 0x05,
    Directory = 0x06,
    FolderEnd = 0x07,
    Abort = 0x08,
    Start = 0x09,
    Accept = 0x11,
    Refuse = 0x12,
    Result = 0x13,
};

enum class AbortReason : quint8 { Stopped = 1, ReadFailed = 2, Closing = 3 };
enum class RefuseReason : quint8 { PathRefused = 1, CannotCreate = 2, NoSpace = 3, Busy = 4 };
enum class ResultStatus : quint8 { Stored = 0, DigestMismatch = 1, WriteFailed = 2, SizeDiffers = 3 };

constexpr int maxPathBytes = 1024;
constexpr int maxComponentBytes = 255;
constexpr int maxDataBytes = 1024 * 1024;
constexpr int maxTextBytes = 64 * 1024;
constexpr quint32 maxEntries = 100000;

struct Upgrade {
    quint32 feature = 0;
    // Written on the peer's valid frame: the writer's direction switches right after it.
    bool reply = false;
    QVector<quint64> nonces;
};

QByteArray encodeUpgrade(quint32 feature, bool reply, const QVector<quint64> &nonces);
enum class Scan { NeedMore, No, Yes };
// The feature an upgrade frame chooses among those both ends set: the highest.
quint32 chosenFeature(quint32 common);
// Whether bytes begin with a well-formed upgrade frame (NeedMore while they are a beginning
// of one); on Yes, *upgrade and *used describe it.
Scan scanUpgrade(const char *data, qsizetype size, Upgrade *upgrade, qsizetype *used);

QByteArray offer(const QString &path, quint64 size, qint64 mtimeMs);
QByteArray data(const char *bytes, qsizetype size);
QByteArray end(const QByteArray &digest);
QByteArray text(const QByteArray &utf8);
QByteArray folder(const QString &path, quint32 entries, quint64 bytes);
QByteArray directory(const QString &path);
QByteArray folderEnd();
QByteArray abort(AbortReason reason);
// The five bytes before a data frame's payload, for a sender that writes the payload itself
// rather than copy it into the frame.
QByteArray dataHeader(qsizetype size);
QByteArray start(quint64 offset);
QByteArray accept(quint64 offset, const QByteArray &digest);
QByteArray refuse(RefuseReason reason);
QByteArray result(ResultStatus status);

// A received path's components, or nothing when any rule fails: clean UTF-8, at most
// maxPathBytes, components of 1 to maxComponentBytes bytes between single '/', none "." or
// "..", no '\', ':' or control character. Keeps every name it accepts inside the receive
// directory as far as text can; links and devices are for the one who creates the files.
std::optional<QStringList> checkedPath(const QByteArray &utf8);

} // namespace extwire

// Where an ExtParser sends what it recognises, synchronously and in stream order.
class ExtSink {
public:
    enum class Error { UnknownType, BadLength, BadPath, OutOfOrder, TooManyEntries, SizeDiffers, Cut };

    virtual ~ExtSink() = default;
    virtual void text(const QByteArray &utf8) = 0;
    virtual void offer(const QString &path, quint64 size, qint64 mtimeMs) = 0;
    virtual void start(quint64 offset) = 0;
    // Valid only during the call; a frame's bytes may come in several calls.
    virtual void data(const char *bytes, qsizetype size) = 0;
    // Every byte from the start offset to the offered size has come.
    virtual void fileEnd(const QByteArray &digest) = 0;
    virtual void folder(const QString &path, quint32 entries, quint64 bytes) = 0;
    virtual void directory(const QString &path) = 0;
    virtual void folderEnd() = 0;
    virtual void aborted(extwire::AbortReason reason) = 0;
    // The peer's answers about files this end sends.
    virtual void accepted(quint64 offset, const QByteArray &digest) = 0;
    virtual void refused(extwire::RefuseReason reason) = 0;
    virtual void result(extwire::ResultStatus status) = 0;
    // Malformed or cut: the parser takes nothing more after it.
    virtual void failed(Error error) = 0;
};

// Parses one direction of an upgraded connection, however it is cut into pieces: the events
// are the same for every cut, but for data split differently. Holds at most one frame that is
// not data (bounded by maxTextBytes); data passes through. Checks every length, path and the
// order of a file's and a folder's frames; an offer outside a folder names a single component,
// and every path inside one begins with the folder's name.
class ExtParser {
public:
    explicit ExtParser(ExtSink &sink) : sink(sink) {}

    void feed(const char *bytes, qsizetype size);
    void feed(const QByteArray &bytes) { feed(bytes.constData(), bytes.size()); }
    // The stream ended or went silent for good: a frame, file or folder left open fails as cut.
    void finish();

    bool broken() const { return isBroken; }
    bool inFile() const { return file != File::None; }
    bool inFolder() const { return folderPath.has_value(); }
    qsizetype heldBytes() const { return held.size(); }
    // Bytes taken so far, and where the frame last begun (or being handled) starts.
    quint64 taken() const { return takenBytes; }
    quint64 frameStart() const { return frameAt; }

private:
    enum class File { None, Offered, Receiving };

    qsizetype takeHeader(const char *bytes, qsizetype size);
    bool beginFrame();
    void handleFrame();
    void handleOffer(const char *p, qsizetype size);
    void handleFolder(const char *p, qsizetype size);
    void handleDirectory(const char *p, qsizetype size);
    void handleEnd(const char *p);
    std::optional<QString> path(const char *p, qsizetype size, bool directory);
    bool countEntry();
    void fail(ExtSink::Error error);

    ExtSink &sink;
    QByteArray held; // the header and payload of the frame in progress, but for data
    extwire::Type type = extwire::Type::Text;
    quint32 length = 0;
    quint32 dataLeft = 0; // of the data frame in progress
    File file = File::None;
    quint64 fileSize = 0;
    quint64 fileLeft = 0;
    std::optional<QString> folderPath;
    quint32 entriesLeft = 0;
    bool isBroken = false;
    quint64 takenBytes = 0;
    quint64 frameAt = 0;
};

#endif
