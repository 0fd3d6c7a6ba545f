#include "transfer/extframing.h"

#include <QStringList>

#include <algorithm>
#include <cstring>

namespace extwire {

namespace {

void put(QByteArray &out, quint64 v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char((v >> (8 * i)) & 0xff));
}

quint64 get(const char *p, int bytes)
{
    quint64 v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | quint8(p[i]);
    return v;
}

QByteArray frame(Type type, const QByteArray &payload)
{
    QByteArray out;
    out.reserve(frameHeaderSize + payload.size());
    out.append(char(type));
    put(out, quint64(payload.size()), 4);
    out.append(payload);
    return out;
}

QByteArray withPath(const QString &path)
{
    const QByteArray utf8 = path.toUtf8();
    QByteArray out;
    put(out, quint64(utf8.size()), 2);
    return out + utf8;
}

// Smallest and largest payload of each type.
bool lengthFits(Type type, quint32 length)
{
    const auto within = [length](quint32 low, quint32 high) { return length >= low && length <= high; };
    switch (type) {
    case Type::Offer: return within(18 + 1, 18 + maxPathBytes);
    case Type::Data: return within(1, maxDataBytes);
    case Type::End: return length == digestSize;
    case Type::Text: return within(1, maxTextBytes);
    case Type::Folder: return within(14 + 1, 14 + maxPathBytes);
    case Type::Directory: return within(2 + 1, 2 + maxPathBytes);
    case Type::FolderEnd: return length == 0;
    case Type::Abort:
    case Type::Refuse:
    case Type::Result: return length == 1;
    case Type::Start: return length == 8;
    case Type::Accept: return length == 8 + digestSize;
    }
    return false;
}

bool knownType(quint8 t)
{
    return (t >= quint8(Type::Offer) && t <= quint8(Type::Start)) || (t >= quint8(Type::Accept) && t <= quint8(Type::Result));
}

} // namespace

QByteArray encodeUpgrade(quint32 feature, bool reply, const QVector<quint64> &nonces)
{
    QByteArray out = upgradeMagic;
    put(out, feature, 4);
    out.append(char(reply ? 1 : 0));
    out.append(char(nonces.size()));
    for (const quint64 n : nonces)
        put(out, n, 8);
    return out;
}

quint32 chosenFeature(quint32 common)
{
    quint32 bit = 0;
    for (quint32 b = 1; b != 0 && b <= common; b <<= 1) {
        if (common & b)
            bit = b;
    }
    return bit;
}

Scan scanUpgrade(const char *data, qsizetype size, Upgrade *upgrade, qsizetype *used)
{
    const qsizetype magicSize = upgradeMagic.size();
    if (std::memcmp(data, upgradeMagic.constData(), size_t(std::min(size, magicSize))) != 0)
        return Scan::No;
    if (size < upgradeBaseSize)
        return Scan::NeedMore;
    const quint8 reply = quint8(data[12]);
    const int count = quint8(data[13]);
    if (reply > 1 || count < 1 || count > maxUpgradeNonces)
        return Scan::No;
    const qsizetype total = upgradeBaseSize + 8 * count;
    if (size < total)
        return Scan::NeedMore;
    upgrade->feature = quint32(get(data + 8, 4));
    upgrade->reply = reply == 1;
    upgrade->nonces.clear();
    for (int i = 0; i < count; ++i)
        upgrade->nonces.append(get(data + upgradeBaseSize + 8 * i, 8));
    *used = total;
    return Scan::Yes;
}

QByteArray offer(const QString &path, quint64 size, qint64 mtimeMs)
{
    QByteArray p;
    put(p, size, 8);
    put(p, quint64(mtimeMs), 8);
    return frame(Type::Offer, p + withPath(path));
}

QByteArray data(const char *bytes, qsizetype size) { return frame(Type::Data, QByteArray(bytes, size)); }

QByteArray dataHeader(qsizetype size)
{
    QByteArray out(1, char(Type::Data));
    put(out, quint64(size), 4);
    return out;
}
QByteArray end(const QByteArray &digest) { return frame(Type::End, digest); }
QByteArray text(const QByteArray &utf8) { return frame(Type::Text, utf8); }

QByteArray folder(const QString &path, quint32 entries, quint64 bytes)
{
    QByteArray p;
    put(p, entries, 4);
    put(p, bytes, 8);
    return frame(Type::Folder, p + withPath(path));
}

QByteArray directory(const QString &path) { return frame(Type::Directory, withPath(path)); }
QByteArray folderEnd() { return frame(Type::FolderEnd, {}); }
QByteArray abort(AbortReason reason) { return frame(Type::Abort, QByteArray(1, char(reason))); }

QByteArray start(quint64 offset)
{
    QByteArray p;
    put(p, offset, 8);
    return frame(Type::Start, p);
}

QByteArray accept(quint64 offset, const QByteArray &digest)
{
    QByteArray p;
    put(p, offset, 8);
    return frame(Type::Accept, p + digest);
}

QByteArray refuse(RefuseReason reason) { return frame(Type::Refuse, QByteArray(1, char(reason))); }
QByteArray result(ResultStatus status) { return frame(Type::Result, QByteArray(1, char(status))); }

std::optional<QStringList> checkedPath(const QByteArray &utf8)
{
    if (utf8.isEmpty() || utf8.size() > maxPathBytes)
        return std::nullopt;
    for (const char c : utf8) {
        if (quint8(c) < 0x20 || c == 0x7f || c == '\\' || c == ':')
            return std::nullopt;
    }
    const QString path = QString::fromUtf8(utf8);
    if (path.toUtf8() != utf8)
        return std::nullopt;
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        const int bytes = part.toUtf8().size();
        if (bytes == 0 || bytes > maxComponentBytes || part == QLatin1String(".") || part == QLatin1String(".."))
            return std::nullopt;
    }
    return parts;
}

} // namespace extwire

using namespace extwire;

void ExtParser::feed(const char *bytes, qsizetype size)
{
    while (size > 0 && !isBroken) {
        qsizetype used;
        if (dataLeft > 0) {
            used = std::min<qsizetype>(size, dataLeft);
            takenBytes += quint64(used);
            dataLeft -= quint32(used);
            fileLeft -= quint64(used);
            sink.data(bytes, used);
        } else if (held.size() < frameHeaderSize) {
            if (held.isEmpty())
                frameAt = takenBytes;
            used = takeHeader(bytes, size);
        } else {
            used = std::min<qsizetype>(size, frameHeaderSize + qsizetype(length) - held.size());
            held.append(bytes, used);
            takenBytes += quint64(used);
            if (held.size() == frameHeaderSize + qsizetype(length))
                handleFrame();
        }
        bytes += used;
        size -= used;
    }
}

qsizetype ExtParser::takeHeader(const char *bytes, qsizetype size)
{
    const qsizetype used = std::min<qsizetype>(size, frameHeaderSize - held.size());
    held.append(bytes, used);
    takenBytes += quint64(used);
    if (held.size() == frameHeaderSize && beginFrame() && length == 0)
        handleFrame();
    return used;
}

// Checks a frame's type, length and place as soon as its header is there, so that no bound
// is trusted before it is checked.
bool ExtParser::beginFrame()
{
    const quint8 t = quint8(held.at(0));
    length = quint32(get(held.constData() + 1, 4));
    if (!knownType(t)) {
        fail(ExtSink::Error::UnknownType);
        return false;
    }
    type = Type(t);
    if (!lengthFits(type, length)) {
        fail(ExtSink::Error::BadLength);
        return false;
    }
    if (type != Type::Data)
        return true;
    if (file != File::Receiving || length > fileLeft) {
        fail(file == File::Receiving ? ExtSink::Error::SizeDiffers : ExtSink::Error::OutOfOrder);
        return false;
    }
    dataLeft = length;
    held.clear();
    return true;
}

void ExtParser::handleFrame()
{
    const char *p = held.constData() + frameHeaderSize;
    // An offer that was never started was refused: the folder goes on past it.
    const bool idle = file != File::Receiving;
    if (idle && (type == Type::Folder || type == Type::Directory || type == Type::FolderEnd))
        file = File::None;
    bool inOrder = true;
    switch (type) {
    case Type::Offer:
        // An offer that was never started was refused: the sender goes on with the next one.
        inOrder = file != File::Receiving;
        if (inOrder)
            handleOffer(p, length);
        break;
    case Type::Data: // passed through in feed()
        break;
    case Type::End:
        inOrder = file == File::Receiving;
        if (inOrder)
            handleEnd(p);
        break;
    case Type::Text:
        sink.text(QByteArray(p, length));
        break;
    case Type::Folder:
        inOrder = idle && !inFolder();
        if (inOrder)
            handleFolder(p, length);
        break;
    case Type::Directory:
        inOrder = idle && inFolder();
        if (inOrder)
            handleDirectory(p, length);
        break;
    case Type::FolderEnd:
        inOrder = idle && inFolder();
        if (inOrder) {
            folderPath.reset();
            sink.folderEnd();
        }
        break;
    case Type::Abort:
        file = File::None;
        folderPath.reset();
        sink.aborted(AbortReason(quint8(*p)));
        break;
    case Type::Start: {
        const quint64 offset = get(p, 8);
        inOrder = file == File::Offered && offset <= fileSize;
        if (inOrder) {
            file = File::Receiving;
            fileLeft = fileSize - offset;
            sink.start(offset);
        }
        break;
    }
    case Type::Accept:
        sink.accepted(get(p, 8), QByteArray(p + 8, digestSize));
        break;
    case Type::Refuse:
        sink.refused(RefuseReason(quint8(*p)));
        break;
    case Type::Result:
        sink.result(ResultStatus(quint8(*p)));
        break;
    }
    held.clear();
    if (!inOrder)
        fail(ExtSink::Error::OutOfOrder);
}

void ExtParser::handleOffer(const char *p, qsizetype size)
{
    const auto name = path(p + 16, size - 16, false);
    if (!name || !countEntry())
        return;
    fileSize = get(p, 8);
    file = File::Offered;
    sink.offer(*name, fileSize, qint64(get(p + 8, 8)));
}

void ExtParser::handleFolder(const char *p, qsizetype size)
{
    const quint32 entries = quint32(get(p, 4));
    const auto name = path(p + 12, size - 12, false);
    if (!name)
        return;
    if (entries > maxEntries) {
        fail(ExtSink::Error::TooManyEntries);
        return;
    }
    folderPath = *name;
    entriesLeft = entries;
    sink.folder(*name, entries, get(p + 4, 8));
}

void ExtParser::handleDirectory(const char *p, qsizetype size)
{
    const auto name = path(p, size, true);
    if (name && countEntry())
        sink.directory(*name);
}

void ExtParser::handleEnd(const char *p)
{
    if (fileLeft != 0) {
        fail(ExtSink::Error::SizeDiffers);
        return;
    }
    file = File::None;
    sink.fileEnd(QByteArray(p, digestSize));
}

// A path field (length, then bytes) that fills the rest of its frame and passes the path
// rules: a single component outside a folder, the folder's name and more inside one.
std::optional<QString> ExtParser::path(const char *p, qsizetype size, bool directory)
{
    const auto parts = size >= 2 && qsizetype(get(p, 2)) == size - 2
                           ? checkedPath(QByteArray(p + 2, size - 2))
                           : std::nullopt;
    const bool placed = parts
                        && (inFolder() ? parts->size() >= 2 && parts->first() == *folderPath
                                       : parts->size() == 1 && !directory);
    if (!placed) {
        fail(parts ? ExtSink::Error::OutOfOrder : ExtSink::Error::BadPath);
        return std::nullopt;
    }
    return parts->join(QLatin1Char('/'));
}

bool ExtParser::countEntry()
{
    if (!inFolder())
        return true;
    if (entriesLeft == 0) {
        fail(ExtSink::Error::TooManyEntries);
        return false;
    }
    --entriesLeft;
    return true;
}

void ExtParser::finish()
{
    if (!isBroken && (!held.isEmpty() || dataLeft > 0 || inFile() || inFolder()))
        fail(ExtSink::Error::Cut);
}

void ExtParser::fail(ExtSink::Error error)
{
    if (isBroken)
        return;
    isBroken = true;
    held.clear();
    dataLeft = 0;
    file = File::None;
    folderPath.reset();
    sink.failed(error);
}
