#ifndef LUMO_NET_WORKERHANDLE_H
#define LUMO_NET_WORKERHANDLE_H

#include <QString>
#include <QStringList>

#include "net/codes.h"

class PieceSink;
class QTcpSocket;
class sendThread;

// The one way a front end (the window, the command line, a test) runs the worker: started
// in its own thread, commanded with its data written in one place, stopped and joined.
class WorkerHandle {
public:
    explicit WorkerHandle(quint16 port = defaultPort, PieceSink *sink = nullptr);
    ~WorkerHandle(); // stops the thread first
    WorkerHandle(const WorkerHandle &) = delete;
    WorkerHandle &operator=(const WorkerHandle &) = delete;

    sendThread *get() const { return worker; }
    sendThread *operator->() const { return worker; }

    // Command data, under the worker's command mutex. A caller that queues the command
    // itself (the window, through its signal) writes the data here first.
    void setHost(const QString &host) const;
    void setTarget(QTcpSocket *target) const;
    void setSend(QTcpSocket *target, const QStringList &paths) const;

    // Queues a command for the worker thread.
    void command(int cmd) const;
    void connectTo(const QString &host) const;
    void sendFiles(QTcpSocket *target, const QStringList &paths) const;
    // Stops the file in progress and drops the rest of its batch, and of any send command
    // written before this call.
    void stopSending() const;

    // Ends the worker's thread; before the objects that hear its signals go.
    void stop() const;

private:
    sendThread *worker;
};

#endif
