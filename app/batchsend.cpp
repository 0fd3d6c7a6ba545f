// Several files per send: each file is one ordinary send, started when the worker has
// reported the end of the previous one. Files come from the dialog or are dropped on the
// window; the log's context menu opens the receive directory.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMutexLocker>
#include <QProgressBar>

#include "app/filedrop.h"
#include "transfer/receivefile.h"
#include "transfer/receivethread.h"

void SendBatch::begin(QTcpSocket *target, int role, const QStringList &paths)
{
    *this = SendBatch();
    to = target;
    sendRole = role;
    pending = paths;
    active = true;
    clock.start();
}

QString SendBatch::takeNext()
{
    ++started;
    return pending.takeFirst();
}

void SendBatch::ended(int code, qint64 fileBytes)
{
    if (code == TransFinished) {
        ++sent;
        bytes += fileBytes;
    } else {
        ++failed;
    }
}

void SendBatch::dropRest()
{
    dropped += int(pending.size());
    pending.clear();
}

QString SendBatch::summary() const
{
    const qint64 ns = clock.nsecsElapsed();
    return QStringLiteral("批量传送结束:成功%1个,失败%2个,未发送%3个,共%4字节,耗时")
               .arg(sent)
               .arg(failed)
               .arg(dropped)
               .arg(bytes)
        + QString::number(double(ns) * 1e-9, 'f', 3) + QStringLiteral("s,平均速率:")
        + rates::mbPerSecond(bytes, ns) + QStringLiteral("MB/s\n");
}

void MainWindow::initBatchSend()
{
    new FileDropTarget(this, [this](const QList<QUrl> &urls) { sendDroppedFiles(urls); });
    new FileDropTarget(ui->textEdit->viewport(), [this](const QList<QUrl> &urls) { sendDroppedFiles(urls); });
    ui->textEdit->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->textEdit, &QWidget::customContextMenuRequested, this, &MainWindow::showLogMenu);

    // Room for the rate and the time left beside the share.
    transferProgressBar->setMinimumWidth(
        transferProgressBar->fontMetrics().horizontalAdvance(QStringLiteral("100%  999.99MB/s  剩余0:00:00")) + 24);
    incomingLabel = new QLabel(this);
    incomingLabel->setTextFormat(Qt::PlainText); // the name comes from a peer
    ui->statusbar->addWidget(incomingLabel, 0);
    incomingLabel->hide();
    incomingTimer.setInterval(incomingPollMs);
    connect(&incomingTimer, &QTimer::timeout, this, &MainWindow::pollIncoming);
}

// The target the button would use, if it is connected. Without a listed client the button
// stays silent; a drop says why it was refused.
bool MainWindow::connectedTarget(QTcpSocket **target, bool quietWithoutList)
{
    bool found = false;
    *target = chooseTarget(&found);
    const QString refused = QStringLiteral("未建立连接，传送失败!");
    if (!found) {
        if (!quietWithoutList)
            log(refused);
        return false;
    }
    // Kept even when the send does not start: setTransferBusy reads it next time.
    sendWorker->sendRole.store(onServerPage() ? RoleServer : RoleClient);
    if (factsOf(*target).state != QAbstractSocket::ConnectedState) {
        log(refused);
        return false;
    }
    return true;
}

void MainWindow::queueFiles(QTcpSocket *target, const QStringList &paths)
{
    if (batch.running()) {
        batch.add(paths);
        return;
    }
    batch.begin(target, sendWorker->sendRole.load(), paths);
    startNextFile();
}

void MainWindow::startNextFile()
{
    const QString path = batch.takeNext();
    if (batch.total() > 1) {
        log(QStringLiteral("(%1/%2) ").arg(batch.position()).arg(batch.total())
            + QFileInfo(path).fileName());
    }
    sendWorker->sendRole.store(batch.role());
    {
        QMutexLocker lock(&sendWorker->commandMutex);
        sendWorker->targetSocket = batch.target();
        sendWorker->sendFilePath = path;
    }
    log(QStringLiteral("开始传送中..."));
    setTransferBusy(false, 1);
    transferProgressBar->show();
    emit handleCmd(CmdSendFile);
}

// After the window has reported a file's end: the next file, or the batch's summary.
void MainWindow::batchFileEnded(int state)
{
    if (!batch.running())
        return;
    batch.ended(state, sendWorker->fileBytesRead.load());
    // After a stop or a lost connection the rest would only fail one by one.
    if (state == TransStopped || state == TransDisconnected || batch.stopping)
        batch.dropRest();
    if (batch.hasNext()) {
        if (factsOf(batch.target()).state == QAbstractSocket::ConnectedState) {
            startNextFile();
            return;
        }
        log(QStringLiteral("未建立连接，传送失败!"));
        batch.dropRest();
    }
    if (batch.total() > 1)
        log(batch.summary());
    batch.finish();
}

// Drops send only readable regular files. The dialog's choices go as chosen, so that an
// unreadable file reports its open failure as a single send always has, unless they are not
// regular files at all: opening a pipe would hold the worker forever.
QStringList MainWindow::sendable(const QStringList &paths, bool readableOnly)
{
    QStringList kept;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        const bool ok = readableOnly ? info.isFile() && info.isReadable() : path.isEmpty() || !info.exists() || info.isFile();
        if (ok)
            kept << path;
        else
            log(QStringLiteral("不是可读的文件,未发送:") + QDir::toNativeSeparators(path));
    }
    return kept;
}

void MainWindow::sendDroppedFiles(const QList<QUrl> &urls)
{
    QTcpSocket *target = batch.target();
    if (!batch.running() && !connectedTarget(&target, false))
        return;
    QStringList paths;
    for (const QUrl &url : urls) {
        if (url.isLocalFile())
            paths << QDir::cleanPath(QFileInfo(url.toLocalFile()).absoluteFilePath());
        else
            log(QStringLiteral("不是可读的文件,未发送:") + url.toDisplayString());
    }
    paths = sendable(paths, true);
    if (!paths.isEmpty())
        queueFiles(target, paths);
}

void MainWindow::showLogMenu(const QPoint &pos)
{
    QMenu *menu = ui->textEdit->createStandardContextMenu();
    menu->addSeparator();
    menu->addAction(QStringLiteral("打开接收目录"), this, &MainWindow::openReceiveDir);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(ui->textEdit->viewport()->mapToGlobal(pos));
}

void MainWindow::openReceiveDir()
{
    if (!openUrl)
        openUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    const QString dir = ReceiveFile::directoryFor(receiveDirPath.get());
    if (!openUrl(QUrl::fromLocalFile(dir)))
        log(QStringLiteral("打开接收目录失败:") + QDir::toNativeSeparators(dir));
}
