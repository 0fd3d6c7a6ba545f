// Takes the screenshots of docs/: the window at a first start, a server and a client
// window that have connected over loopback, greeted each other and moved a file, and the two
// again while a batch of files goes from the client to the server.
//
// Usage: grabwindow OUTPUT_DIR   (run under a display, e.g. xvfb-run; see screenshot.sh)
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextEdit>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

#include "app/mainwindow.h"

namespace {

// Runs the event loop until done() holds or the time is up.
bool waitUntil(const std::function<bool()> &done, int ms = 10000)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// A short pause with the event loop running, so that queued reports and painting settle.
void settle(int ms = 300)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, int(deadline.remainingTime()));
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

std::unique_ptr<MainWindow> openWindow(const QString &settingsFile, const QVariantMap &values, quint16 port)
{
    {
        QSettings settings(settingsFile, QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            settings.setValue(it.key(), it.value());
    }
    auto w = std::make_unique<MainWindow>(port, settingsFile);
    w->show();
    return w;
}

bool save(QWidget *w, const QString &path)
{
    settle();
    if (!w->grab().save(path)) {
        std::fprintf(stderr, "grabwindow: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

template <typename T>
T *child(MainWindow &w, const char *name)
{
    return w.findChild<T *>(QString::fromLatin1(name));
}

bool logHas(MainWindow &w, const QString &line)
{
    return child<QTextEdit>(w, "textEdit")->toPlainText().contains(line);
}

QString makeFile(const QTemporaryDir &tmp, const QString &name, int size)
{
    const QString path = tmp.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(QByteArray(size, 'x'));
    return path;
}

// The second file of three on its way: the sender's bar with rate and time left, the
// receiver's status bar with the arriving file.
bool grabBatch(MainWindow &client, MainWindow &server, const QTemporaryDir &tmp, const QString &recvDir,
               const QString &out)
{
    const QStringList names{QStringLiteral("季度报告.pdf"), QStringLiteral("设计图纸.dwg"), QStringLiteral("照片.zip")};
    const QStringList files{makeFile(tmp, names.at(0), 1536 * 1024), makeFile(tmp, names.at(1), 60 * 1000 * 1000),
                            makeFile(tmp, names.at(2), 2 * 1000 * 1000)};
    child<QTextEdit>(client, "textEdit")->clear();
    child<QTextEdit>(server, "textEdit")->clear();
    client.openFileDialog = [files](QWidget *, const QString &, const QString &) { return files; };
    child<QPushButton>(client, "fileTransmitBtn")->click();
    auto *bar = client.findChild<QProgressBar *>();
    const bool midway = waitUntil([&] {
        return logHas(client, QStringLiteral("(2/3)")) && bar && bar->value() >= 30
            && bar->format().contains(QStringLiteral("MB/s"));
    }, 30000);
    if (!midway) {
        std::fprintf(stderr, "grabwindow: the batch did not get going\n");
        return false;
    }
    const bool saved = save(&client, out + QStringLiteral("/batch.png")) && save(&server, out + QStringLiteral("/incoming.png"));
    waitUntil([&] { return logHas(client, QStringLiteral("批量传送结束")); }, 30000);
    for (const QString &name : names)
        QFile::remove(recvDir + QLatin1Char('/') + name);
    return saved;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: grabwindow OUTPUT_DIR\n");
        return 2;
    }
    const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QTemporaryDir tmp;
    const QString recvDir = QDir::tempPath() + QStringLiteral("/lumo-demo/接收");
    QDir().mkpath(recvDir);
    const quint16 port = freePort();

    // A first start: no settings file, so the server page, listening, with this machine's
    // addresses.
    {
        auto w = std::make_unique<MainWindow>(freePort(), tmp.filePath(QStringLiteral("first.ini")));
        w->show();
        // Told by the status bar, not by a connection, which the log would show.
        const bool listening = waitUntil([&] {
            const auto labels = w->findChildren<QLabel *>();
            return std::any_of(labels.cbegin(), labels.cend(),
                               [](const QLabel *l) { return l->text() == QStringLiteral("监听中..."); });
        });
        if (!listening || !save(w.get(), out + QStringLiteral("/window.png"))) {
            std::fprintf(stderr, "grabwindow: the first start did not listen\n");
            return 1;
        }
    }

    auto server = openWindow(tmp.filePath(QStringLiteral("server.ini")),
                             {{QStringLiteral("socketType"), QStringLiteral("server")},
                              {QStringLiteral("saveFilePath"), recvDir}},
                             port);
    // Paced, as between this program and any other peer: a batch takes long enough to be seen
    // midway, and a window that knows no such key ignores it.
    auto client = openWindow(tmp.filePath(QStringLiteral("client.ini")),
                             {{QStringLiteral("socketType"), QStringLiteral("client")},
                              {QStringLiteral("fastTransfer"), false},
                              {QStringLiteral("saveFilePath"), recvDir},
                              {QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1")}},
                             port);
    child<QAction>(*server, "act_startListen")->trigger();
    child<QAction>(*client, "act_connect")->trigger();
    if (!waitUntil([&] { return child<QComboBox>(*server, "clientcomBox")->count() > 0; })) {
        std::fprintf(stderr, "grabwindow: the client did not connect\n");
        return 1;
    }

    child<QPushButton>(*client, "testBtn")->click();
    waitUntil([&] { return logHas(*server, QStringLiteral("[in] ")); });

    const QString file = tmp.filePath(QStringLiteral("季度报告.pdf"));
    {
        QFile f(file);
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(1536 * 1024, 'x'));
    }
    client->openFileDialog = [file](QWidget *, const QString &, const QString &) { return QStringList{file}; };
    child<QPushButton>(*client, "fileTransmitBtn")->click();
    if (!waitUntil([&] { return logHas(*server, QStringLiteral("接收完成!")); })) {
        std::fprintf(stderr, "grabwindow: the file did not arrive\n");
        return 1;
    }
    waitUntil([&] { return logHas(*client, QStringLiteral("传送完成!")); });
    QFile::remove(recvDir + QStringLiteral("/季度报告.pdf"));

    if (!save(server.get(), out + QStringLiteral("/server.png")) || !save(client.get(), out + QStringLiteral("/client.png")))
        return 1;
    return grabBatch(*client, *server, tmp, recvDir, out) ? 0 : 1;
}
