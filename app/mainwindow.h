#ifndef LUMO_APP_MAINWINDOW_H
#define LUMO_APP_MAINWINDOW_H

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QPair>
#include <QStringList>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <functional>

#include "app/logpane.h"
#include "app/places.h"
#include "app/transferrates.h"
#include "net/codes.h"
#include "net/peerroster.h"
#include "net/sendthread.h"
#include "net/workerhandle.h"
#include "transfer/receivethread.h"

QT_BEGIN_NAMESPACE
namespace Ui { class MainWindow; }
class QLabel;
class QPushButton;
class QProgressBar;
class QStandardItemModel;
QT_END_NAMESPACE

class sendThread;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    // Seam for tests: another port and another settings file.
    MainWindow(quint16 port, const QString &settingsFile, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Dialog seams; tests replace them to choose files or to cancel (no file).
    std::function<QStringList(QWidget *parent, const QString &caption, const QString &dir)> openFileDialog;
    std::function<QString(QWidget *parent, const QString &caption, const QString &dir)> chooseDirDialog;

    // Log limits (see LogPane); one received text shows at most maxTextChars characters.
    static constexpr int maxLogParagraphs = LogPane::maxParagraphs;
    static constexpr int logTrimBatch = LogPane::trimBatch;
    static constexpr int maxTextChars = peerText::maxChars;
    static constexpr int textPeriodMs = LogPane::textPeriodMs;
    static constexpr int textsPerPeriod = LogPane::textsPerPeriod;

signals:
    void handleCmd(int);

private slots:
    void onSocketStateChange(QAbstractSocket::SocketState state);
    void onServerErrorOccurs(QTcpServer *server);
    void onClientErrorOccurs(QTcpSocket *client);
    void onNewClientconnected(QTcpSocket *client);
    void onClientDisconnected();
    void recActionSig(int type);
    void getRecState(int state);
    void getTransState(int state);
    void on_act_startListen_triggered();
    void on_act_stopListen_triggered();
    void on_act_connect_triggered();
    void on_act_disconnect_triggered();
    void on_act_server_triggered();
    void on_act_client_triggered();
    void on_stackedWidget_currentChanged(int arg1);
    void on_testBtn_clicked();
    void on_clearTextBtn_clicked();
    void on_chooseDirBtn_clicked();
    void on_fileTransmitBtn_clicked();
    void on_dirShowLineEdit_textChanged(QString arg1);
    void on_stopSendBtn_clicked();

private:
    friend class MainWindowProbe; // tests reach the widgets and the worker through it

    // Indexes of stackedWidget.
    enum Page : int { ServerPage = 0, ClientPage = 1 };

    void initStatusBar();
    void initLocalIpList();
    void loadSettings();
    void saveSettings();
    void setTransferBusy(bool enable, int direction);
    void resetErrorLabels();
    void applyPage(int index);
    void colourLabel(QLabel *label, const QColor &colour);
    QTcpSocket *chooseTarget(bool *found);
    bool onServerPage() const;
    QString askReceiveDir();
    void initKeyboard();
    QString dialogDir() const;
    void rememberDialogDir(const QString &dir);
    void log(const QString &text);
    void logReceivedText(const TextReport &text);
    void logVerbatim(const QString &line);
    void updateProgress();
    SocketFacts factsOf(const QTcpSocket *socket) const;
    QString serverErrorText() const;
    static QString secondsText(qint64 ms);
    static QString sendFailureLine(int state); // empty for codes that are no failure

    QString versionText;
    QString settingsFilePath;
    AppPlaces places;
    QString lastDialogDir; // of this run; an installed copy's dialogs open there next
    QTimer statusTimer;
    WorkerHandle *workerHandle = nullptr; // owned
    sendThread *sendWorker = nullptr;     // the handle's worker
    QVector<QTcpSocket *> clientSockets; // one per listed address, aligned with clientcomBox
    // Every accepted socket the window knows, in accept order, with its list key.
    PeerRoster peerSockets;
    Ui::MainWindow *ui = nullptr;
    QPushButton *folderTransmitBtn = nullptr; // beside fileTransmitBtn, resting with it
    QLabel *clientStateLabel = nullptr;
    QLabel *serverStateLabel = nullptr;
    QLabel *clientErrorLabel = nullptr;
    QLabel *serverErrorLabel = nullptr;
    QProgressBar *transferProgressBar = nullptr;

    QElapsedTimer sendTime;

    // Fast connections and servers found on the LAN.
    void initPeerDisplay();
    void updatePeerDisplay();
    void discoverServers();
    void onServerDiscovered(const QString &address, const QString &hostName);
    void showFoundServers();
    static constexpr int discoveryIntervalMs = 3000;
    QLabel *fastModeLabel = nullptr;
    FoundServers foundServers;
    QStandardItemModel *discoveredServers = nullptr; // the completer's copy of foundServers
    QTimer discoveryTimer;
    QTimer foundServersTimer; // gathers changes of foundServers into one model update

    // Reads of worker-owned sockets and of the server's error; empty means "ask the worker".
    // Tests put crafted peers here that loopback cannot produce (other and mapped addresses).
    std::function<SocketFacts(const QTcpSocket *)> socketFactsSource;
    std::function<QString()> serverErrorSource;

    // Several files per send, dropped files, incoming progress, rates and the log's menu
    // (batchsend.cpp, incomingprogress.cpp).
public:
    // Seam: how the receive directory is opened (the system's file manager when empty).
    std::function<bool(const QUrl &)> openUrl;
    static constexpr int incomingPollMs = 250;

private:
    void initBatchSend();
    QStringList askFilesToSend();
    bool connectedTarget(QTcpSocket **target, bool quietWithoutList);
    void queueFiles(QTcpSocket *target, const QStringList &paths);
    void showFileStarting();
    void onBatchFileStarting(const BatchStatus &status);
    void onBatchEnded(const BatchStatus &status);
    static QString batchSummary(const BatchStatus &status);
    static QString folderSummary(const FolderReport &folder);
    void sendFolder();
    void sendDroppedFiles(const QList<QUrl> &urls);
    QStringList sendable(const QStringList &paths, bool readableOnly);
    void showLogMenu(const QPoint &pos);
    void openReceiveDir();
    void pollIncoming();
    void sampleSendRate();
    qint64 sentBytes() const;
    QString rateLine(qint64 bytes, qint64 nsecs) const;

    bool sendingBatch = false;         // from a send command to the batch's end
    bool batchHeadShown = false;       // the "(1/N)" line, or none is due
    QString batchPath;                 // of the batch's current entry
    QTcpSocket *batchTarget = nullptr; // a key only, never dereferenced
    int batchRole = RoleIdle;
    RateMeter sendRate;
    IncomingMeter incomingMeter;
    QTimer incomingTimer;
    QTimer sendTimer; // samples the sending bar while a file goes, so a stall shows
    QElapsedTimer incomingClock;
    QLabel *incomingLabel = nullptr;
    // Arrivals while the window is not active, told by the tray (where the desktop has one) in
    // one message per second at most.
    void noteArrival(const QString &what);
    QSystemTrayIcon *tray = nullptr; // owned (child), made at the first message
    QTimer arrivalTimer;
    int arrivals = 0;
    QString lastArrival;

    LogPane *logPane = nullptr; // owned (child)
};

#endif
