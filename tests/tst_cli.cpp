// The built program as a script or a service manager meets it: arguments in, exit status,
// output and files out.
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include "app/cli.h"
#include "tests/freeport.h"
#include "transfer/wireformat.h"

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
const QString program = QStringLiteral(LUMO_EXE);
constexpr int bound = 30000; // ms: every wait for the program ends here at the latest

QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((unsigned(i) * 7919u) >> 3);
    return bytes;
}

bool finishes(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return true;
    qRegisterMetaType<QProcess::ExitStatus>();
    QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    return finished.wait(bound);
}

#ifdef Q_OS_LINUX
// Whether the process has its own handler for the signal, from the kernel's view of it.
bool catches(qint64 pid, int signal)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1;
    }
    return false;
}
#endif
} // namespace

class tst_Cli : public QObject {
    Q_OBJECT
private slots:
    void commands_data();
    void commands();
    void receiveEndsWhileOutputBlocked();
    void receiveInterruptedNamesParts();
    void progressLineFits_data();
    void progressLineFits();
    void signalEndsWindowAsClose();
};

// Faults: an exit status that says success for a failed send or the reverse, the last bytes
// lost when the sender exits, a receiver that dies or fails on SIGTERM, usage errors run or
// reported as failures, a failure without its reason.
void tst_Cli::commands_data()
{
    QTest::addColumn<bool>("receiver");
    // After "--port N"; "@" stands for the files, "|" for a named pipe, "/" for a folder of them,
    // "!" for that folder where the receiver holds a file in place of its subfolder, ":" for a
    // folder whose name the framing cannot carry. An argument with "#" (the port) names the
    // port itself, and "~" runs without --port and without a display.
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason"); // part of stderr

    QTest::newRow("send to receive") << true << QStringList{QStringLiteral("send"), QStringLiteral("127.0.0.1"),
                                                            QStringLiteral("@")}
                                     << 0 << QStringLiteral("sent");
    QTest::newRow("a folder with a subfolder and an empty one, to an instance")
        << true << QStringList{QStringLiteral("send"), QStringLiteral("127.0.0.1"), QStringLiteral("/")} << 0
        << QStringLiteral("sent");
    // Its other files go whole with their offers, before the refusal comes back.
    QTest::newRow("a folder with a file the receiver refuses, to an instance")
        << true << QStringList{QStringLiteral("send"), QStringLiteral("127.0.0.1"), QStringLiteral("!")} << 1
        << QStringLiteral("leaf.txt: the receiver refused it");
    QTest::newRow("a folder named with a colon, to an instance")
        << true << QStringList{QStringLiteral("send"), QStringLiteral("127.0.0.1"), QStringLiteral(":")} << 1
        << QStringLiteral("a name that cannot be sent");
    QTest::newRow("a missing file among them")
        << true << QStringList{QStringLiteral("send"), QStringLiteral("127.0.0.1"), QStringLiteral("@"), QStringLiteral("missing.bin")}
        << 1 << QStringLiteral("missing.bin: No such file or directory");
    // Opening it would wait for a writer for good.
    QTest::newRow("a named pipe among them")
        << true << QStringList{QStringLiteral("send"), QStringLiteral("127.0.0.1"), QStringLiteral("|"), QStringLiteral("@")}
        << 1 << QStringLiteral("a named pipe, not a regular file");
    QTest::newRow("nobody listening") << false << QStringList{QStringLiteral("send"), QStringLiteral("127.0.0.1"),
                                                              QStringLiteral("@")}
                                      << 1 << QStringLiteral("cannot connect");
    QTest::newRow("send without a file") << false << QStringList{QStringLiteral("send"), QStringLiteral("::1")} << 2
                                         << QStringLiteral("--help");
    QTest::newRow("unknown command") << false << QStringList{QStringLiteral("fetch")} << 2
                                     << QStringLiteral("unknown command");
    QTest::newRow("unknown command without a display")
        << false << QStringList{QStringLiteral("~"), QStringLiteral("fetch")} << 2
        << QStringLiteral("unknown command 'fetch'");
    QTest::newRow("HOST:PORT without --port")
        << true << QStringList{QStringLiteral("send"), QStringLiteral("127.0.0.1:#"), QStringLiteral("@")} << 0
        << QStringLiteral("sent");
    QTest::newRow("--help-all") << false << QStringList{QStringLiteral("--help-all")} << 0
                                << QString();
    QTest::newRow("- for standard input")
        << false << QStringList{QStringLiteral("send"), QStringLiteral("127.0.0.1"), QStringLiteral("-")} << 2
        << QStringLiteral("standard input");
}

void tst_Cli::commands()
{
    QFETCH(bool, receiver);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, reason);

    QTemporaryDir outDir, inDir;
    QMap<QString, QByteArray> files{{QStringLiteral("large.bin"), pattern(3 * 1000 * 1000 + 17)},
                                    {QStringLiteral("name with spaces.txt"), QByteArray("hello\n")},
                                    {QStringLiteral("100%2 of %1.txt"), QByteArray("no placeholders")},
                                    {QStringLiteral("empty"), QByteArray()}};
    const bool blocked = args.contains(QStringLiteral("!"));
    if (blocked)
        args.replace(args.indexOf(QStringLiteral("!")), QStringLiteral("/"));
    const int folderAt = args.indexOf(QStringLiteral("/"));
    // It arrives under its own name, the levels below it and an empty folder included.
    const QString folder = folderAt >= 0 ? QDir(outDir.path()).dirName() + QLatin1Char('/') : QString();
    if (folderAt >= 0) {
        args[folderAt] = outDir.path();
        files.insert(QStringLiteral("sub/deeper/leaf.txt"), QByteArray("two levels down"));
        QVERIFY(QDir(outDir.path()).mkpath(QStringLiteral("sub/deeper")));
        QVERIFY(QDir(outDir.path()).mkpath(QStringLiteral("nothing here")));
    }
    QStringList paths;
    for (auto it = files.begin(); it != files.end(); ++it) {
        QFile f(outDir.filePath(it.key()));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(it.value());
        paths << f.fileName();
    }
    if (blocked) {
        QVERIFY(QDir(inDir.path()).mkpath(folder));
        QFile in(inDir.filePath(folder + QStringLiteral("sub")));
        QVERIFY(in.open(QIODevice::WriteOnly));
        files.remove(QStringLiteral("sub/deeper/leaf.txt"));
    }
    const int pipeAt = args.indexOf(QStringLiteral("|"));
    if (pipeAt >= 0) {
#ifdef Q_OS_UNIX
        args[pipeAt] = outDir.filePath(QStringLiteral("pipe"));
        QVERIFY(::mkfifo(QFile::encodeName(args[pipeAt]).constData(), 0600) == 0);
#else
        QSKIP("no named pipes in the file system");
#endif
    }
    const int colonAt = args.indexOf(QStringLiteral(":"));
    if (colonAt >= 0) {
#ifdef Q_OS_WIN
        QSKIP("no colon in a Windows name");
#else
        args[colonAt] = outDir.filePath(QStringLiteral("a:b"));
        QVERIFY(QDir().mkpath(args[colonAt]));
        files.clear(); // nothing of it is sent
#endif
    }
    const int at = args.indexOf(QStringLiteral("@"));
    if (at >= 0)
        args = args.mid(0, at) + paths + args.mid(at + 1);
    const QString port = QString::number(freePort());

    QProcess receive;
    QByteArray said, out;
    if (receiver) {
        receive.start(program, {QStringLiteral("receive"), inDir.path(), QStringLiteral("--port"), port});
        QVERIFY(receive.waitForStarted(bound));
        connect(&receive, &QProcess::readyReadStandardError, this, [&] { said += receive.readAllStandardError(); });
        connect(&receive, &QProcess::readyReadStandardOutput, this, [&] { out += receive.readAllStandardOutput(); });
        QTRY_VERIFY_WITH_TIMEOUT(said.contains("listening"), bound);
    }

    QProcess run;
    const bool bare = args.removeAll(QStringLiteral("~")) > 0;
    if (bare) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        run.setProcessEnvironment(env);
    }
    const bool portGiven = bare || !args.filter(QStringLiteral("#")).isEmpty();
    args.replaceInStrings(QStringLiteral("#"), port);
    run.start(program, (portGiven ? QStringList() : QStringList{QStringLiteral("--port"), port}) + args);
    QVERIFY(finishes(run));
    const QString err = QString::fromLocal8Bit(run.readAllStandardError());
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QVERIFY2(run.exitCode() == status, qPrintable(err));
    QVERIFY2(err.contains(reason), qPrintable(err));

    if (!receiver)
        return;
    // The sender is done once its bytes have left; the receiver reports each file it stored.
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QByteArray line = QString(folder + it.key() + QLatin1Char('\t') + QString::number(it.value().size())).toUtf8();
        QTRY_VERIFY2_WITH_TIMEOUT(out.contains(line), out.constData(), bound);
        QFile f(inDir.filePath(folder + it.key()));
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(it.key()));
        QVERIFY2(f.readAll() == it.value(), qPrintable(it.key()));
    }
    if (!folder.isEmpty())
        QVERIFY(QFileInfo(inDir.filePath(folder + QStringLiteral("nothing here"))).isDir());
    receive.terminate(); // SIGTERM, or WM_CLOSE on Windows: ends as the window closes
    QVERIFY(finishes(receive));
    QCOMPARE(receive.exitStatus(), QProcess::NormalExit);
    QCOMPARE(receive.exitCode(), 0);
}

// Faults: a receiver whose event loop waits on a reader that does not read, so that SIGTERM
// no longer ends it (and its memory grows with every text).
void tst_Cli::receiveEndsWhileOutputBlocked()
{
#ifndef Q_OS_UNIX
    QSKIP("a named pipe stands for the reader that does not read");
#else
    QTemporaryDir dir;
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("out")));
    QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK); // held, never read
    QVERIFY(reader >= 0);
    const QString port = QString::number(freePort());
    QProcess receive;
    QByteArray said;
    receive.setStandardOutputFile(QFile::decodeName(fifo));
    connect(&receive, &QProcess::readyReadStandardError, this, [&] { said += receive.readAllStandardError(); });
    receive.start(program, {QStringLiteral("receive"), dir.path(), QStringLiteral("--port"), port});
    QVERIFY(receive.waitForStarted(bound));
    QTRY_VERIFY_WITH_TIMEOUT(said.contains("listening"), bound);

    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, port.toUShort());
    QVERIFY(peer.waitForConnected(bound));
    // One text per read, until the pipe is full and more wait behind it.
    const auto held = [reader] {
        int bytes = 0;
        return ::ioctl(reader, FIONREAD, &bytes) == 0 ? bytes : -1;
    };
    int afterFull = 0;
    QTimer texts;
    connect(&texts, &QTimer::timeout, this, [&] {
        peer.write(QByteArray(4000, 'x'));
        if (held() >= 60000)
            ++afterFull;
    });
    texts.start(5);
    QTRY_VERIFY_WITH_TIMEOUT(afterFull >= 40, bound);
    texts.stop();

    QElapsedTimer ending;
    ending.start();
    receive.terminate();
    QVERIFY(finishes(receive));
    QVERIFY2(ending.elapsed() < 5000, QByteArray::number(ending.elapsed()).constData());
    QCOMPARE(receive.exitStatus(), QProcess::NormalExit);
    QCOMPARE(receive.exitCode(), 0);
    ::close(reader);
#endif
}

// Faults: a receive cut off by Ctrl-C that says nothing of the part it left, or reports
// success.
void tst_Cli::receiveInterruptedNamesParts()
{
#ifndef Q_OS_UNIX
    QSKIP("sends SIGINT");
#else
    QTemporaryDir dir;
    const QString port = QString::number(freePort());
    QProcess receive;
    QByteArray said;
    connect(&receive, &QProcess::readyReadStandardError, this, [&] { said += receive.readAllStandardError(); });
    receive.start(program, {QStringLiteral("receive"), dir.path(), QStringLiteral("--port"), port});
    QVERIFY(receive.waitForStarted(bound));
    QTRY_VERIFY_WITH_TIMEOUT(said.contains("listening"), bound);

    // A sender that declares much and sends little, then waits.
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, port.toUShort());
    QVERIFY(peer.waitForConnected(bound));
    peer.write(wire::startMarker + "big.bin" + wire::sizeMarker + "400000000" + wire::sizeEndMarker
               + pattern(5000));
    QVERIFY(peer.waitForBytesWritten(bound));
    // Stored, but for the few the engine holds back in case they begin the end marker.
    const auto stored = [&dir] {
        const QFileInfoList files = QDir(dir.path()).entryInfoList(QDir::Files | QDir::Hidden);
        return files.isEmpty() ? 0 : files.first().size();
    };
    QTRY_VERIFY_WITH_TIMEOUT(stored() >= 5000 - wire::endMarker.size(), bound);
    ::kill(pid_t(receive.processId()), SIGINT);
    QVERIFY(finishes(receive));
    said += receive.readAllStandardError();
    QCOMPARE(receive.exitStatus(), QProcess::NormalExit);
    QVERIFY2(receive.exitCode() == 1, said.constData());
    QVERIFY2(said.contains("big.bin.part, 5000 bytes"), said.constData());
    QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("big.bin.part"))).size(), qint64(5000));
#endif
}

// Faults: a progress line wider than the terminal (every redraw scrolls a new line), or
// one without the byte counts and the rate.
void tst_Cli::progressLineFits_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("columns");
    const QString longName = QStringLiteral("quarterly-report-with-a-very-long-name-2026-12-08-final.pdf");
    // Two columns each in a terminal.
    const QString wideName = QString(30, QChar(0x62a5));
    QTest::newRow("80, long name") << longName << 80;
    QTest::newRow("60, long name") << longName << 60;
    QTest::newRow("60, wide characters") << wideName << 60;
    QTest::newRow("80, wide characters") << wideName << 80;
}

void tst_Cli::progressLineFits()
{
    QFETCH(QString, name);
    QFETCH(int, columns);
    const qint64 total = 3LL * 1024 * 1024 * 1024 + 17;
    for (const qint64 done : {qint64(0), total / 3, total}) {
        const QString line = cli::progressLine(name, done, total, 61000, columns);
        int used = 0;
        for (const QChar c : line)
            used += c.unicode() >= 0x2e80 ? 2 : 1;
        QVERIFY2(used < columns, qPrintable(line));
        QVERIFY2(line.contains(QStringLiteral(" / 3.0 GiB")) && line.contains(QStringLiteral("MiB/s")), qPrintable(line));
    }
}

// Faults: a signal that kills the window on the spot (settings not written), or ends it with
// a failure status.
void tst_Cli::signalEndsWindowAsClose()
{
#ifndef Q_OS_LINUX
    QSKIP("reads the signal disposition from /proc");
#else
    QTemporaryDir dir; // the window keeps settings.ini beside its executable
    const QString copy = dir.filePath(QStringLiteral("lumo-transfer"));
    QVERIFY(QFile::copy(program, copy));
    const QString ini = dir.filePath(QStringLiteral("settings.ini"));
    {
        QSettings s(ini, QSettings::IniFormat);
        s.setValue(QStringLiteral("socketType"), QStringLiteral("client")); // listens nowhere
    }
    QProcess window;
    window.setProcessChannelMode(QProcess::ForwardedChannels);
    window.start(copy, QStringList());
    QVERIFY(window.waitForStarted(bound));
    QTRY_VERIFY_WITH_TIMEOUT(catches(window.processId(), SIGTERM), bound);
    window.terminate();
    QVERIFY(finishes(window));
    QCOMPARE(window.exitStatus(), QProcess::NormalExit);
    QCOMPARE(window.exitCode(), 0);
    const QSettings written(ini, QSettings::IniFormat);
    QCOMPARE(written.value(QStringLiteral("socketType")).toString(), QStringLiteral("client"));
    QVERIFY(written.contains(QStringLiteral("saveFilePath"))); // only the close writes it
#endif
}

QTEST_MAIN(tst_Cli)
#include "tst_cli.moc"
