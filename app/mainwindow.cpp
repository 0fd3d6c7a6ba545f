#include "app/mainwindow.h"
#include "app/places.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "net/sendthread.h"

MainWindow::MainWindow(QWidget *parent)
    : MainWindow(defaultPort, QString(), parent)
{
}

MainWindow::MainWindow(quint16 port, const QString &settingsFile, QWidget *parent)
    : QMainWindow(parent),
      versionText(QStringLiteral("(1.0)")),
      settingsFilePath(settingsFile.isEmpty() ? appPlaces().settingsFile : settingsFile)
{
    ui = new Ui::MainWindow;
    ui->setupUi(this);
    // The log is trimmed in batches (trimLog), and nothing in it is undone.
    ui->textEdit->document()->setUndoRedoEnabled(false);
    logTimer.setSingleShot(true);
    connect(&logTimer, &QTimer::timeout, this, &MainWindow::flushLog);
    connect(ui->textEdit, &QTextEdit::textChanged, this, &MainWindow::onLogChanged);
    initStatusBar();
    initBatchSend(); // drops, the log's menu, the incoming label and its timer

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
    closeLeftOut();
    pendingLog.append(text);
    if (!logTimer.isActive())
        logTimer.start(logFlushMs);
}

void MainWindow::flushLog()
{
    logTimer.stop();
    const bool idle = pendingLog.isEmpty();
    if (leftOutTexts > 0) {
        const qint64 rest = textPeriod.isValid() ? textPeriodMs - textPeriod.elapsed() : 0;
        if (rest > 0)
            logTimer.start(int(rest)); // the run may go on until its period ends
        else
            closeLeftOut();
    }
    insertLogLines();
    QTextDocument *doc = ui->textEdit->document();
    // While lines keep coming the log may hold a batch more; once they stop it is cut back.
    if (doc->blockCount() > maxLogParagraphs + logTrimBatch || (idle && doc->blockCount() > maxLogParagraphs))
        trimLog(maxLogParagraphs);
    if (doc->blockCount() > maxLogParagraphs && !logTimer.isActive())
        logTimer.start(logFlushMs);
}

void MainWindow::insertLogLines()
{
    if (pendingLog.isEmpty())
        return;
    // As QTextEdit::append does it, line by line, but in one edit and one layout pass.
    QTextEdit *edit = ui->textEdit;
    QTextDocument *doc = edit->document();
    QScrollBar *bar = edit->verticalScrollBar();
    const QTextCursor editCursor = edit->textCursor();
    const bool atBottom = edit->isReadOnly() ? bar->value() >= bar->maximum() : editCursor.atEnd();
    flushingLog = true;
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    for (const QString &line : qAsConst(pendingLog)) {
        if (!doc->isEmpty())
            cursor.insertBlock(editCursor.blockFormat(), editCursor.charFormat());
        else
            cursor.setCharFormat(editCursor.charFormat());
        if (Qt::mightBeRichText(line))
            cursor.insertHtml(line);
        else
            cursor.insertText(line);
    }
    cursor.endEditBlock();
    flushingLog = false;
    pendingLog.clear();
    if (atBottom)
        bar->setValue(bar->maximum());
}

void MainWindow::trimLog(int keep)
{
    QTextDocument *doc = ui->textEdit->document();
    const int extra = doc->blockCount() - keep;
    if (extra <= 0)
        return;
    // Removing lines at the top lays the whole log out again: once per batch, not per line.
    flushingLog = true;
    QTextCursor cursor(doc);
    cursor.setPosition(doc->findBlockByNumber(extra).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    flushingLog = false;
}

void MainWindow::onLogChanged()
{
    // Cleared from outside ("清理文本"): what was logged before goes too.
    if (flushingLog || !ui->textEdit->document()->isEmpty())
        return;
    pendingLog.clear();
    leftOutTexts = 0;
    leftOutBytes = 0;
}
