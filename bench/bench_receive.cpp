// Receive engine throughput against plain file writes, and the engine's processor use while
// idle. Prints figures; it is not a test.
//
//   bench_receive [MiB (1024)] [idle seconds (10)] [directory (current)]

#include "transfer/receivethread.h"
#include "transfer/wireformat.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

#ifdef Q_OS_LINUX
#include <pthread.h>
#include <time.h>
#endif

namespace {

QByteArray header(const QByteArray &name, qint64 size)
{
    return wire::startMarker + name + wire::sizeMarker + QByteArray::number(size) + wire::sizeEndMarker;
}

// Each piece is a fresh copy, as a socket read would be.
QByteArray pieceAt(const QByteArray &block, qint64 offset, qint64 total)
{
    return QByteArray(block.constData(), int(qMin<qint64>(block.size(), total - offset)));
}

double plainWrite(const QString &path, const QByteArray &block, qint64 total)
{
    QElapsedTimer clock;
    clock.start();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        qFatal("cannot open %s", qPrintable(path));
    for (qint64 offset = 0; offset < total; offset += block.size()) {
        const QByteArray piece = pieceAt(block, offset, total);
        if (file.write(piece) != piece.size())
            qFatal("write failed");
    }
    file.close();
    return clock.nsecsElapsed() / 1e9;
}

// Feeds one transfer through the queue as the worker does: reads of up to eight pieces,
// paused above the high-water mark until the engine reports the queue drained.
double engineWrite(const QString &dir, const QByteArray &block, qint64 total)
{
    receiveDirPath.set(dir);
    receiveThread engine;
    QEventLoop loop;
    int finishCode = -1;
    QObject::connect(&engine, &receiveThread::sendRecState, &loop, [&](int code) {
        if (code == RecFinished || code == RecTimeout || code == RecWriteFailed || code == RecCreateFailed) {
            finishCode = code;
            loop.quit();
        }
    });
    qint64 offset = 0;
    bool endSent = false;
    const auto produce = [&] {
        while (!endSent && engine.queuedBytes() < receiveThread::highWater) {
            QList<ReceivedPiece> read;
            for (int i = 0; i < 8 && offset < total; ++i, offset += block.size())
                read << ReceivedPiece{1, pieceAt(block, offset, total), false};
            if (offset >= total) {
                read << ReceivedPiece{1, wire::endMarker, false};
                endSent = true;
            }
            engine.appendPieces(read);
        }
    };
    QObject::connect(&engine, &receiveThread::queueDrained, &loop, produce);
    engine.start();

    QElapsedTimer clock;
    clock.start();
    engine.appendPieces({ReceivedPiece{1, header("engine.bin", total), false}});
    produce();
    loop.exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (finishCode != RecFinished)
        qFatal("the engine ended with code %d", finishCode);
    if (QFileInfo(QDir(dir).filePath(QStringLiteral("engine.bin"))).size() != total)
        qFatal("the engine wrote a file of the wrong size");
    return seconds;
}

// Processor time of the engine thread over an idle period, in percent of one core.
double idleCpu(int seconds)
{
#ifdef Q_OS_LINUX
    receiveThread engine;
    pthread_t thread{};
    QEventLoop loop;
    QObject::connect(&engine, &receiveThread::sendRecState, &engine,
                     [&thread](int) { thread = pthread_self(); }, Qt::DirectConnection);
    QObject::connect(&engine, &receiveThread::sendRecState, &loop, &QEventLoop::quit);
    engine.start();
    engine.appendPieces({ReceivedPiece{1, wire::greeting, false}});
    loop.exec();
    clockid_t clock{};
    if (pthread_getcpuclockid(thread, &clock) != 0)
        return -1;
    const auto cpuNs = [clock] {
        timespec t{};
        clock_gettime(clock, &t);
        return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
    };
    const qint64 before = cpuNs();
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    return 100.0 * double(cpuNs() - before) / (seconds * 1e9);
#else
    Q_UNUSED(seconds)
    return -1;
#endif
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qint64 mib = args.size() > 1 ? args.at(1).toLongLong() : 1024;
    const int idleSeconds = args.size() > 2 ? args.at(2).toInt() : 10;
    const QString where = args.size() > 3 ? args.at(3) : QDir::currentPath();
    if (mib <= 0 || idleSeconds < 0) {
        std::fprintf(stderr, "usage: bench_receive [MiB] [idle seconds] [directory]\n");
        return 2;
    }
    QTemporaryDir dir(QDir(where).filePath(QStringLiteral("bench_receive-XXXXXX")));
    if (!dir.isValid())
        qFatal("cannot create a directory in %s", qPrintable(where));

    const qint64 total = mib * 1024 * 1024;
    QByteArray block(wire::packetSize, Qt::Uninitialized);
    for (char &c : block)
        c = char(QRandomGenerator::global()->bounded(256));

    // Alternate the two and keep the best of each, so that background write-back of one run
    // does not count against the other alone.
    double plain = 1e300, engine = 1e300;
    for (int round = 0; round < 2; ++round) {
        plain = qMin(plain, plainWrite(dir.filePath(QStringLiteral("plain.bin")), block, total));
        QFile::remove(dir.filePath(QStringLiteral("plain.bin")));
        engine = qMin(engine, engineWrite(dir.path(), block, total));
        QFile::remove(dir.filePath(QStringLiteral("engine.bin")));
    }
    const double mibD = double(total) / (1024 * 1024);
    std::printf("data: %lld MiB in %d-byte pieces, files in %s\n", static_cast<long long>(mib), wire::packetSize,
                qPrintable(where));
    std::printf("plain file writes: %.3f s, %.0f MiB/s\n", plain, mibD / plain);
    std::printf("receive engine:    %.3f s, %.0f MiB/s\n", engine, mibD / engine);
    std::printf("ratio (engine / plain throughput): %.2f\n", plain / engine);
    std::fflush(stdout);
    if (idleSeconds > 0) {
        const double cpu = idleCpu(idleSeconds);
        if (cpu < 0)
            std::printf("idle engine processor use: not measured on this system\n");
        else
            std::printf("idle engine processor use over %d s: %.3f %% of a core\n", idleSeconds, cpu);
    }
    return 0;
}
