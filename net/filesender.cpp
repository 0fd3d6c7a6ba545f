// The send queue's driver and the file sender, with its pacing and back-pressure.
#include "net/sendthread.h"
#include "net/socketoptions.h"

#include "transfer/extframing.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QMutexLocker>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
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
// slow link does not make the write buffer grow with the file. A link that takes nothing for
// stallMs (neither our buffer nor the system's queue shrinks: a pulled cable, a peer powered
// off) is aborted, so the caller sees it gone. Returns false when a stop was requested.
bool sendThread::waitForRoom(const QPointer<QTcpSocket> &socket, qint64 bound)
{
    auto full = [this, &socket, bound] {
        noteUnwritten(socket);
        return socket && socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() > bound;
    };
    if (!full())
        return true;
    auto unwritten = [&socket] {
        return socket->bytesToWrite() + socketOptions::unsentBytes(socket->socketDescriptor());
    };
    qint64 least = unwritten();
    QElapsedTimer sinceShrunk;
    sinceShrunk.start();
    const qint64 limit = stallMs.load();
    return serveEventsWhile([&] {
        if (!full())
            return false;
        const qint64 now = unwritten();
        if (now < least) {
            least = now;
            sinceShrunk.start();
        } else if (sinceShrunk.elapsed() >= limit) {
            std::fprintf(stderr, "no byte taken for %lld ms: the connection is given up\n", qlonglong(limit));
            socket->abort();
            return false;
        }
        return true;
    });
}

// Serves events while busy() holds. A stop request is a bare flag, no event; the guard wakes
// the wait to look at it. Returns false when a stop was requested meanwhile; unless stoppable,
// busy() alone ends the wait.
bool sendThread::serveEventsWhile(const std::function<bool()> &busy, bool stoppable)
{
    if (!busy())
        return !stopRequested();
    QTimer guard; // not for a wait that is over before it began: most answers are in already
    guard.start(20);
    while (busy()) {
        if (stoppable && stopRequested())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return !stopRequested();
}

FileReport sendThread::takeFileReport()
{
    QMutexLocker lock(&reportMutex);
    if (!fileReports.isEmpty())
        return fileReports.takeFirst();
    return FileReport{fileSize.load(), fileBytesRead.load(), socketBytesWritten.load(), fileResumedFrom.load()};
}

qint64 sendThread::steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sendThread::pushFileReport()
{
    const qint64 elapsed = fileStartNs ? steadyNs() - *fileStartNs : 0;
    fileStartNs.reset();
    QMutexLocker lock(&reportMutex);
    // A front end that never takes them must not make the list grow.
    if (fileReports.size() >= 1024)
        fileReports.removeFirst();
    fileReports.append(
        FileReport{fileSize.load(), fileBytesRead.load(), socketBytesWritten.load(), fileResumedFrom.load(), elapsed});
}

bool sendThread::stopRequested() const
{
    return stopSend.load();
}

qint64 sendThread::silenceLeft(const QTcpSocket *socket) const
{
    const auto it = cutAt.constFind(socket);
    if (it == cutAt.constEnd())
        return 0;
    return qMax<qint64>(0, silenceAfterCutMs - it->elapsed());
}

// Serves events until the connection has been silent long enough after a cut transfer.
// Returns false when a stop was requested meanwhile.
bool sendThread::waitForSilence(const QPointer<QTcpSocket> &socket)
{
    if (silenceLeft(socket) == 0)
        return !stopRequested();
    // The guard's turns also see the silence end.
    if (!serveEventsWhile([this, &socket] { return socket && silenceLeft(socket) > 0; }))
        return false;
    cutAt.remove(socket);
    return true;
}

// A greeting never goes inside a file, nor into the silence after a cut one: it waits.
void sendThread::sendGreeting(QTcpSocket *target)
{
    if (!isLive(target))
        return;
    const qint64 wait = silenceLeft(target);
    if (wait == 0 && sendingTo != target) {
        target->write(greetingFor(target));
        return;
    }
    if (heldGreetings[target]++ == 0 && wait > 0)
        QTimer::singleShot(int(wait), this, [this, target] { flushGreetings(target); });
}

void sendThread::flushGreetings(QTcpSocket *target)
{
    if (sendingTo == target || !isLive(target) || silenceLeft(target) > 0)
        return; // the file's end or the next silence's end flushes them
    const int count = heldGreetings.take(target);
    cutAt.remove(target);
    for (int i = 0; i < count; ++i)
        target->write(greetingFor(target));
}

// One send command: its files one after another to its target. Commands that come while a
// batch runs (its waits serve events) join it.
void sendThread::sendFiles()
{
    QStringList paths;
    QTcpSocket *target;
    quint64 serial;
    {
        QMutexLocker lock(&commandMutex);
        paths = sendFilePaths.isEmpty() ? QStringList{sendFilePath} : sendFilePaths;
        target = targetSocket;
        serial = sendSerial;
    }
    if (queue.running()) {
        // Given after a stop that still ends this batch: the user's next send, not part of
        // what was stopped.
        if (stopRequested() && serial > stopSerial.load()) {
            followUp.paths << paths;
            followUp.target = target;
            followUp.serial = serial;
        } else {
            queue.add(paths);
        }
        return;
    }
    for (;;) {
        runBatch(target, paths, serial);
        if (followUp.paths.isEmpty())
            break;
        paths = followUp.paths;
        target = followUp.target;
        serial = followUp.serial;
        followUp = {};
    }
}

void sendThread::runBatch(QTcpSocket *target, const QStringList &paths, quint64 serial)
{
    // A stop left from an earlier batch does not count; one given after this command does.
    stopSend = false;
    if (stopSerial.load() >= serial && serial != 0)
        stopSend = true;
    queue.begin(target, paths);
    while (queue.hasNext()) {
        // A file that went whole with its offer is already on its way: its answer decides.
        if (stopRequested() && !sentAhead(queue.peekNext())) {
            queue.dropRest();
            break;
        }
        // Not for the first file: a target that is gone makes that one report it itself.
        if (queue.status().position > 0 && !(isLive(target) && target->state() == QAbstractSocket::ConnectedState)) {
            queue.dropRest(true);
            break;
        }
        const QString path = queue.takeNext();
        if (!sentAhead(path) && QFileInfo(path).isDir()) {
            if (!expandFolder(path, target))
                queue.ended(TransFolderRefused, 0);
            continue;
        }
        const QString name = queue.currentName();
        report(&sendThread::batchFileStarting, queue.status());
        const int code = sendFile(path, target, name);
        if (!offeredAhead.empty() && offeredAhead.front().path == path)
            withdrawOffer(false); // offered ahead, then failed before its offer was used
        const bool mayGoOn = queue.ended(code, fileBytesRead.load());
        const bool goOn = mayGoOn && !stopRequested();
        if (!goOn && !(mayGoOn && sentAhead(queue.peekNext())))
            queue.dropRest();
        if (!name.isEmpty() && --folderFilesLeft == 0)
            endFolder(target, goOn);
    }
    withdrawOffer(true); // written ahead for a file the batch no longer sends
    if (folderFilesLeft > 0)
        endFolder(target, false);
    report(&sendThread::batchEnded, queue.status());
    queue.finish();
    if (isLive(target)) {
        flushGreetings(target);
        writeUpgrade(target);
    }
}

// A folder toward an instance: its frames and directories go now, its files join the queue
// under their relative paths. Anywhere else it is refused, as it always was.
bool sendThread::expandFolder(const QString &path, QTcpSocket *target)
{
    const QPointer<QTcpSocket> socket(isLive(target) ? target : nullptr);
    const QString top = QDir(path).dirName();
    fileSize = QFile(path).size();
    const auto refuse = [this](int code = TransFolderRefused) {
        report(&sendThread::batchFileStarting, queue.status());
        pushFileReport();
        reportTrans(code);
        return false;
    };
    if (!socket || !waitForSilence(socket) || !settleUpgrade(socket) || !extended(socket) || folderFilesLeft > 0)
        return refuse();
    if (!extwire::checkedPath(top.toUtf8()))
        return refuse(TransFolderUnsendable);
    // Links are listed but never followed; only plain files and directories travel.
    QStringList dirs;
    QStringList files;
    QDirIterator it(path, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    quint64 bytes = 0;
    while (it.hasNext() && quint32(dirs.size() + files.size()) <= extwire::maxEntries) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink())
            continue;
        if (info.isDir()) {
            dirs << info.filePath();
        } else if (info.isFile()) {
            files << info.filePath();
            bytes += quint64(info.size());
        }
    }
    if (quint32(dirs.size() + files.size()) > extwire::maxEntries)
        return refuse(TransFolderUnsendable);
    dirs.sort();
    files.sort();
    const QDir base(path);
    const auto relative = [&base, &top](const QString &p) { return top + QLatin1Char('/') + base.relativeFilePath(p); };
    QStringList names;
    quint32 entries = 0; // that the receiver will hear of, so that its count of them is true
    for (const QString &file : files) {
        names << relative(file);
        entries += extwire::checkedPath(names.constLast().toUtf8()) ? 1 : 0;
    }
    // A name the receiver would take as malformed is left out; files beneath it fail alone.
    QByteArray directories;
    for (const QString &dir : dirs) {
        if (extwire::checkedPath(relative(dir).toUtf8())) {
            directories += extwire::directory(relative(dir));
            ++entries;
        }
    }
    flushGreetings(socket);
    socket->write(extwire::folder(top, entries, bytes) + directories);
    folderFilesLeft = int(files.size());
    queue.expand(files, names);
    if (files.isEmpty())
        endFolder(socket, true);
    return true;
}

void sendThread::endFolder(QTcpSocket *target, bool whole)
{
    if (isLive(target) && target->state() == QAbstractSocket::ConnectedState)
        target->write(whole ? extwire::folderEnd() : extwire::abort(extwire::AbortReason::Stopped));
    folderFilesLeft = -1;
}

// Sends one file and returns the code it reported.
int sendThread::sendFile(const QString &path, QTcpSocket *target, const QString &relativeName)
{
    QFile file(path);
    // Its bytes went with its offer: only the answers are to come.
    if (sentAhead(path) && offeredAhead.front().socket == target) {
        fileSize = offeredAhead.front().size;
        fileStartNs = offeredAhead.front().writtenNs;
        reportTrans(TransStarted);
        return sendFileExtended(file, offeredAhead.front().name, offeredAhead.front().socket);
    }
    fileSize = file.size();
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        pushFileReport();
        reportTrans(TransOpenFailed);
        return TransOpenFailed;
    }
    QPointer<QTcpSocket> socket(isLive(target) ? target : nullptr);
    // After a cut transfer the receiver must have ended it before this header comes.
    if (!waitForSilence(socket) || !settleUpgrade(socket)) {
        pushFileReport();
        reportTrans(TransStopped);
        return TransStopped;
    }
    reportTrans(TransStarted);

    const QString name = relativeName.isEmpty() ? path.mid(path.lastIndexOf(QLatin1Char('/')) + 1) : relativeName;
    if (socket && extended(socket)) {
        if (!relativeName.isEmpty() && !extwire::checkedPath(name.toUtf8())) {
            pushFileReport();
            reportTrans(TransOpenFailed);
            return TransOpenFailed;
        }
        return sendFileExtended(file, name, socket);
    }
    QByteArray buffer = header(name, fileSize);
    fileBytesRead = 0;
    socketBytesWritten = 0;
    fileResumedFrom = 0;
    peakUnwritten = 0;
    targetUnwritten = 0;
    // The window may dispose of the socket while we serve events; the QPointer sees that.
    if (socket)
        flushGreetings(socket);
    sendingTo = socket;
    // To an instance of this program the same bytes go unpaced and in large writes; the
    // original receivers need each 12000-byte write to arrive alone.
    const bool fast = socket && isFast(socket);
    const int pieceSize = fast ? fastPieceSize : wire::packetSize;
    const qint64 bound = fast ? fastBufferBound : sendBufferBound;
    Pacer pacer;
    bool first = true;

    bool markerSent = false;
    auto end = [this, &file, &socket, &markerSent](int code) {
        file.close();
        sendingTo = nullptr;
        // Header written, end marker not: the receiver is still inside this file.
        if (socket && !markerSent && code != TransFinished)
            cutAt[socket].start();
        pushFileReport();
        reportTrans(code);
        return code;
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
        markerSent = last;
        pacer.wrote();
        socketBytesWritten += buffer.size();
        peakUnwritten = std::max(peakUnwritten.load(), socket->bytesToWrite());
        noteUnwritten(socket);
        if (stopRequested())
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
        reportTrans(TransProgress);
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
