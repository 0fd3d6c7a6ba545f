#include "net/socketregistry.h"

#include <QMutexLocker>

void SocketRegistry::publish(const QTcpSocket *socket, const SocketFacts &facts)
{
    QMutexLocker lock(&mutex);
    known.insert(socket, facts);
}

void SocketRegistry::forget(const QTcpSocket *socket)
{
    QMutexLocker lock(&mutex);
    known.remove(socket);
}

bool SocketRegistry::contains(const QTcpSocket *socket) const
{
    QMutexLocker lock(&mutex);
    return known.contains(socket);
}

SocketFacts SocketRegistry::facts(const QTcpSocket *socket) const
{
    QMutexLocker lock(&mutex);
    return known.value(socket);
}

void SocketRegistry::clear()
{
    QMutexLocker lock(&mutex);
    known.clear();
}

void SocketRegistry::replaceClient(const QTcpSocket *old, QTcpSocket *fresh)
{
    QMutexLocker lock(&mutex);
    known.remove(old);
    clientSocket = fresh;
}

QTcpSocket *SocketRegistry::client() const
{
    QMutexLocker lock(&mutex);
    return clientSocket;
}

void SocketRegistry::setServerError(const QString &text)
{
    QMutexLocker lock(&mutex);
    serverErrorText = text;
}

QString SocketRegistry::serverError() const
{
    QMutexLocker lock(&mutex);
    return serverErrorText;
}
