#include "transfer/peerdatagram.h"

#include <QVector>
#include <QtEndian>

#include <cstring>

namespace peerwire {

namespace {

constexpr char magic[4] = {'L', 'U', 'M', 'O'};
constexpr int maxVersionBytes = 32;

quint64 read64(const char *p) { return qFromBigEndian<quint64>(p); }
quint32 read32(const char *p) { return qFromBigEndian<quint32>(p); }
quint16 read16(const char *p) { return qFromBigEndian<quint16>(p); }

void put64(QByteArray &out, quint64 v)
{
    char b[8];
    qToBigEndian(v, b);
    out.append(b, 8);
}

void put32(QByteArray &out, quint32 v)
{
    char b[4];
    qToBigEndian(v, b);
    out.append(b, 4);
}

void put16(QByteArray &out, quint16 v)
{
    char b[2];
    qToBigEndian(v, b);
    out.append(b, 2);
}

bool allZero(const char *p, qsizetype n)
{
    for (qsizetype i = 0; i < n; ++i) {
        if (p[i] != 0)
            return false;
    }
    return true;
}

// Clean UTF-8 (it survives a round trip) without control characters (C0, DEL, C1).
std::optional<QString> text(const char *p, int n)
{
    const QByteArray bytes(p, n);
    const QString s = QString::fromUtf8(bytes);
    if (s.toUtf8() != bytes)
        return std::nullopt;
    for (const QChar c : s) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f))
            return std::nullopt;
    }
    return s;
}

// The longest beginning of s whose UTF-8 takes at most max bytes.
QByteArray fitted(const QString &s, int max)
{
    QString cut = s;
    QByteArray bytes = cut.toUtf8();
    while (bytes.size() > max) {
        cut.chop(cut.size() > 1 && cut.at(cut.size() - 1).isLowSurrogate() ? 2 : 1);
        bytes = cut.toUtf8();
    }
    return bytes;
}

std::optional<Datagram> discoverAnswer(Datagram d, const char *p, qsizetype size)
{
    if (size > maxDiscoverAnswerSize || size < headerSize + 3)
        return std::nullopt;
    const char *end = p + size;
    p += headerSize;
    d.role = quint8(*p++);
    const int versionLength = quint8(*p++);
    if (versionLength > maxVersionBytes || end - p < versionLength + 1)
        return std::nullopt;
    const auto programVersion = text(p, versionLength);
    p += versionLength;
    const int nameLength = quint8(*p++);
    if (end - p != nameLength)
        return std::nullopt;
    const auto hostName = text(p, nameLength);
    if (!programVersion || !hostName)
        return std::nullopt;
    d.programVersion = *programVersion;
    d.hostName = *hostName;
    return d;
}

} // namespace

std::optional<Datagram> parse(const char *data, qsizetype size)
{
    if (size < headerSize || std::memcmp(data, magic, 4) != 0 || quint8(data[4]) != version
        || data[6] != 0 || data[7] != 0)
        return std::nullopt;
    Datagram d;
    d.kind = Kind(quint8(data[5]));
    d.sender = read64(data + 8);
    if (d.sender == 0)
        return std::nullopt;
    const char *body = data + headerSize;
    switch (d.kind) {
    case Kind::DiscoverProbe:
        if (size != discoverProbeSize || !allZero(body, size - headerSize))
            return std::nullopt;
        return d;
    case Kind::DiscoverAnswer:
        return discoverAnswer(d, data, size);
    case Kind::CapabilityProbe:
        if (size != capabilityProbeSize || !allZero(body + 16, size - headerSize - 16))
            return std::nullopt;
        d.nonce = read64(body);
        d.localPort = read16(body + 8);
        d.remotePort = read16(body + 10);
        d.features = read32(body + 12);
        return d;
    case Kind::CapabilityAnswer:
        // The long form says something only with features; one without is malformed.
        if (size == capabilityAnswerWithFeaturesSize) {
            d.features = read32(body + 16);
            if (d.features == 0 || !allZero(body + 20, 4))
                return std::nullopt;
        } else if (size != capabilityAnswerSize) {
            return std::nullopt;
        }
        d.nonce = read64(body);
        d.other = read64(body + 8);
        return d;
    case Kind::CapabilityConfirm:
        if (size != capabilityAnswerSize)
            return std::nullopt;
        d.nonce = read64(body);
        d.other = read64(body + 8);
        return d;
    }
    return std::nullopt;
}

QByteArray encode(const Datagram &d)
{
    QByteArray out(magic, 4);
    out.append(char(version));
    out.append(char(d.kind));
    out.append(2, '\0');
    put64(out, d.sender);
    switch (d.kind) {
    case Kind::DiscoverProbe:
        out.append(discoverProbeSize - headerSize, '\0');
        break;
    case Kind::DiscoverAnswer: {
        const QByteArray programVersion = fitted(d.programVersion, maxVersionBytes);
        const QByteArray hostName = fitted(d.hostName, qMin(255, maxDiscoverAnswerSize - headerSize - 3
                                                                    - programVersion.size()));
        out.append(char(d.role));
        out.append(char(programVersion.size()));
        out.append(programVersion);
        out.append(char(hostName.size()));
        out.append(hostName);
        break;
    }
    case Kind::CapabilityProbe:
        put64(out, d.nonce);
        put16(out, d.localPort);
        put16(out, d.remotePort);
        put32(out, d.features);
        out.append(capabilityProbeSize - headerSize - 16, '\0');
        break;
    case Kind::CapabilityAnswer:
        put64(out, d.nonce);
        put64(out, d.other);
        if (d.features) {
            put32(out, d.features);
            out.append(4, '\0');
        }
        break;
    case Kind::CapabilityConfirm:
        put64(out, d.nonce);
        put64(out, d.other);
        break;
    }
    return out;
}

QString shownHostName(const QString &hostName)
{
    const QVector<uint> points = hostName.toUcs4();
    if (points.isEmpty() || points.size() > maxShownNameLength || QChar::isSpace(points.first())
        || QChar::isSpace(points.last()))
        return {};
    for (const uint c : points) {
        switch (QChar::category(c)) {
        case QChar::Other_Control:    // C0, C1
        case QChar::Other_Format:     // bidirectional overrides and isolates, invisible joiners
        case QChar::Other_Surrogate:
        case QChar::Other_PrivateUse:
        case QChar::Other_NotAssigned: // may become any of the above
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return {};
        default:
            break;
        }
    }
    return hostName;
}

} // namespace peerwire
