#include "net/workerhandle.h"

#include <QMetaObject>
#include <QMutexLocker>

#include "net/sendthread.h"

WorkerHandle::WorkerHandle(quint16 port, PieceSink *sink) : worker(new sendThread(port))
{
    worker->setPieceSink(sink);
    worker->moveToThread(worker);
    worker->start(QThread::InheritPriority);
}

WorkerHandle::~WorkerHandle()
{
    stop();
    delete worker;
}

void WorkerHandle::stop() const
{
    // A send in progress runs inside a command; the wait lets it finish.
    worker->quit();
    worker->wait();
}

void WorkerHandle::setHost(const QString &host) const
{
    QMutexLocker lock(&worker->commandMutex);
    worker->hostName = host;
}

void WorkerHandle::setTarget(QTcpSocket *target) const
{
    QMutexLocker lock(&worker->commandMutex);
    worker->targetSocket = target;
}

void WorkerHandle::setSend(QTcpSocket *target, const QStringList &paths) const
{
    QMutexLocker lock(&worker->commandMutex);
    worker->targetSocket = target;
    worker->sendFilePath = paths.value(0);
    worker->sendFilePaths = paths;
    ++worker->sendSerial;
}

void WorkerHandle::command(int cmd) const
{
    QMetaObject::invokeMethod(worker, "handleCmd", Qt::QueuedConnection, Q_ARG(int, cmd));
}

void WorkerHandle::connectTo(const QString &host) const
{
    setHost(host);
    command(CmdConnect);
}

void WorkerHandle::sendFiles(QTcpSocket *target, const QStringList &paths) const
{
    setSend(target, paths);
    command(CmdSendFile);
}

void WorkerHandle::stopSending() const
{
    {
        QMutexLocker lock(&worker->commandMutex);
        worker->stopSerial = worker->sendSerial;
    }
    worker->stopSend = true;
}
