// Several files per send: each file is one ordinary send, started when the worker has
// reported the end of the previous one. Files come from the dialog or are dropped on the
// window; the log's context menu opens the receive directory.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QStyle>
#include <QMenu>
#include <QMutexLocker>
#include <QProgressBar>

#include "app/filedrop.h"
#include "transfer/receivefile.h"
#include "transfer/receivethread.h"

QString MainWindow::batchSummary(const BatchStatus &status)
{
    return QStringLiteral("批量传送结束:成功%1个,失败%2个,未发送%3个,共%4字节,耗时")
               .arg(status.sent)
               .arg(status.failed)
               .arg(status.dropped)
               .arg(status.bytes)
        + QString::number(double(status.elapsedNs) * 1e-9, 'f', 3) + QStringLiteral("s,平均速率:")
        + rates::mbPerSecond(status.bytes, status.elapsedNs) + QStringLiteral("MB/s\n");
}

void MainWindow::initBatchSend()
{
    new FileDropTarget(this, [this](const QList<QUrl> &urls) { sendDroppedFiles(urls); });
    new FileDropTarget(ui->textEdit->viewport(), [this](const QList<QUrl> &urls) { sendDroppedFiles(urls); });
    ui->textEdit->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->textEdit, &QWidget::customContextMenuRequested, this, &MainWindow::showLogMenu);

    incomingLabel = new QLabel(this);
    incomingLabel->setMaximumWidth(incomingLabel->fontMetrics().horizontalAdvance(QLatin1Char('M')) * 24);
    incomingLabel->setMinimumWidth(1);
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

// The worker's send queue sequences the files; the window shows where it stands.
void MainWindow::queueFiles(QTcpSocket *target, const QStringList &paths)
{
    if (sendingBatch) {
        workerHandle->setSend(batchTarget, paths); // joins the batch under way
        emit handleCmd(CmdSendFile);
        return;
    }
    sendingBatch = true;
    batchTarget = target;
    batchRole = sendWorker->sendRole.load();
    if (paths.size() > 1)
        log(QStringLiteral("(1/%1) ").arg(paths.size()) + QFileInfo(paths.first()).fileName());
    showFileStarting();
    workerHandle->setSend(target, paths);
    emit handleCmd(CmdSendFile);
}

void MainWindow::showFileStarting()
{
    sendWorker->sendRole.store(batchRole);
    log(QStringLiteral("开始传送中..."));
    setTransferBusy(false, 1);
    if (transferProgressBar->isHidden()) {
        // As wide as its longest text, if the status bar has that much room beside what it
        // shows; never so wide that the window must grow.
        int taken = 0;
        for (QWidget *item : ui->statusbar->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
            if (item != transferProgressBar && item->isVisible())
                taken += item->width() + ui->statusbar->style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing);
        }
        const int wanted = transferProgressBar->fontMetrics().horizontalAdvance(QStringLiteral("100%  999.99MB/s  剩余0:00:00")) + 24;
        const int room = ui->statusbar->contentsRect().width() - taken - 32; // the size grip and margins
        transferProgressBar->setMinimumWidth(qBound(1, room, wanted));
        transferProgressBar->show();
    }
}

// The first file was shown as the command went out.
void MainWindow::onBatchFileStarting(const BatchStatus &status)
{
    if (status.position <= 1)
        return;
    log(QStringLiteral("(%1/%2) ").arg(status.position).arg(status.total) + QFileInfo(status.path).fileName());
    showFileStarting();
}

void MainWindow::onBatchEnded(const BatchStatus &status)
{
    sendingBatch = false;
    if (status.targetGone)
        log(QStringLiteral("未建立连接，传送失败!"));
    if (status.total > 1)
        log(batchSummary(status));
    if (status.position == 0) { // stopped before its first file: no file code gave them back
        transferProgressBar->hide();
        setTransferBusy(true, 1);
    }
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
    QTcpSocket *target = batchTarget;
    if (!sendingBatch && !connectedTarget(&target, false))
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
