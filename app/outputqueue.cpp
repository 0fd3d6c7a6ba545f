#include "app/outputqueue.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

#include <cerrno>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {
// The raw descriptor, not the C stream: a writer blocked inside a stream would hold its
// lock, and the flush at exit would wait on it for good.
bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
#ifdef Q_OS_WIN
        const int n = ::_write(fd, data, unsigned(qMin<qint64>(size, 1 << 20)));
#else
        const ssize_t n = ::write(fd, data, size_t(size));
#endif
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// Writers left blocked at the end, kept reachable: they are still in use.
QThread *abandonedWriters[2] = {};
int abandonedCount = 0;
} // namespace

namespace {
int descriptorOf(FILE *stream)
{
    std::fflush(stream);
#ifdef Q_OS_WIN
    return ::_fileno(stream);
#else
    return ::fileno(stream);
#endif
}
} // namespace

OutputQueue::OutputQueue(FILE *stream, qint64 droppableBound, qint64 keptLineBound)
    : OutputQueue(stream, nullptr, droppableBound, keptLineBound)
{
}

OutputQueue::OutputQueue(FILE *stream, FILE *second, qint64 droppableBound, qint64 keptLineBound)
    : bound(droppableBound), keptBound(keptLineBound), shared(new Shared)
{
    shared->fd = descriptorOf(stream);
    shared->secondFd = second ? descriptorOf(second) : -1;
    writer = new Writer(shared);
    writer->start();
}

OutputQueue::~OutputQueue()
{
    bool done;
    {
        QMutexLocker lock(&shared->mutex);
        shared->ending = true;
        shared->changed.wakeAll();
        const QDeadlineTimer deadline(drainMs);
        while (!shared->done && !deadline.hasExpired())
            shared->changed.wait(&shared->mutex, deadline);
        done = shared->done;
    }
    if (!done) {
        // Blocked in the system's write: nothing portable wakes it, and the end of the
        // process ends it.
        abandonedWriters[abandonedCount++ % 2] = writer;
        return;
    }
    writer->wait();
    delete writer;
    delete shared;
}

void OutputQueue::add(const QByteArray &line, Kind kind, bool toSecond)
{
    toSecond = toSecond && shared->secondFd >= 0;
    QMutexLocker lock(&shared->mutex);
    std::deque<Entry> &entries = shared->entries;
    qint64 &held = kind == Droppable ? shared->droppableBytes : shared->keptBytes;
    if (held + line.size() > (kind == Droppable ? bound : keptBound)) {
        if (!entries.empty() && entries.back().leftOut > 0 && entries.back().second == toSecond)
            ++entries.back().leftOut;
        else
            entries.push_back(Entry{QByteArray(), false, 1, toSecond});
    } else {
        entries.push_back(Entry{line, kind == Droppable, 0, toSecond});
        held += line.size();
    }
    shared->changed.wakeAll();
}

void OutputQueue::Writer::run()
{
    QMutexLocker lock(&shared->mutex);
    bool broken[2] = {}; // a stream that failed is not tried again
    for (;;) {
        while (shared->entries.empty() && !shared->ending)
            shared->changed.wait(&shared->mutex);
        if (shared->entries.empty())
            break;
        Entry entry = std::move(shared->entries.front());
        shared->entries.pop_front();
        (entry.droppable ? shared->droppableBytes : shared->keptBytes) -= entry.line.size();
        lock.unlock();
        if (entry.leftOut > 0)
            entry.line = "lumo-transfer: " + QByteArray::number(entry.leftOut)
                + " lines not shown: the output was not being read\n";
        bool &failed = broken[entry.second ? 1 : 0];
        if (!failed)
            failed = !writeAll(entry.second ? shared->secondFd : shared->fd, entry.line.constData(), entry.line.size());
        lock.relock();
    }
    shared->done = true;
    shared->changed.wakeAll();
}
