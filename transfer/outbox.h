#ifndef LUMO_TRANSFER_OUTBOX_H
#define LUMO_TRANSFER_OUTBOX_H

#include <QElapsedTimer>
#include <QMutex>
#include <QObject>

#include <functional>
#include <vector>

// Calls from a busy thread, run in the thread the outbox lives in, in the order posted. They
// are held until flush(), so that a run of them costs that thread one wake-up: a tree of
// small files would otherwise wake the front end a few times per file, which on two cores
// costs as much as storing the file. A call held longer than maxHoldMs goes with the next
// post, so a thread that never rests still reports.
class Outbox : public QObject {
public:
    explicit Outbox(QObject *parent = nullptr) : QObject(parent) {}

    static constexpr int maxHoldMs = 20;

    void post(std::function<void()> call); // any thread
    void flush();                          // any thread: what is held goes now
    void flushIfDue();                     // any thread: the same, once held for maxHoldMs

protected:
    bool event(QEvent *event) override;

private:
    void drainHeld(bool onlyDue); // under mutex: posts the drain unless one is on its way
    QMutex mutex;
    std::vector<std::function<void()>> held; // guarded by mutex
    QElapsedTimer heldSince;                 // guarded by mutex; of the oldest held call
    bool posted = false;                     // guarded by mutex: a drain is on its way
};

#endif
