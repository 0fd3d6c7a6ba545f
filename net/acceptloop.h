#ifndef LUMO_NET_ACCEPTLOOP_H
#define LUMO_NET_ACCEPTLOOP_H

#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;

// Takes connections off a listening socket. The server's own loop retries a failed accept
// (out of descriptors) on every event loop turn and so spins; this one rests instead, twice
// as long after each further failure, and takes a bounded number per notice so that a
// stream of peers cannot starve the sockets' reads. Lives in the thread that owns the
// listener and must be destroyed before the listener is closed.
class AcceptLoop : public QObject {
    Q_OBJECT
public:
    AcceptLoop(qintptr listener, QObject *parent = nullptr);
    ~AcceptLoop() override;

    static constexpr int pauseMs = 200;
    static constexpr int longestPauseMs = 3200;
    static constexpr int perNotice = 64;

    // Closes a descriptor accepted here that no socket took over.
    static void closeDescriptor(qintptr descriptor);

signals:
    // One connection, already close-on-exec; the receiver owns the descriptor.
    void accepted(qintptr descriptor);
    // The accepts of one notice are done.
    void batchDone();
    // Accepting failed and rests for a while; the system's text for the failure.
    void failed(const QString &error);

private:
    void acceptWaiting();
    void resume();

    const qintptr listener;
    QSocketNotifier *notifier = nullptr;
    QTimer *retry = nullptr;
    int pause = pauseMs;
};

#endif
