// A file to another instance over an upgraded connection: offered, sent only once accepted,
// hashed while it is read, and counted as sent only when the receiver says it stored it whole.
#include "net/sendthread.h"

#include "transfer/extframing.h"
#include "transfer/filedigest.h"
#include "transfer/receivefile.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

// The peer's answer to this file's offer or end, or nothing when the connection went, a stop
// came, or the peer stayed silent for as long as a stalled send is given. Answers to files
// that were withdrawn are dropped as they come. throughStop: the file is on its way whole,
// so a stop only shortens the wait.
std::optional<sendThread::PeerAnswer> sendThread::awaitAnswer(const QPointer<QTcpSocket> &socket, quint64 file,
                                                              bool toEnd, bool throughStop)
{
    std::optional<PeerAnswer> got;
    const auto take = [&] {
        if (!socket || !upgrades.contains(socket))
            return false;
        QList<PeerAnswer> &answers = upgrades[socket].answers;
        for (int i = 0; i < answers.size(); ++i) {
            if (answers.at(i).file == file && answers.at(i).toEnd == toEnd) {
                got = answers.takeAt(i);
                return true;
            }
        }
        return false;
    };
    QElapsedTimer waited;
    waited.start();
    serveEventsWhile(
        [&] {
            const int limit = throughStop && stopRequested() ? stopGraceMs : answerWaitMs;
            return !take() && socket && socket->state() == QAbstractSocket::ConnectedState && waited.elapsed() < limit;
        },
        !throughStop);
    return got;
}

// The peer answers every offer and every end, in the order they were written.
void sendThread::expect(QTcpSocket *socket, quint64 file, bool toEnd)
{
    QList<QPair<quint64, bool>> &awaited = upgradeOf(socket).awaited;
    if (awaited.size() >= 256) // a peer that answers nothing: keep the latest
        awaited.removeFirst();
    awaited.append({file, toEnd});
}

bool sendThread::sentAhead(const QString &path) const
{
    return !offeredAhead.empty() && offeredAhead.front().whole && offeredAhead.front().path == path;
}

// The receiver holds the first accept.value bytes: true when they are this file's, with their
// digest taken into digest and the file read up to them. Otherwise the caller starts over.
bool sendThread::resumable(QFile &file, const PeerAnswer &accept, FileDigest &digest, const QVector<quint64> &nonces)
{
    if (accept.value == 0 || accept.value > quint64(fileSize) || accept.digest.size() != extwire::digestSize)
        return false;
    QByteArray block(int(fastPieceSize), Qt::Uninitialized);
    qint64 read = 0;
    frontBox->flush(); // the front end hears of the file before the prefix is read
    while (read < qint64(accept.value)) {
        const qint64 n = file.read(block.data(), std::min<qint64>(block.size(), qint64(accept.value) - read));
        if (n <= 0 || stopRequested())
            break;
        digest.add(block.constData(), n);
        read += n;
        if (read % (16 * fastPieceSize) == 0)
            QCoreApplication::processEvents(); // the sockets go on meanwhile
    }
    if (read == qint64(accept.value) && FileDigest::keyed(nonces, digest.result()) == accept.digest)
        return true;
    digest.reset();
    return false;
}

// Whether small files may go whole with their offers: a peer of the second framing drops a
// refused file's frames quietly, and a paced connection keeps its small pieces.
bool sendThread::takesWhole(const QTcpSocket *socket) const
{
    const auto it = upgrades.constFind(socket);
    return fastTransfer && it != upgrades.constEnd() && it->feature == extwire::featureFraming2;
}

// The next files of the batch are offered before this one's result is in, so that the
// answers travel together. Small files go whole with their offers where the peer takes that,
// several at a time, so that the peer need not wait for us between files; any other file is
// offered ahead alone. Only plain files whose names the framing carries, and never past the
// end of a folder, whose end frame must come first; anything else is offered in its turn.
void sendThread::offerNext(const QPointer<QTcpSocket> &socket)
{
    if (stopRequested() || (!offeredAhead.empty() && !offeredAhead.back().whole))
        return;
    const bool inFolder = !queue.currentName().isEmpty();
    qint64 aheadBytes = 0;
    for (const Offered &o : offeredAhead)
        aheadBytes += o.size;
    // Topped up by halves: one write, and one read on the other side, for many files.
    if (offeredAhead.size() > maxAhead / 2 || aheadBytes > maxAheadBytes / 2)
        return;
    const bool whole = takesWhole(socket);
    QByteArray frames;
    for (int i = int(offeredAhead.size()); i < queue.waiting() && i < maxAhead && aheadBytes < maxAheadBytes; ++i) {
        if (inFolder ? folderFilesLeft <= i + 1 : !queue.peekNextName(i).isEmpty())
            break;
        const QString path = queue.peekNext(i);
        const QString name = inFolder ? queue.peekNextName(i) : QFileInfo(path).fileName();
        if (!extwire::checkedPath(name.toUtf8()))
            break;
        // Read whole only where it may go whole, and only the first file may go otherwise.
        const auto looked = ReceiveFile::lookAtOutgoing(path, whole ? aheadLimit : -1);
        if (!looked)
            break;
        const qint64 size = looked->size;
        const bool small = whole && size <= aheadLimit;
        if (!small && i > 0)
            break;
        const qint64 modified = looked->modifiedMs;
        const qint64 at = frames.size();
        frames += extwire::offer(name, quint64(size), modified);
        bool sentWhole = false;
        if (small) {
            if (looked->bytes) {
                const QByteArray &bytes = *looked->bytes;
                FileDigest digest;
                digest.add(bytes.constData(), bytes.size());
                frames += extwire::start(0);
                if (!bytes.isEmpty())
                    frames += extwire::data(bytes.constData(), bytes.size());
                frames += extwire::end(digest.result());
                sentWhole = true;
            } else if (i > 0) { // it changed while read: offered alone, in its turn
                frames.truncate(int(at));
                break;
            }
        }
        const quint64 serial = ++fileSerial;
        expect(socket, serial, false);
        if (sentWhole)
            expect(socket, serial, true);
        offeredAhead.push_back(Offered{socket, path, name, size, modified, frames.size() - at, serial, steadyNs(), sentWhole});
        aheadBytes += size;
        if (!sentWhole)
            break;
    }
    if (!frames.isEmpty())
        socket->write(frames);
}

// Offers written ahead whose files do not follow: their answers, come or to come, are
// dropped. A later offer supersedes one on the wire; with none, abort ends it (after files
// sent whole it ends nothing but a folder, which the caller ends anyway).
void sendThread::withdrawOffer(bool withAbort)
{
    if (offeredAhead.empty())
        return;
    const QPointer<QTcpSocket> socket = offeredAhead.back().socket;
    const quint64 serial = offeredAhead.back().serial;
    offeredAhead.clear();
    if (!socket || !upgrades.contains(socket))
        return;
    upgrades[socket].wantedFrom = serial + 1;
    if (withAbort && socket->state() == QAbstractSocket::ConnectedState)
        socket->write(extwire::abort(extwire::AbortReason::Stopped));
}

int sendThread::sendFileExtended(QFile &file, const QString &name, const QPointer<QTcpSocket> &socket)
{
    fileBytesRead = 0;
    socketBytesWritten = 0;
    fileResumedFrom = 0;
    peakUnwritten = 0;
    targetUnwritten = 0;
    // A file sent whole is what was read then, whatever it holds now.
    const Offered *next = offeredAhead.empty() ? nullptr : &offeredAhead.front();
    const bool same = next && next->socket == socket && next->path == file.fileName() && next->name == name;
    const bool whole = same && next->whole;
    const qint64 modified = whole ? next->modified : ReceiveFile::modifiedMs(file.fileName());
    const bool offered = same && (whole || (next->size == fileSize && next->modified == modified));
    std::optional<Offered> ahead;
    if (offered) {
        ahead = offeredAhead.front();
        offeredAhead.pop_front(); // its answers are the next ones to come
    } else {
        withdrawOffer(false);
    }
    const quint64 serial = ahead ? ahead->serial : ++fileSerial;
    {
        Upgrade &upgrade = upgradeOf(socket);
        upgrade.wantedFrom = serial;
        upgrade.answers.erase(std::remove_if(upgrade.answers.begin(), upgrade.answers.end(),
                                             [serial](const PeerAnswer &a) { return a.file < serial; }),
                              upgrade.answers.end());
    }
    flushGreetings(socket);
    sendingTo = socket;
    const auto write = [this, &socket](const QByteArray &frame) {
        socket->write(frame);
        socketBytesWritten += frame.size();
        peakUnwritten = std::max(peakUnwritten.load(), socket->bytesToWrite());
        noteUnwritten(socket);
    };
    const auto end = [this, &file, &socket, &write](int code, std::optional<extwire::AbortReason> abort = {}) {
        if (abort && socket && socket->state() == QAbstractSocket::ConnectedState)
            write(extwire::abort(*abort));
        file.close();
        sendingTo = nullptr;
        pushFileReport();
        reportTrans(code);
        return code;
    };
    const auto gone = [this, &socket] {
        return stopRequested() ? TransStopped : TransDisconnected;
    };

    if (ahead) {
        socketBytesWritten += ahead->frameBytes;
    } else {
        write(extwire::offer(name, quint64(fileSize), modified));
        expect(socket, serial, false);
    }
    const auto answer = awaitAnswer(socket, serial, false, whole);
    if (!answer) // an abort would end the folder, not the file, once the file's end is out
        return whole ? end(gone()) : end(gone(), extwire::AbortReason::Stopped);
    if (answer->type != int(extwire::Type::Accept))
        return end(TransRefused);
    if (whole) {
        fileSize = ahead->size;
        fileBytesRead = ahead->size;
        reportTrans(TransProgress);
    } else {
        FileDigest digest;
        if (socket && resumable(file, *answer, digest, upgradeOf(socket).sentNonces))
            fileResumedFrom = qint64(answer->value);
        else if (!file.seek(0))
            return end(TransReadFailed, extwire::AbortReason::ReadFailed);
        if (stopRequested())
            return end(TransStopped, extwire::AbortReason::Stopped);
        fileBytesRead = fileResumedFrom.load();
        write(extwire::start(quint64(fileResumedFrom.load())));
        reportTrans(TransProgress);

        // Fast mode turned off after the upgrade: the framing stays, the pieces are small.
        const bool fast = fastTransfer;
        const qint64 pieceSize = fast ? fastPieceSize : wire::packetSize;
        constexpr int headerSize = extwire::frameHeaderSize;
        while (fileBytesRead < fileSize) {
            if (!waitForRoom(socket, fast ? fastBufferBound : sendBufferBound))
                return end(TransStopped, extwire::AbortReason::Stopped);
            if (!socket || socket->state() != QAbstractSocket::ConnectedState)
                return end(TransDisconnected);
            // The file is read behind room for the frame's header, and the socket keeps the
            // array itself: no copy, and one write to the system per frame rather than two.
            const qint64 want = std::min<qint64>(pieceSize, fileSize - fileBytesRead);
            QByteArray frame(int(headerSize + want), Qt::Uninitialized);
            const qint64 n = file.read(frame.data() + headerSize, want);
            if (n <= 0)
                return end(TransReadFailed, extwire::AbortReason::ReadFailed);
            frame.resize(int(headerSize + n));
            std::memcpy(frame.data(), extwire::dataHeader(n).constData(), headerSize);
            digest.add(frame.constData() + headerSize, n);
            write(frame);
            fileBytesRead += n;
            reportTrans(TransProgress);
            QCoreApplication::processEvents();
            if (stopRequested())
                return end(TransStopped, extwire::AbortReason::Stopped);
        }
        write(extwire::end(digest.result()));
        expect(socket, serial, true);
        reportTrans(TransProgress);
    }
    offerNext(socket);
    // Every byte is out: a stop now only shortens the wait for what became of them.
    const auto result = awaitAnswer(socket, serial, true, true);
    if (!result)
        return end(gone());
    if (result->type != int(extwire::Type::Result) || result->value != quint64(extwire::ResultStatus::Stored))
        return end(TransNotStored);
    return end(TransFinished);
}
