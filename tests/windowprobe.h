// Shared by the window tests: reaches MainWindow's privates (the probe is its friend) and
// builds windows that never touch port 8080 or the real settings file.
#ifndef LUMO_TESTS_WINDOWPROBE_H
#define LUMO_TESTS_WINDOWPROBE_H

#include <QHash>
#include <QLabel>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSettings>
#include <QStatusBar>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTest>
#include <QVariantMap>

#include <memory>

#include "app/mainwindow.h"
#include "net/sendthread.h"
#include "tests/freeport.h"
#include "ui_mainwindow.h"

class MainWindowProbe {
public:
    static Ui::MainWindow *ui(MainWindow &w) { return w.ui; }
    static sendThread *worker(MainWindow &w) { return w.sendWorker; }
    static QVector<QTcpSocket *> &clientSockets(MainWindow &w) { return w.clientSockets; }
    static QTimer &statusTimer(MainWindow &w) { return w.statusTimer; }
    static QLabel *clientStateLabel(MainWindow &w) { return w.clientStateLabel; }
    static QLabel *serverStateLabel(MainWindow &w) { return w.serverStateLabel; }
    static QLabel *clientErrorLabel(MainWindow &w) { return w.clientErrorLabel; }
    static QLabel *serverErrorLabel(MainWindow &w) { return w.serverErrorLabel; }
    static QProgressBar *progressBar(MainWindow &w) { return w.transferProgressBar; }
    static QLabel *incomingLabel(MainWindow &w) { return w.incomingLabel; }
    static QString versionText(MainWindow &w) { return w.versionText; }
    static AppPlaces &places(MainWindow &w) { return w.places; }

    static void setFacts(MainWindow &w, std::function<SocketFacts(const QTcpSocket *)> source)
    {
        w.socketFactsSource = std::move(source);
    }
    static void setServerError(MainWindow &w, const QString &text)
    {
        w.serverErrorSource = [text] { return text; };
    }

    static void stateChange(MainWindow &w, int state)
    {
        w.onSocketStateChange(QAbstractSocket::SocketState(state));
    }
    static void serverError(MainWindow &w) { w.onServerErrorOccurs(w.sendWorker->server); }
    static void clientError(MainWindow &w, QTcpSocket *s) { w.onClientErrorOccurs(s); }
    static void newClient(MainWindow &w, QTcpSocket *s) { w.onNewClientconnected(s); }
    static void clientGone(MainWindow &w) { w.onClientDisconnected(); }
    static void initLocalIpList(MainWindow &w) { w.initLocalIpList(); }
    static void action(MainWindow &w, int code) { w.recActionSig(code); }
    static void recState(MainWindow &w, int code) { w.getRecState(code); }
    static void transState(MainWindow &w, int code) { w.getTransState(code); }
    static void setBusy(MainWindow &w, bool enable, int direction) { w.setTransferBusy(enable, direction); }
    static void applyPage(MainWindow &w, int index) { w.applyPage(index); }
    static void pageChanged(MainWindow &w, int index) { w.on_stackedWidget_currentChanged(index); }
    static QString secondsText(qint64 ms) { return MainWindow::secondsText(ms); }
    // Lines wait for the next repaint; tests read them at once, a run of left-out texts closed.
    static void log(MainWindow &w, const QString &line) { w.log(line); }
    static void flushLog(MainWindow &w)
    {
        w.logPane->closeLeftOut();
        w.logPane->flush();
    }
    // The texts of the current period are used up until this turns true.
    static bool textPeriodOver(MainWindow &w)
    {
        return w.logPane->periodOver();
    }
    static const QVector<QPair<QTcpSocket *, QString>> &peerSockets(MainWindow &w) { return w.peerSockets.entries(); }

    static QTcpSocket *targetSocket(MainWindow &w)
    {
        QMutexLocker lock(&w.sendWorker->commandMutex);
        return w.sendWorker->targetSocket;
    }
    static QString hostName(MainWindow &w)
    {
        QMutexLocker lock(&w.sendWorker->commandMutex);
        return w.sendWorker->hostName;
    }
    static QString sendFilePath(MainWindow &w)
    {
        QMutexLocker lock(&w.sendWorker->commandMutex);
        return w.sendWorker->sendFilePath;
    }

    // Commands then go nowhere: the slots are tested without a worker acting on them.
    static void detachWorker(MainWindow &w)
    {
        QObject::disconnect(&w, &MainWindow::handleCmd, w.sendWorker, nullptr);
    }
    // Returns once the worker has run every command queued before this call.
    static void drainWorker(MainWindow &w)
    {
        QMetaObject::invokeMethod(w.sendWorker, [] {}, Qt::BlockingQueuedConnection);
    }
};

namespace testutil {

// The log as lines: one per paragraph.
inline QStringList logLines(MainWindow &w)
{
    MainWindowProbe::flushLog(w);
    const QString text = MainWindowProbe::ui(w)->textEdit->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

using ::freePort;

// In an expected log line, "<secs>" stands for seconds with three decimals and "<MB/s>" for a
// rate with two.
inline const QString secs = QStringLiteral("<secs>");
inline const QString rateLine = QStringLiteral("平均速率:<MB/s>MB/s");

inline bool linesMatch(const QStringList &actual, const QStringList &expected)
{
    if (actual.size() != expected.size())
        return false;
    for (int i = 0; i < expected.size(); ++i) {
        QString pattern = QRegularExpression::escape(expected.at(i));
        pattern.replace(QRegularExpression::escape(secs), QStringLiteral("\\d+\\.\\d{3}"));
        pattern.replace(QRegularExpression::escape(QStringLiteral("<MB/s>")), QStringLiteral("\\d+\\.\\d{2}"));
        if (!QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(actual.at(i)).hasMatch())
            return false;
    }
    return true;
}

inline void writeSettings(const QString &path, const QVariantMap &values)
{
    QSettings settings(path, QSettings::IniFormat);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
}

// A window on a free port whose settings file lives in dir. With a role of "client" nothing
// listens, so most tests start quiet.
inline std::unique_ptr<MainWindow> makeWindow(const QTemporaryDir &dir, const QVariantMap &settings,
                                              quint16 port = freePort())
{
    // Each window dumps the interface addresses at debug level; keep test output readable.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    if (!settings.isEmpty())
        writeSettings(path, settings);
    return std::make_unique<MainWindow>(port, path);
}

// A window in the server role, listening on a free port (returned in *port).
inline std::unique_ptr<MainWindow> makeListeningWindow(const QTemporaryDir &dir, quint16 *port)
{
    *port = freePort();
    auto w = makeWindow(dir, {{QStringLiteral("socketType"), QStringLiteral("server")}}, *port);
    MainWindowProbe::ui(*w)->act_startListen->trigger();
    const bool listening = QTest::qWaitFor(
        [&w] { return MainWindowProbe::serverStateLabel(*w)->text() == QStringLiteral("监听中..."); }, 5000);
    Q_UNUSED(listening) // the caller checks the label
    return w;
}

inline QVariantMap clientSettings()
{
    return {{QStringLiteral("socketType"), QStringLiteral("client")}};
}

} // namespace testutil

#endif
