#include "transfer/streamparser.h"

#include "transfer/wireformat.h"

#include <QByteArrayMatcher>
#include <QStringList>

#include <cstring>

namespace {

qsizetype find(const QByteArrayMatcher &matcher, const QByteArray &buf, qsizetype from, qsizetype end)
{
    return matcher.indexIn(buf.constData(), int(end), int(from));
}

const QByteArrayMatcher &startMatcher()
{
    static const QByteArrayMatcher m(wire::startMarker);
    return m;
}
const QByteArrayMatcher &sizeMatcher()
{
    static const QByteArrayMatcher m(wire::sizeMarker);
    return m;
}
const QByteArrayMatcher &sizeEndMatcher()
{
    static const QByteArrayMatcher m(wire::sizeEndMarker);
    return m;
}
const QByteArrayMatcher &endMatcher()
{
    static const QByteArrayMatcher m(wire::endMarker);
    return m;
}

// Length of the longest tail of buf[pos, end) that is a proper beginning of marker: bytes that
// the next piece may complete into the marker.
qsizetype partialTail(const QByteArray &buf, qsizetype pos, const QByteArray &marker)
{
    const qsizetype avail = buf.size() - pos;
    for (qsizetype n = qMin<qsizetype>(avail, marker.size() - 1); n > 0; --n) {
        if (std::memcmp(buf.constData() + buf.size() - n, marker.constData(), size_t(n)) == 0)
            return n;
    }
    return 0;
}

} // namespace

void StreamParser::feed(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    if (state == State::Data && remaining > 0 && !held.isEmpty() && bytes.size() >= wire::endMarker.size()) {
        // Enough came to be the new tail: the bytes kept back were file data after all.
        const QByteArray kept = held;
        held.clear();
        remaining -= quint64(kept.size());
        writeData(kept.constData(), kept.size());
        run(bytes, false);
        return;
    }
    // Without held bytes the piece is parsed in place, which keeps the data path copy-free.
    const QByteArray buf = held.isEmpty() ? bytes : held + bytes;
    held.clear();
    run(buf, false);
}

void StreamParser::timeout()
{
    const QByteArray buf = held;
    held.clear();
    if (state == State::Data) {
        // A sender whose file came up short ends it with the end marker early; when that is
        // the last thing that came, the transfer ended where the sender ended it.
        if (remaining > 0 && buf == wire::endMarker) {
            streamBytes += quint64(buf.size());
            endTransfer(true);
            return;
        }
        // Otherwise what was held back is file data.
        if (!buf.isEmpty())
            writeData(buf.constData(), buf.size());
        endTransfer(false);
        return;
    }
    run(buf, true);
}

void StreamParser::run(const QByteArray &buf, bool flushing)
{
    qsizetype pos = 0;
    while (pos < buf.size()) {
        qsizetype used = Hold;
        switch (state) {
        case State::Idle: used = idle(buf, pos, flushing); break;
        case State::Header: used = header(buf, pos, flushing); break;
        case State::Data: used = data(buf, pos); break;
        }
        if (used == Hold) {
            held = buf.mid(int(pos));
            return;
        }
        scanned = 0;
        sizeAt = -1;
        pos += used;
    }
}

// Where to resume a search for marker in held bytes already examined up to scanned.
qsizetype StreamParser::resume(qsizetype pos, qsizetype from, const QByteArray &marker) const
{
    return pos + qMax(from, scanned - marker.size() + 1);
}

qsizetype StreamParser::idle(const QByteArray &buf, qsizetype pos, bool flushing)
{
    const qsizetype s = find(startMatcher(), buf, resume(pos, 0, wire::startMarker), buf.size());
    if (s >= 0) {
        emitText(buf, pos, s - pos);
        state = State::Header;
        return s - pos;
    }
    const qsizetype rest = buf.size() - pos;
    const qsizetype tail = flushing ? 0 : partialTail(buf, pos, wire::startMarker);
    if (tail == 0) {
        emitText(buf, pos, rest);
        return rest;
    }
    // Keep a short text whole rather than showing it in two parts.
    if (rest <= maxHeldText) {
        scanned = rest;
        return Hold;
    }
    emitText(buf, pos, rest - tail);
    return rest - tail;
}

// buf[pos] begins with a start marker.
qsizetype StreamParser::header(const QByteArray &buf, qsizetype pos, bool flushing)
{
    const qsizetype avail = buf.size() - pos;
    const qsizetype window = pos + qMin(avail, maxHeader);
    const qsizetype start = wire::startMarker.size();
    const qsizetype z = sizeAt >= 0 ? pos + sizeAt
                                    : find(sizeMatcher(), buf, resume(pos, start, wire::sizeMarker), window);
    const qsizetype k = z < 0 ? -1
                              : find(sizeEndMatcher(), buf,
                                     qMax(z + wire::sizeMarker.size(), resume(pos, 0, wire::sizeEndMarker)), window);
    const qsizetype again = find(startMatcher(), buf, resume(pos, 1, wire::startMarker), window);
    if (again >= 0 && (k < 0 || again < k)) {
        // A new start marker before this header was complete: what came before it was text.
        emitText(buf, pos, again - pos);
        state = State::Idle;
        return again - pos;
    }
    if (k >= 0) {
        const qsizetype nameBegin = pos + start;
        const qsizetype sizeBegin = z + wire::sizeMarker.size();
        const qsizetype headerSize = k + wire::sizeEndMarker.size() - pos;
        openTransfer(buf.mid(int(nameBegin), int(z - nameBegin)), buf.mid(int(sizeBegin), int(k - sizeBegin)),
                     headerSize);
        return headerSize;
    }
    if (avail >= maxHeader || flushing)
        return giveUpHeader(buf, pos, flushing);
    scanned = avail;
    sizeAt = z < 0 ? -1 : z - pos;
    return Hold;
}

qsizetype StreamParser::giveUpHeader(const QByteArray &buf, qsizetype pos, bool flushing)
{
    state = State::Idle;
    const qsizetype again = find(startMatcher(), buf, pos + 1, buf.size());
    if (again >= 0) {
        emitText(buf, pos, again - pos);
        return again - pos;
    }
    const qsizetype rest = buf.size() - pos;
    const qsizetype tail = flushing ? 0 : partialTail(buf, pos, wire::startMarker);
    emitText(buf, pos, rest - tail);
    return rest - tail;
}

qsizetype StreamParser::data(const QByteArray &buf, qsizetype pos)
{
    const qsizetype avail = buf.size() - pos;
    if (remaining > 0) {
        // Short of the declared size, the last bytes wait for what follows them: they may be
        // an end marker that a sender wrote early (see timeout()).
        const qsizetype n = quint64(avail) >= remaining ? qsizetype(remaining)
                                                         : avail - qMin(avail, qsizetype(wire::endMarker.size()));
        if (n == 0)
            return Hold;
        remaining -= quint64(n);
        writeData(buf.constData() + pos, n);
        return n;
    }
    const qsizetype e = find(endMatcher(), buf, pos, buf.size());
    if (e >= 0) {
        writeData(buf.constData() + pos, e - pos);
        streamBytes += quint64(wire::endMarker.size());
        endTransfer(true);
        return e - pos + wire::endMarker.size();
    }
    const qsizetype n = avail - partialTail(buf, pos, wire::endMarker);
    if (n == 0)
        return Hold;
    writeData(buf.constData() + pos, n);
    return n;
}

void StreamParser::openTransfer(const QByteArray &name, const QByteArray &sizeText, qsizetype headerSize)
{
    const std::optional<quint64> size = parseSize(sizeText);
    state = State::Data;
    remaining = size.value_or(0);
    streamBytes = quint64(headerSize);
    discarding = !sink.fileOpened(receiveName(name), size);
}

void StreamParser::writeData(const char *bytes, qsizetype size)
{
    streamBytes += quint64(size);
    if (size > 0 && !discarding)
        discarding = !sink.fileData(bytes, size);
}

void StreamParser::emitText(const QByteArray &buf, qsizetype pos, qsizetype size)
{
    if (size > 0)
        sink.text(pos == 0 && size == buf.size() ? buf : buf.mid(int(pos), int(size)));
}

void StreamParser::endTransfer(bool finished)
{
    const bool report = !discarding;
    state = State::Idle;
    discarding = false;
    remaining = 0;
    if (!report)
        return;
    if (finished)
        sink.fileFinished(streamBytes);
    else
        sink.fileTimedOut(streamBytes);
}

QString StreamParser::receiveName(const QByteArray &rawName)
{
    const int zero = rawName.indexOf('\0');
    const QString decoded = QString::fromUtf8(zero < 0 ? rawName : rawName.left(zero));
    const int cut = qMax(decoded.lastIndexOf(QLatin1Char('/')), decoded.lastIndexOf(QLatin1Char('\\')));
    const QString name = decoded.mid(cut + 1);
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QString();
    return name;
}

std::optional<quint64> StreamParser::parseSize(const QByteArray &sizeText)
{
    if (sizeText.isEmpty() || sizeText.size() > 20)
        return std::nullopt;
    quint64 value = 0;
    for (const char c : sizeText) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const quint64 digit = quint64(c - '0');
        if (value > (~quint64(0) - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

bool isWindowsReservedName(const QString &name)
{
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return true;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || QStringLiteral("<>:\"|?*").contains(c))
            return true;
    }
    // Device names stay devices whatever extension follows them.
    const QString stem = name.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QStringList devices = {QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                        QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (devices.contains(stem))
        return true;
    if (stem.size() == 4 && (stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT"))))
        return stem.at(3) >= QLatin1Char('1') && stem.at(3) <= QLatin1Char('9');
    return false;
}
