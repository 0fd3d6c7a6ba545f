// sendThread::sendFile: the file sender, with its pacing and back-pressure.
#include "net/sendthread.h"

#include <QCoreApplication>
#include <QFile>
#include <QMutexLocker>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

// Keeps writes at least one gap apart. Receivers built to the original design expect every
// write to arrive alone, so the gap stays; but spinning through it would burn a core. So:
// sleep through most of it, and spin only for the part the OS may wake us late, learnt from
// how late it woke us before. Where sleeps are coarse (a whole scheduler tick, as on a
// default Windows timer, or a loaded machine) sleeping would wreck the rate: then the gap is
// spun out, yielding, and a sleep is tried again now and then.
class Pacer {
public:
    void wrote() { lastWrite = Clock::now(); }

    void waitGap()
    {
        const Clock::time_point due = lastWrite + gap;
        const bool sleepIsFine = lateness < maxSpin;
        if (sleepIsFine || ++sinceProbe >= probeEvery) {
            const Clock::time_point wake = due - std::min<Clock::duration>(lateness, maxSpin) - margin;
            const Clock::time_point now = Clock::now();
            if (wake > now) {
                std::this_thread::sleep_for(wake - now);
                // One late wake-up among many good ones must not flip the mode: clamp it.
                const Clock::duration late = std::min<Clock::duration>(Clock::now() - wake, 2 * maxSpin);
                // A probe that went well is believed at once; otherwise follow the trend.
                lateness = !sleepIsFine && late < maxSpin ? late : (lateness * 7 + late) / 8;
                sinceProbe = 0;
            }
        }
        if (sleepIsFine) {
            while (Clock::now() < due) {
            }
        } else {
            while (Clock::now() < due)
                std::this_thread::yield();
        }
    }

private:
    static constexpr microseconds gap{1000};
    static constexpr microseconds margin{20};
    static constexpr microseconds maxSpin{250};
    static constexpr int probeEvery = 500;
    Clock::time_point lastWrite = Clock::now();
    Clock::duration lateness = microseconds(100);
    int sinceProbe = 0;
};

QByteArray header(const QString &name, qint64 size)
{
    return wire::startMarker + name.toUtf8() + wire::sizeMarker + QByteArray::number(quint64(size))
        + wire::sizeEndMarker;
}

} // namespace

// Waits, serving events, until the socket holds no more than bound unwritten bytes, so a
// slow link does not make the write buffer grow with the file. Returns false when a stop was
// requested meanwhile.
bool sendThread::waitForRoom(const QPointer<QTcpSocket> &socket, qint64 bound)
{
    auto full = [&socket, bound] {
        return socket && socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() > bound;
    };
    if (!full())
        return true;
    // A stop request is a bare flag, no event; the guard wakes the wait to look at it.
    QTimer guard;
    guard.start(20);
    while (full()) {
        if (stopSend)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return !stopSend;
}

void sendThread::sendFile()
{
    QString path;
    QTcpSocket *target;
    {
        QMutexLocker lock(&commandMutex);
        path = sendFilePath;
        target = targetSocket;
    }
    QFile file(path);
    fileSize = file.size();
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        emit sendTransState(TransOpenFailed);
        return;
    }
    emit sendTransState(TransStarted);
    stopSend = false;

    const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    QByteArray buffer = header(name, fileSize);
    fileBytesRead = 0;
    socketBytesWritten = 0;
    peakUnwritten = 0;
    // The window may dispose of the socket while we serve events; a QPointer sees that.
    QPointer<QTcpSocket> socket(isLive(target) ? target : nullptr);
    // To an instance of this program the same bytes go unpaced and in large writes; the
    // original receivers need each 12000-byte write to arrive alone.
    const bool fast = socket && isFast(socket);
    const int pieceSize = fast ? fastPieceSize : wire::packetSize;
    const qint64 bound = fast ? fastBufferBound : sendBufferBound;
    Pacer pacer;
    bool first = true;

    auto end = [this, &file](int code) {
        file.close();
        emit sendTransState(code);
    };
    for (;;) {
        const bool last = buffer.isEmpty();
        if (last)
            buffer = wire::endMarker;
        if (!waitForRoom(socket, bound))
            return end(TransStopped);
        if (!first && !fast)
            pacer.waitGap();
        first = false;
        if (!socket || socket->state() != QAbstractSocket::ConnectedState)
            return end(TransDisconnected);
        socket->write(buffer);
        pacer.wrote();
        socketBytesWritten += buffer.size();
        peakUnwritten = std::max(peakUnwritten.load(), socket->bytesToWrite());
        if (stopSend)
            return end(TransStopped);

        if (last) {
            buffer.clear();
        } else {
            buffer.resize(pieceSize);
            const qint64 n = file.read(buffer.data(), pieceSize);
            // A file that ends before its announced size was cut while we sent it.
            if (n < 0 || (n == 0 && fileBytesRead < fileSize))
                return end(TransReadFailed);
            buffer.resize(int(n));
            fileBytesRead += n;
        }
        emit sendTransState(TransProgress);
        QCoreApplication::processEvents();
        if (last) {
            // Finished means handed to the system, not waiting in our buffer: whoever exits
            // or closes on this report must not lose the tail of the file.
            if (!waitForRoom(socket, 0))
                return end(TransStopped);
            if (!socket || socket->state() != QAbstractSocket::ConnectedState)
                return end(TransDisconnected);
            return end(TransFinished);
        }
    }
}
