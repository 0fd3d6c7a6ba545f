#include "transfer/spaceledger.h"

#include <QMutex>
#include <QMutexLocker>

namespace {
// The ledger's own, held for nothing but the sum; constant-initialised, so usable whenever.
QBasicMutex mutex;
quint64 total = 0; // under mutex
} // namespace

bool spaceLedger::grant(std::optional<qint64> room, quint64 bytes)
{
    QMutexLocker lock(&mutex);
    if (room && (*room < 0 || total > quint64(*room) || bytes > quint64(*room) - total))
        return false;
    total += bytes;
    return true;
}

void spaceLedger::adjust(quint64 from, quint64 to)
{
    if (from == to)
        return;
    QMutexLocker lock(&mutex);
    total = total - from + to;
}

quint64 spaceLedger::granted()
{
    QMutexLocker lock(&mutex);
    return total;
}
