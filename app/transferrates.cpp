#include "app/transferrates.h"

#include <QStringList>

QString rates::mbPerSecond(double bytesPerSecond)
{
    return QString::number(bytesPerSecond / 1e6, 'f', 2);
}

QString rates::mbPerSecond(qint64 bytes, qint64 nsecs)
{
    if (nsecs <= 0)
        return mbPerSecond(0.0);
    return mbPerSecond(double(bytes) * 1e9 / double(nsecs));
}

QString rates::duration(qint64 seconds)
{
    const qint64 h = seconds / 3600;
    const QString mmss = QStringLiteral("%1:%2").arg(seconds / 60 % 60, h > 0 ? 2 : 1, 10, QLatin1Char('0'))
                             .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return h > 0 ? QString::number(h) + QLatin1Char(':') + mmss : mmss;
}

void RateMeter::reset(qint64 bytes, qint64 ms)
{
    lastBytes = bytes;
    lastMs = ms;
    rate = 0.0;
    hasRate = false;
}

bool RateMeter::sample(qint64 bytes, qint64 ms)
{
    // A count that falls has started over (the next file on a connection): it began at most
    // one window ago, from nothing.
    if (bytes < lastBytes) {
        lastBytes = 0;
        hasRate = false;
    }
    const qint64 dt = ms - lastMs;
    if (dt < windowMs)
        return false;
    const double now = double(bytes - lastBytes) * 1000.0 / double(dt);
    // Half the weight to the newest window: steady enough to read, quick to follow a change.
    rate = hasRate ? (rate + now) / 2.0 : now;
    hasRate = true;
    lastBytes = bytes;
    lastMs = ms;
    return true;
}

namespace {

QString shownName(const QString &name)
{
    QString shown = name;
    for (QChar &c : shown) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = QChar::ReplacementCharacter;
    }
    if (shown.size() <= IncomingMeter::maxNameChars)
        return shown;
    // Keep both ends: the extension is at the end, and the start tells most names apart.
    const int head = IncomingMeter::maxNameChars / 2;
    int tail = IncomingMeter::maxNameChars - head - 1;
    int headEnd = head;
    if (shown.at(headEnd - 1).isHighSurrogate())
        --headEnd;
    if (shown.at(shown.size() - tail).isLowSurrogate())
        --tail;
    return shown.left(headEnd) + QChar(0x2026) + shown.right(tail);
}

} // namespace

QString IncomingMeter::update(const QVector<IncomingTransfer> &arriving, qint64 ms)
{
    QHash<quint64, RateMeter> kept;
    double total = 0.0;
    bool anyRate = false;
    for (const IncomingTransfer &t : arriving) {
        auto it = meters.constFind(t.connection);
        RateMeter meter;
        if (it == meters.cend())
            meter.reset(qint64(t.received), ms);
        else
            meter = it.value();
        meter.sample(qint64(t.received), ms);
        total += meter.bytesPerSecond();
        anyRate = anyRate || meter.known();
        kept.insert(t.connection, meter);
    }
    meters = kept;
    lead.clear();
    name.clear();
    tail.clear();
    if (arriving.isEmpty())
        return QString();

    QStringList after;
    if (arriving.size() == 1) {
        const IncomingTransfer &t = arriving.first();
        lead = QStringLiteral("正在接收: ");
        name = shownName(t.folder.isEmpty() ? t.name : t.folder);
        if (!t.folder.isEmpty())
            after << QStringLiteral("%1/%2个文件").arg(t.folderFilesDone).arg(qMax(t.folderFiles, t.folderFilesDone + 1));
        if (t.declaredSize > 0)
            after << QString::number(int(qMin(100.0, double(t.received) * 100.0 / double(t.declaredSize)))) + QLatin1Char('%');
    } else {
        lead = QStringLiteral("正在接收%1个文件").arg(arriving.size());
    }
    if (anyRate)
        after << rates::mbPerSecond(total) + QStringLiteral("MB/s");
    for (const QString &part : after)
        tail += QStringLiteral("  ") + part;
    return lead + name + tail;
}

QString IncomingMeter::fitted(const QFontMetrics &metrics, int width) const
{
    const QString whole = lead + name + tail;
    if (metrics.horizontalAdvance(whole) <= width)
        return whole;
    const int room = width - metrics.horizontalAdvance(lead + tail);
    QString cut = metrics.elidedText(name, Qt::ElideMiddle, room);
    if (cut.isEmpty() && !name.isEmpty())
        cut = QString(QChar(0x2026));
    return lead + cut + tail;
}
