// Helpers shared by the bench programs. Linux only (/proc).
#ifndef LUMO_BENCH_BENCHUTIL_H
#define LUMO_BENCH_BENCHUTIL_H

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <functional>

#include "transfer/wireformat.h"

namespace bench {

constexpr qint64 MiB = 1024 * 1024;

// Runs the event loop until done() or the timeout; false on the timeout.
inline bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTimer tick;
        tick.start(5);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

inline qint64 procStatusKiB(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Restarts the peak-RSS count (VmHWM) from the current RSS.
inline void resetPeakRss()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

inline QByteArray header(const QByteArray &name, qint64 size)
{
    return wire::startMarker + name + wire::sizeMarker + QByteArray::number(size) + wire::sizeEndMarker;
}

// A file of size bytes of a fixed pattern, written 1 MiB at a time.
inline bool writeSource(const QString &path, qint64 size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(int(MiB), Qt::Uninitialized);
    for (qint64 done = 0; done < size; done += chunk.size()) {
        for (int i = 0; i < chunk.size(); ++i)
            chunk[i] = char((done + i) * 2654435761u >> 13);
        if (f.write(chunk.constData(), qMin<qint64>(chunk.size(), size - done)) < 0)
            return false;
    }
    return true;
}

// A child program of this bench (the same program with other arguments) and what it prints.
struct Child {
    QProcess process;
    QByteArray out;
    int finishMs = 10000; // how long the destructor lets it end by itself
    explicit Child(const QStringList &args)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { out += process.readAllStandardOutput(); });
        process.start(QCoreApplication::applicationFilePath(), args);
    }
    ~Child()
    {
        if (!process.waitForFinished(finishMs))
            process.kill();
        process.waitForFinished(5000);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    // The words of the first line that begins with word, waiting up to timeoutMs.
    QList<QByteArray> line(const char *word, int timeoutMs = 600000)
    {
        QList<QByteArray> found;
        waitFor([&] {
            QList<QByteArray> lines = out.split('\n');
            lines.removeLast(); // not ended yet
            for (const QByteArray &l : lines) {
                if (l.startsWith(word)) {
                    found = l.split(' ');
                    return true;
                }
            }
            return false;
        }, timeoutMs);
        return found;
    }
};

} // namespace bench

#endif
