#ifndef LUMO_TRANSFER_STREAMPARSER_H
#define LUMO_TRANSFER_STREAMPARSER_H

#include <QByteArray>
#include <QString>

#include <optional>

// Where a StreamParser sends what it recognises. Called synchronously from feed() and
// timeout(), in stream order.
class StreamSink {
public:
    virtual ~StreamSink() = default;
    // Bytes outside any transfer.
    virtual void text(const QByteArray &bytes) = 0;
    // A complete header. name is the receive name (empty when it is unusable); declaredSize
    // is empty when the size text is not a valid number. Return false when no file could be
    // opened: the rest of the transfer is then consumed silently.
    virtual bool fileOpened(const QString &name, std::optional<quint64> declaredSize) = 0;
    // File bytes, valid only during the call. Return false when they could not be stored:
    // the rest of the transfer is then consumed silently.
    virtual bool fileData(const char *data, qsizetype size) = 0;
    // The end marker closed the transfer; streamBytes counts it from its start marker to
    // the end of its end marker.
    virtual void fileFinished(quint64 streamBytes) = 0;
    // The transfer ended without its end marker (timeout or end of stream).
    virtual void fileTimedOut(quint64 streamBytes) = 0;
};

// Turns the bytes of one connection into texts and files, however they are cut into pieces:
// the files found are the same for every cut of the same stream. Bytes that may still turn
// out to be part of a marker or a header are held back until more bytes, timeout() or the
// end of the stream decide; they never exceed maxHeld.
//
// A header counts only when its size-end marker ends within maxHeader bytes of its start
// marker; a start marker inside an unfinished header restarts it. A valid size text makes
// exactly that many bytes file data, whatever they contain; after them (or throughout, when
// the size text is invalid) the first end marker ends the file. When the stream pauses or
// ends short of the declared size right after an end marker, that marker ends the file: a
// sender whose file shrank or failed to read mid-way ends it so.
class StreamParser {
public:
    explicit StreamParser(StreamSink &sink) : sink(sink) {}

    void feed(const QByteArray &bytes);
    // No more bytes for now: held bytes are decided as they stand and an open transfer ends
    // as timed out. The end of the stream is handled the same way.
    void timeout();

    // True while something waits for more bytes or for timeout().
    bool pending() const { return state != State::Idle || !held.isEmpty(); }
    bool inTransfer() const { return state == State::Data; }
    // Outside any transfer, holding back text whose tail may begin a start marker.
    bool holdsTextTail() const { return state == State::Idle && !held.isEmpty(); }
    // In a transfer whose bytes are being stored (not consumed after a failure).
    bool storing() const { return state == State::Data && !discarding; }
    qsizetype heldBytes() const { return held.size(); }

    // The part of a received name after its last '/' or '\', decoded from UTF-8 up to its
    // first zero byte; empty when that leaves "", "." or "..".
    static QString receiveName(const QByteArray &rawName);
    // 1 to 20 ASCII digits that fit in 64 bits, or nothing.
    static std::optional<quint64> parseSize(const QByteArray &sizeText);

    static constexpr qsizetype maxHeader = 64 * 1024;
    // Text whose tail may begin a start marker is held whole up to this size.
    static constexpr qsizetype maxHeldText = 64 * 1024;
    static constexpr qsizetype maxHeld = maxHeader > maxHeldText ? maxHeader : maxHeldText;

private:
    enum class State { Idle, Header, Data };
    static constexpr qsizetype Hold = -1;

    void run(const QByteArray &buf, bool flushing);
    qsizetype resume(qsizetype pos, qsizetype from, const QByteArray &marker) const;
    qsizetype idle(const QByteArray &buf, qsizetype pos, bool flushing);
    qsizetype header(const QByteArray &buf, qsizetype pos, bool flushing);
    qsizetype data(const QByteArray &buf, qsizetype pos);
    qsizetype giveUpHeader(const QByteArray &buf, qsizetype pos, bool flushing);
    void openTransfer(const QByteArray &name, const QByteArray &sizeText, qsizetype headerSize);
    void writeData(const char *bytes, qsizetype size);
    void emitText(const QByteArray &buf, qsizetype pos, qsizetype size);
    void endTransfer(bool finished);

    StreamSink &sink;
    State state = State::Idle;
    QByteArray held;
    // Held bytes already searched, so that a header or text arriving in tiny pieces is not
    // searched again from its beginning each time; and the size marker's offset once found.
    qsizetype scanned = 0;
    qsizetype sizeAt = -1;
    // Data state only.
    bool discarding = false;
    quint64 remaining = 0; // declared bytes still to come before the end marker is looked for
    quint64 streamBytes = 0;
};

// Names that Windows maps to devices or refuses (reserved device names, characters it does
// not allow, a trailing dot or space). Checked by the engine on Windows only.
bool isWindowsReservedName(const QString &name);

#endif
