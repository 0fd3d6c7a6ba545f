// A file to another instance over an upgraded connection: offered, sent only once accepted,
// hashed while it is read, and counted as sent only when the receiver says it stored it whole.
#include "net/sendthread.h"

#include "transfer/extframing.h"
#include "transfer/filedigest.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>

#include <algorithm>

// The next answer of the peer, or nothing when the connection went, a stop came, or the peer
// stayed silent for as long as a stalled send is given.
std::optional<sendThread::PeerAnswer> sendThread::awaitAnswer(const QPointer<QTcpSocket> &socket)
{
    QElapsedTimer waited;
    waited.start();
    const auto waiting = [this, &socket, &waited] {
        return socket && socket->state() == QAbstractSocket::ConnectedState && upgrades.value(socket).answers.isEmpty()
               && waited.elapsed() < answerWaitMs;
    };
    if (!serveEventsWhile(waiting) || !socket || !upgrades.contains(socket) || upgrades[socket].answers.isEmpty())
        return std::nullopt;
    return upgrades[socket].answers.takeFirst();
}

// The receiver holds the first accept.value bytes: true when they are this file's, with their
// digest taken into digest and the file read up to them. Otherwise the caller starts over.
bool sendThread::resumable(QFile &file, const PeerAnswer &accept, FileDigest &digest)
{
    if (accept.value == 0 || accept.value > quint64(fileSize) || accept.digest.size() != extwire::digestSize)
        return false;
    QByteArray block(int(fastPieceSize), Qt::Uninitialized);
    qint64 read = 0;
    while (read < qint64(accept.value)) {
        const qint64 n = file.read(block.data(), std::min<qint64>(block.size(), qint64(accept.value) - read));
        if (n <= 0 || stopRequested())
            break;
        digest.add(block.constData(), n);
        read += n;
        if (read % (16 * fastPieceSize) == 0)
            QCoreApplication::processEvents(); // the sockets go on meanwhile
    }
    if (read == qint64(accept.value) && digest.result() == accept.digest)
        return true;
    digest.reset();
    return false;
}

// The next file of the batch is offered before this one's result is in, so that the two
// answers travel together: one round trip per file instead of two. Only a plain file whose
// name the framing carries, and never past the end of a folder, whose end frame must come
// first; anything else is offered in its turn.
void sendThread::offerNext(const QPointer<QTcpSocket> &socket)
{
    offeredNext.reset();
    if (!queue.hasNext() || stopRequested())
        return;
    const bool inFolder = !queue.currentName().isEmpty();
    if (inFolder ? folderFilesLeft <= 1 : !queue.peekNextName().isEmpty())
        return;
    const QString path = queue.peekNext();
    const QFileInfo info(path);
    const QString name = inFolder ? queue.peekNextName() : info.fileName();
    if (!info.isFile() || !info.isReadable() || !extwire::checkedPath(name.toUtf8()))
        return;
    const qint64 modified = info.lastModified().toMSecsSinceEpoch();
    const QByteArray frame = extwire::offer(name, quint64(info.size()), modified);
    socket->write(frame);
    offeredNext = Offered{socket, path, name, info.size(), modified, frame.size()};
}

// An offer written ahead whose file does not follow: its answer, come or to come, is not the
// next offer's. A later offer supersedes it on the wire; with none, abort ends it.
void sendThread::withdrawOffer(bool withAbort)
{
    if (!offeredNext)
        return;
    const QPointer<QTcpSocket> socket = offeredNext->socket;
    offeredNext.reset();
    if (!socket || !upgrades.contains(socket))
        return;
    Upgrade &upgrade = upgrades[socket];
    if (!upgrade.answers.isEmpty())
        upgrade.answers.removeFirst();
    else
        ++upgrade.staleAnswers;
    if (withAbort && socket->state() == QAbstractSocket::ConnectedState)
        socket->write(extwire::abort(extwire::AbortReason::Stopped));
}

int sendThread::sendFileExtended(QFile &file, const QString &name, const QPointer<QTcpSocket> &socket)
{
    fileBytesRead = 0;
    socketBytesWritten = 0;
    fileResumedFrom = 0;
    peakUnwritten = 0;
    const qint64 modified = QFileInfo(file).lastModified().toMSecsSinceEpoch();
    const bool offered = offeredNext && offeredNext->socket == socket && offeredNext->path == file.fileName()
                         && offeredNext->name == name && offeredNext->size == fileSize && offeredNext->modified == modified;
    const qint64 offerBytes = offered ? offeredNext->frameBytes : 0;
    if (offered)
        offeredNext.reset(); // its answer is the next one to come
    else
        withdrawOffer(false);
    flushGreetings(socket);
    sendingTo = socket;
    if (!offered)
        upgradeOf(socket).answers.clear();
    const auto write = [this, &socket](const QByteArray &frame, const char *payload = nullptr, qint64 size = 0) {
        socket->write(frame);
        if (payload)
            socket->write(payload, size); // not copied into a frame first
        socketBytesWritten += frame.size() + size;
        peakUnwritten = std::max(peakUnwritten.load(), socket->bytesToWrite());
    };
    const auto end = [this, &file, &socket, &write](int code, std::optional<extwire::AbortReason> abort = {}) {
        if (abort && socket && socket->state() == QAbstractSocket::ConnectedState)
            write(extwire::abort(*abort));
        file.close();
        sendingTo = nullptr;
        pushFileReport();
        emit sendTransState(code);
        return code;
    };
    const auto gone = [this, &socket] {
        return stopRequested() ? TransStopped : TransDisconnected;
    };

    if (offered)
        socketBytesWritten += offerBytes;
    else
        write(extwire::offer(name, quint64(fileSize), modified));
    const auto answer = awaitAnswer(socket);
    if (!answer)
        return end(gone(), extwire::AbortReason::Stopped);
    if (answer->type != int(extwire::Type::Accept))
        return end(TransRefused);
    FileDigest digest;
    if (resumable(file, *answer, digest))
        fileResumedFrom = qint64(answer->value);
    else if (!file.seek(0))
        return end(TransReadFailed, extwire::AbortReason::ReadFailed);
    if (stopRequested())
        return end(TransStopped, extwire::AbortReason::Stopped);
    fileBytesRead = fileResumedFrom.load();
    write(extwire::start(quint64(fileResumedFrom.load())));
    emit sendTransState(TransProgress);

    // Fast mode turned off after the upgrade: the framing stays, the pieces are small.
    const bool fast = fastTransfer;
    const qint64 pieceSize = fast ? fastPieceSize : wire::packetSize;
    QByteArray buffer;
    while (fileBytesRead < fileSize) {
        if (!waitForRoom(socket, fast ? fastBufferBound : sendBufferBound))
            return end(TransStopped, extwire::AbortReason::Stopped);
        if (!socket || socket->state() != QAbstractSocket::ConnectedState)
            return end(TransDisconnected);
        buffer.resize(int(std::min<qint64>(pieceSize, fileSize - fileBytesRead)));
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n <= 0)
            return end(TransReadFailed, extwire::AbortReason::ReadFailed);
        digest.add(buffer.constData(), n);
        write(extwire::dataHeader(n), buffer.constData(), n);
        fileBytesRead += n;
        emit sendTransState(TransProgress);
        QCoreApplication::processEvents();
        if (stopRequested())
            return end(TransStopped, extwire::AbortReason::Stopped);
    }
    write(extwire::end(digest.result()));
    emit sendTransState(TransProgress);
    offerNext(socket);
    const auto result = awaitAnswer(socket);
    if (!result)
        return end(gone());
    if (result->type != int(extwire::Type::Result) || result->value != quint64(extwire::ResultStatus::Stored))
        return end(TransNotStored);
    return end(TransFinished);
}
