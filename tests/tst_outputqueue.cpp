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
    void linesPastTheBoundAreCounted_data();
    void linesPastTheBoundAreCounted();
};

void tst_OutputQueue::linesPastTheBoundAreCounted_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("stalled"); // the reader reads only after the last line
    QTest::newRow("received files, reader stalled") << int(OutputQueue::Kept) << true;
    QTest::newRow("texts, reader stalled") << int(OutputQueue::Droppable) << true;
    // Past the bound in all, never at once: nothing may be left out.
    QTest::newRow("texts, reader keeping up") << int(OutputQueue::Droppable) << false;
    QTest::newRow("received files, reader keeping up") << int(OutputQueue::Kept) << false;
}

// Faults: lines of received files held without bound while nobody reads (a peer's flood of
// empty files grew the receiver by the megabyte), lines lost without a count of them, a
// count that is wrong or out of place, or lines left out although the reader kept up.
void tst_OutputQueue::linesPastTheBoundAreCounted()
{
    QFETCH(int, kind);
    QFETCH(bool, stalled);
#ifndef Q_OS_UNIX
    QSKIP("a pipe left unread stands for the stalled reader");
#else
    int fds[2];
    QVERIFY(::pipe(fds) == 0);
    FILE *stream = ::fdopen(fds[1], "w");
    QVERIFY(stream);
    // Stalled: far more than the pipe holds besides the bound.
    const int count = stalled ? 50000 : 2000;
    const qint64 bound = 4096;
    const auto line = [](int i) { return "line " + QByteArray::number(i).rightJustified(6, '0') + '\n'; };
    auto queue = std::make_unique<OutputQueue>(stream, bound, bound);
    const QByteArray said = " lines not shown: the output was not being read\n";
    QByteArray out;
    pollfd readable{fds[0], POLLIN, 0};
    const auto readUntil = [&](const QByteArray &last) {
        while (!out.endsWith(said) && !out.endsWith(last) && ::poll(&readable, 1, 5000) > 0) {
            char buffer[65536];
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            out.append(buffer, int(n));
        }
    };
    for (int i = 0; i < count; ++i) {
        queue->add(line(i), OutputQueue::Kind(kind));
        if (!stalled)
            readUntil(line(i));
    }
    readUntil(line(count - 1)); // the reader comes back
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
    QCOMPARE(counts > 0, stalled);
    QCOMPARE(next, count);
#endif
}

QTEST_GUILESS_MAIN(tst_OutputQueue)
#include "tst_outputqueue.moc"
