#ifndef LUMO_APP_TRANSFERRATES_H
#define LUMO_APP_TRANSFERRATES_H

#include <QFontMetrics>
#include <QHash>
#include <QString>
#include <QVector>

#include "transfer/receivethread.h"

// Rates as the window shows them. MB is 10^6 bytes.
namespace rates {
// Bytes over nanoseconds in MB/s with two decimals; "0.00" when no time has passed.
QString mbPerSecond(qint64 bytes, qint64 nsecs);
QString mbPerSecond(double bytesPerSecond);
// Whole seconds as "m:ss", or "h:mm:ss" from an hour on.
QString duration(qint64 seconds);
} // namespace rates

// A running rate of a byte count. Samples closer together than one window
// are folded into the next one, since a rate over a few milliseconds only shows jitter.
class RateMeter {
public:
    void reset(qint64 bytes, qint64 ms);
    // True when the rate was refreshed by this sample.
    bool sample(qint64 bytes, qint64 ms);
    bool known() const { return hasRate; }
    double bytesPerSecond() const { return rate; }

    static constexpr qint64 windowMs = 500;

private:
    qint64 lastBytes = 0;
    qint64 lastMs = 0;
    double rate = 0.0;
    bool hasRate = false;
};

// The status text of the files arriving now: name (a folder's name and how many of its files
// have ended), share of the declared size and rate for
// one, their number and combined rate for several, empty for none. Names come from a peer:
// control characters are replaced and long names cut.
class IncomingMeter {
public:
    QString update(const QVector<IncomingTransfer> &arriving, qint64 ms);
    // The last text in at most width pixels: only the name is cut (in the middle), never the
    // share, count or rate that follow it.
    QString fitted(const QFontMetrics &metrics, int width) const;

    static constexpr int maxNameChars = 40;

private:
    QHash<quint64, RateMeter> meters; // by connection
    // The last text: what comes before the name, the name, what follows it.
    QString lead, name, tail;
};

#endif
