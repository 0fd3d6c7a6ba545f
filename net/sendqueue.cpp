#include "net/sendqueue.h"

#include "net/codes.h"

void SendQueue::begin(QTcpSocket *target, const QStringList &paths)
{
    *this = SendQueue();
    to = target;
    pending = paths;
    pendingNames = QStringList();
    for (int i = 0; i < paths.size(); ++i)
        pendingNames << QString();
    active = true;
    clock.start();
}

QString SendQueue::takeNext()
{
    ++counts.position;
    current = pending.takeFirst();
    name = pendingNames.isEmpty() ? QString() : pendingNames.takeFirst();
    return current;
}

void SendQueue::expand(const QStringList &files, const QStringList &names)
{
    --counts.position;
    ++counts.folders;
    pending = files + pending;
    pendingNames = names + pendingNames;
}

bool SendQueue::ended(int code, qint64 fileBytes)
{
    if (code == TransFinished) {
        ++counts.sent;
        counts.bytes += fileBytes;
    } else {
        ++counts.failed;
    }
    // After a stop or a lost connection the rest would only fail one by one; a file that
    // could not be opened or read leaves the connection fit for the next one.
    return code != TransStopped && code != TransDisconnected;
}

void SendQueue::dropRest(bool targetGone)
{
    counts.dropped += int(pending.size());
    counts.targetGone = counts.targetGone || (targetGone && !pending.isEmpty());
    pending.clear();
    pendingNames.clear();
}

BatchStatus SendQueue::status() const
{
    BatchStatus s = counts;
    s.total = counts.position + int(pending.size()) + counts.dropped;
    s.elapsedNs = clock.isValid() ? clock.nsecsElapsed() : 0;
    s.path = current;
    s.name = name;
    return s;
}
