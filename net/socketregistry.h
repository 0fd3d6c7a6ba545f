#ifndef LUMO_NET_SOCKETREGISTRY_H
#define LUMO_NET_SOCKETREGISTRY_H

#include <QAbstractSocket>
#include <QHash>
#include <QMutex>
#include <QString>

class QTcpSocket;

// What the window may know of a socket that lives in the worker thread. The window never
// dereferences a socket pointer: it uses pointers only as keys and asks the worker for
// these facts. The worker alone writes them, from its own thread: on creation or accept
// (before announcing the socket), on every state change of the client-role socket and of
// accepted sockets, and the error text before an error signal. A socket is forgotten
// before or while it is deleted, and the client-role socket is swapped under the same lock,
// so a pointer the window holds either has current facts or reads as unconnected, never as
// freed memory.
struct SocketFacts {
    QAbstractSocket::SocketState state = QAbstractSocket::UnconnectedState;
    QString peerAddress;
    quint16 peerPort = 0;
    QString errorString;
    bool fast = false; // files to it go unpaced
};

// The facts of the worker's sockets, readable from any thread.
class SocketRegistry {
public:
    void publish(const QTcpSocket *socket, const SocketFacts &facts);
    void forget(const QTcpSocket *socket);
    bool contains(const QTcpSocket *socket) const;
    SocketFacts facts(const QTcpSocket *socket) const; // unconnected when unknown
    void clear();

    // The client-role socket: the old one is forgotten in the same step.
    void replaceClient(const QTcpSocket *old, QTcpSocket *fresh);
    QTcpSocket *client() const;

    void setServerError(const QString &text);
    QString serverError() const;

private:
    mutable QMutex mutex;
    QHash<const QTcpSocket *, SocketFacts> known;
    QTcpSocket *clientSocket = nullptr;
    QString serverErrorText;
};

#endif
