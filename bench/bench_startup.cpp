// Start-up to listening: the time from starting a process that builds the window in the
// server role until its port accepts a connection. The child is this program itself, run as
// the application would run (a window, a first start without settings) on a free port.
//
// Usage: bench_startup [runs]        prints one figure per run and the median
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/mainwindow.h"

namespace {

int runChild(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const quint16 port = quint16(QString::fromLocal8Bit(argv[2]).toUInt());
    MainWindow w(port, QString::fromLocal8Bit(argv[3]));
    w.show();
    return app.exec();
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Milliseconds from the child's start until its port accepts, or -1.
qint64 measureOnce(const QString &self)
{
    QTemporaryDir dir;
    const quint16 port = freePort();
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.debug=false"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);

    QElapsedTimer clock;
    clock.start();
    child.start(self, {QStringLiteral("--child"), QString::number(port), dir.filePath(QStringLiteral("settings.ini"))});

    qint64 result = -1;
    QEventLoop loop;
    QTcpSocket probe;
    QTimer retry;
    retry.setSingleShot(true);
    QObject::connect(&retry, &QTimer::timeout, [&] { probe.connectToHost(QHostAddress::LocalHost, port); });
    QObject::connect(&probe, &QTcpSocket::connected, [&] {
        result = clock.elapsed();
        loop.quit();
    });
    QObject::connect(&probe, &QTcpSocket::errorOccurred, [&] {
        probe.abort();
        retry.start(2); // refused: not listening yet
    });
    QObject::connect(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    retry.start(0);
    loop.exec();

    child.kill();
    child.waitForFinished(5000);
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);

    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? qMax(1, QString::fromLocal8Bit(argv[1]).toInt()) : 5;
    std::vector<qint64> times;
    for (int i = 0; i < runs; ++i) {
        const qint64 ms = measureOnce(QCoreApplication::applicationFilePath());
        if (ms < 0) {
            std::fprintf(stderr, "run %d: the port never accepted\n", i + 1);
            return 1;
        }
        std::printf("run %d: start-up to listening %lld ms\n", i + 1, static_cast<long long>(ms));
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    std::printf("median start-up to listening: %lld ms (target < 1000 ms)\n",
                static_cast<long long>(times[times.size() / 2]));
    return 0;
}
