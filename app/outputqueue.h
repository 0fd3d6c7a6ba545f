#ifndef LUMO_APP_OUTPUTQUEUE_H
#define LUMO_APP_OUTPUTQUEUE_H

#include <QByteArray>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <cstdio>
#include <deque>

// Lines for one output stream, written in order by a thread of their own, so that a reader
// that stops reading never blocks the event loop (signals still end the program). Lines that
// may be left out (texts, notices) are held up to a bound; past it they are counted, and the
// count is written as one line where they would have been. Kept lines (received files) are
// held to a larger bound of their own, since a peer can send empty files without end too.
// Given a second stream, its lines go through the same writer, so that two streams that end
// up in one place (stdout and stderr on one terminal or file) keep the order of the adds.
class OutputQueue {
public:
    enum Kind { Kept, Droppable };

    explicit OutputQueue(FILE *stream, qint64 droppableBound = defaultBound, qint64 keptLineBound = defaultKeptBound);
    OutputQueue(FILE *stream, FILE *second, qint64 droppableBound = defaultBound,
                qint64 keptLineBound = defaultKeptBound);
    // Waits up to drainMs for the lines to be written; a writer still blocked then is left
    // to the end of the process.
    ~OutputQueue();
    OutputQueue(const OutputQueue &) = delete;
    OutputQueue &operator=(const OutputQueue &) = delete;

    // line ends with its newline; toSecond: for the second stream (ignored without one).
    void add(const QByteArray &line, Kind kind, bool toSecond = false);

    static constexpr qint64 defaultBound = 1024 * 1024;
    static constexpr qint64 defaultKeptBound = 4 * 1024 * 1024;
    static constexpr int drainMs = 250;

private:
    struct Entry {
        QByteArray line;
        bool droppable = false;
        qint64 leftOut = 0; // > 0: stands for that many lines left out
        bool second = false;
    };
    struct Shared {
        int fd = -1;
        int secondFd = -1;
        QMutex mutex;
        QWaitCondition changed; // with mutex: a line added, the end asked, the writer done
        std::deque<Entry> entries;
        qint64 droppableBytes = 0; // of the entries held
        qint64 keptBytes = 0;
        bool ending = false;
        bool done = false; // the writer has written everything it will
    };
    class Writer : public QThread {
    public:
        explicit Writer(Shared *shared) : shared(shared) {}
    protected:
        void run() override;
    private:
        Shared *shared;
    };

    const qint64 bound;
    const qint64 keptBound;
    Shared *shared;
    Writer *writer;
};

#endif
