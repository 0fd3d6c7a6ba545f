#include "app/mainwindow.h"
#include "app/places.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>

#include "net/sendthread.h"

MainWindow::MainWindow(QWidget *parent)
    : MainWindow(defaultPort, QString(), parent)
{
}

MainWindow::MainWindow(quint16 port, const QString &settingsFile, QWidget *parent)
    : QMainWindow(parent),
      versionText(QStringLiteral("(1.0)")),
      settingsFilePath(settingsFile.isEmpty() ? appPlaces().settingsFile : settingsFile),
      places(appPlaces())
{
    ui = new Ui::MainWindow;
    ui->setupUi(this);
    logPane = new LogPane(ui->textEdit, this);
    initStatusBar();
    initBatchSend(); // drops, the log's menu, the incoming label and its timer
    initKeyboard();  // after initBatchSend: the folder button joins the tab chain

    workerHandle = new WorkerHandle(port);
    sendWorker = workerHandle->get();
    connect(this, &MainWindow::handleCmd, sendWorker, &sendThread::handleCmd);
    connect(sendWorker, &sendThread::onSocketStateChange, this, &MainWindow::onSocketStateChange);
    connect(sendWorker, &sendThread::onServerErrorOccurs, this, &MainWindow::onServerErrorOccurs);
    connect(sendWorker, &sendThread::onClientErrorOccurs, this, &MainWindow::onClientErrorOccurs);
    connect(sendWorker, &sendThread::onNewClientconnected, this, &MainWindow::onNewClientconnected);
    connect(sendWorker, &sendThread::onClientDisconnected, this, &MainWindow::onClientDisconnected);
    connect(sendWorker, &sendThread::sendActionSig, this, &MainWindow::recActionSig);
    connect(sendWorker, &sendThread::sendRecState, this, &MainWindow::getRecState);
    connect(sendWorker, &sendThread::sendTransState, this, &MainWindow::getTransState);
    connect(sendWorker, &sendThread::batchFileStarting, this, &MainWindow::onBatchFileStarting);
    connect(sendWorker, &sendThread::batchEnded, this, &MainWindow::onBatchEnded);

    initLocalIpList();
    loadSettings();
    initPeerDisplay();

    QFont f = font();
    f.setPointSize(11);
    setFont(f);

    // Coarse timers may fire up to 5 % early; errors must stay up the full 5 s.
    statusTimer.setTimerType(Qt::PreciseTimer);
    connect(&statusTimer, &QTimer::timeout, &statusTimer, [this] { resetErrorLabels(); }, Qt::DirectConnection);
}

MainWindow::~MainWindow()
{
    saveSettings();
    delete workerHandle;
    delete ui;
    delete serverErrorLabel;
    delete serverStateLabel;
    delete clientStateLabel;
    delete clientErrorLabel;
}

void MainWindow::initStatusBar()
{
    serverStateLabel = new QLabel(this);
    serverErrorLabel = new QLabel(this);
    clientStateLabel = new QLabel(this);
    clientErrorLabel = new QLabel(this);
    transferProgressBar = new QProgressBar(this);
    for (QLabel *label : {serverStateLabel, serverErrorLabel, clientStateLabel, clientErrorLabel})
        label->setAutoFillBackground(true);
    // What the status bar shows may be cut, never make the window wider: a minimum of their
    // own keeps the texts' widths out of the window's minimum.
    for (QWidget *item : std::initializer_list<QWidget *>{serverStateLabel, serverErrorLabel, clientStateLabel,
                                                          clientErrorLabel, transferProgressBar})
        item->setMinimumWidth(1);

    ui->statusbar->addWidget(serverStateLabel, 0);
    ui->statusbar->addPermanentWidget(serverErrorLabel, 0);
    ui->statusbar->addWidget(clientStateLabel, 0);
    ui->statusbar->addPermanentWidget(clientErrorLabel, 0);
    ui->statusbar->addWidget(transferProgressBar, 0);
    transferProgressBar->hide();
}

void MainWindow::resetErrorLabels()
{
    statusTimer.stop();
    serverErrorLabel->setPalette(ui->statusbar->palette());
    serverErrorLabel->clear();
    clientErrorLabel->setPalette(ui->statusbar->palette());
    clientErrorLabel->clear();
}

void MainWindow::log(const QString &text)
{
    logPane->append(text);
}
