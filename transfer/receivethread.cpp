// Temporary stub: replaced by the receive engine.
#include "transfer/receivethread.h"

SharedString receiveDirPath;
void SharedString::set(const QString &v) { QMutexLocker l(&mutex); value = v; }
QString SharedString::get() const { QMutexLocker l(&mutex); return value; }
namespace recvReports {
void push(int, const RecvSnapshot &) {}
RecvSnapshot take(int) { return {}; }
void clear() {}
}
receiveThread::receiveThread()
    : dataQueue(new QList<ReceivedPiece>),
      startMarker(QString::fromUtf8(wire::startMarker)), endMarker(QString::fromUtf8(wire::endMarker)),
      sizeMarker(QString::fromUtf8(wire::sizeMarker)), sizeEndMarker(QString::fromUtf8(wire::sizeEndMarker)) {}
receiveThread::~receiveThread() { stopReceive(); wait(); delete dataQueue; }
void receiveThread::appendPieces(const QList<ReceivedPiece> &) {}
void receiveThread::stopReceive() { running = false; queueNotEmpty.wakeAll(); }
void receiveThread::run() { running = true; QMutexLocker l(&queueMutex); while (running) queueNotEmpty.wait(&queueMutex, 100); }
