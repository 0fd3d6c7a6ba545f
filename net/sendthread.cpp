#include "net/sendthread.h"

#include <QMetaType>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>

#include "transfer/receivethread.h"

sendThread::sendThread(quint16 port)
    : QThread(nullptr), listenPort(port)
{
    qRegisterMetaType<QAbstractSocket::SocketState>("QAbstractSocket::SocketState");

    recThread = new receiveThread;
    connect(recThread, &receiveThread::sendRecState, this, &sendThread::sendRecState);
    connect(recThread, &receiveThread::queueDrained, this, &sendThread::resumeReading);
    recThread->start(QThread::InheritPriority);

    createServer();
    createClientSocket();
}

sendThread::~sendThread()
{
    delete server;
    server = nullptr;
    {
        QMutexLocker lock(&factsMutex);
        facts.clear();
    }
    delete clientSocket;
    clientSocket = nullptr;
    // The engine reads process-wide values; it must end before they are destroyed.
    delete recThread;
    recThread = nullptr;
}

void sendThread::run()
{
    exec();
}

void sendThread::handleCmd(int cmd_type)
{
    switch (static_cast<unsigned>(cmd_type)) {
    case CmdStartListen:
    case CmdStopListen:
    case CmdConnect:
    case CmdDisconnect:
        break;
    case CmdSendTest: {
        QTcpSocket *target;
        {
            QMutexLocker lock(&commandMutex);
            target = targetSocket;
        }
        if (isLive(target))
            target->write(wire::greeting);
        break;
    }
    case CmdSendFile:
        sendFile();
        break;
    default:
        break; // unknown codes are ignored without a trace
    }
}

QTcpSocket *sendThread::currentClientSocket() const
{
    QMutexLocker lock(&factsMutex);
    return clientSocket;
}

SocketFacts sendThread::socketFacts(const QTcpSocket *socket) const
{
    QMutexLocker lock(&factsMutex);
    return facts.value(socket);
}

QAbstractSocket::SocketState sendThread::socketState(const QTcpSocket *socket) const
{
    return socketFacts(socket).state;
}

QString sendThread::serverErrorText() const
{
    QMutexLocker lock(&factsMutex);
    return serverError;
}

void sendThread::disposeSocket(QTcpSocket *socket)
{
    QMetaObject::invokeMethod(this, [this, socket] {
        if (isLive(socket))
            socket->deleteLater();
    }, Qt::QueuedConnection);
}

bool sendThread::isLive(const QTcpSocket *socket) const
{
    if (!socket)
        return false;
    QMutexLocker lock(&factsMutex);
    return facts.contains(socket);
}

void sendThread::publish(const QTcpSocket *socket)
{
    SocketFacts f;
    f.state = socket->state();
    f.peerAddress = socket->peerAddress().toString();
    f.peerPort = socket->peerPort();
    f.errorString = socket->errorString();
    QMutexLocker lock(&factsMutex);
    facts.insert(socket, f);
}

void sendThread::forget(const QTcpSocket *socket)
{
    QMutexLocker lock(&factsMutex);
    facts.remove(socket);
}

// --- to be completed by the connections work ---
void sendThread::createServer()
{
    server = new QTcpServer(this);
}

void sendThread::createClientSocket()
{
    QTcpSocket *old = clientSocket;
    auto *fresh = new QTcpSocket(this);
    {
        QMutexLocker lock(&factsMutex);
        facts.remove(old);
        clientSocket = fresh;
    }
    delete old;
    publish(fresh);
}

void sendThread::onErrorOccurs(QAbstractSocket::SocketError) {}
void sendThread::onNewConnection() {}
void sendThread::onServerReadyRead() {}
void sendThread::onSocketReadyRead() {}
void sendThread::resumeReading() {}
void sendThread::feed(QTcpSocket *, int) {}
quint64 sendThread::connectionId(QTcpSocket *) { return 0; }
void sendThread::sendFile() {}
