// The command line's output queue, its reader stalled and then back.
#include <QtTest>

#include <memory>

#include "app/outputqueue.h"

#ifdef Q_OS_UNIX
#include <poll.h>
#include <unistd.h>
#endif

class tst_OutputQueue : public QObject {
    Q_OBJECT
private slots:
    void receivedFileLinesPastTheBoundAreCounted();
};

// Faults: lines of received files held without bound while nobody reads (a peer's flood of
// empty files grew the receiver by the megabyte), lines lost without a count of them, or a
// count that is wrong or out of place.
void tst_OutputQueue::receivedFileLinesPastTheBoundAreCounted()
{
#ifndef Q_OS_UNIX
    QSKIP("a pipe left unread stands for the stalled reader");
#else
    int fds[2];
    QVERIFY(::pipe(fds) == 0);
    FILE *stream = ::fdopen(fds[1], "w");
    QVERIFY(stream);
    // Far more than the pipe holds besides the bound.
    const int count = 50000;
    const qint64 bound = 4096;
    const auto line = [](int i) { return "line " + QByteArray::number(i).rightJustified(6, '0') + '\n'; };
    auto queue = std::make_unique<OutputQueue>(stream, bound, bound);
    for (int i = 0; i < count; ++i)
        queue->add(line(i), OutputQueue::Kept);

    // The reader comes back.
    const QByteArray said = " lines not shown: the output was not being read\n";
    QByteArray out;
    pollfd readable{fds[0], POLLIN, 0};
    while (!out.endsWith(said) && !out.endsWith(line(count - 1)) && ::poll(&readable, 1, 5000) > 0) {
        char buffer[65536];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, int(n));
    }
    queue.reset();
    std::fclose(stream);
    ::close(fds[0]);

    // Each count stands where its lines would have been.
    int next = 0;
    int counts = 0;
    for (const QByteArray &got : out.split('\n')) {
        if (got.isEmpty())
            continue;
        if ((got + '\n').endsWith(said)) {
            ++counts;
            next += got.mid(got.indexOf(' ') + 1).split(' ').first().toInt();
            continue;
        }
        QCOMPARE(got + '\n', line(next));
        ++next;
    }
    QVERIFY(counts > 0);
    QCOMPARE(next, count);
#endif
}

QTEST_GUILESS_MAIN(tst_OutputQueue)
#include "tst_outputqueue.moc"
