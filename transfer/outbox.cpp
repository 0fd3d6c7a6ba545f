#include "transfer/outbox.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMutexLocker>

namespace {
const QEvent::Type drainEvent = QEvent::Type(QEvent::registerEventType());
}

void Outbox::post(std::function<void()> call)
{
    QMutexLocker lock(&mutex);
    if (held.empty())
        heldSince.start();
    held.push_back(std::move(call));
    drainHeld(true);
}

void Outbox::flush()
{
    QMutexLocker lock(&mutex);
    drainHeld(false);
}

void Outbox::flushIfDue()
{
    QMutexLocker lock(&mutex);
    drainHeld(true);
}

void Outbox::drainHeld(bool onlyDue)
{
    if (held.empty() || posted || (onlyDue && heldSince.elapsed() < maxHoldMs))
        return;
    posted = true;
    QCoreApplication::postEvent(this, new QEvent(drainEvent));
}

bool Outbox::event(QEvent *event)
{
    if (event->type() != drainEvent)
        return QObject::event(event);
    std::vector<std::function<void()>> calls;
    {
        QMutexLocker lock(&mutex);
        calls.swap(held);
        posted = false;
    }
    for (const auto &call : calls)
        call();
    return true;
}
