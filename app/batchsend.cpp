// Several files per send: each file is one ordinary send, started when the worker has
// reported the end of the previous one. Files come from the dialog or are dropped on the
// window; the log's context menu opens the receive directory.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStyle>
#include <QMenu>
#include <QMutexLocker>
#include <QProgressBar>
#include <QPushButton>

#include "app/filedrop.h"
#include "transfer/receivefile.h"
#include "transfer/receivethread.h"

// The end of a summary line: bytes, time and average rate.
static QString summaryTail(qint64 bytes, qint64 elapsedNs)
{
    return QStringLiteral(",共%1字节,耗时").arg(bytes) + QString::number(double(elapsedNs) * 1e-9, 'f', 3)
        + QStringLiteral("s,平均速率:") + rates::mbPerSecond(bytes, elapsedNs) + QStringLiteral("MB/s\n");
}

QString MainWindow::batchSummary(const BatchStatus &status)
{
    return QStringLiteral("批量传送结束:成功%1个,失败%2个,未发送%3个").arg(status.sent).arg(status.failed).arg(status.dropped)
        + summaryTail(status.bytes, status.elapsedNs);
}

QString MainWindow::folderSummary(const FolderReport &folder)
{
    return (folder.whole ? QStringLiteral("文件夹接收结束:") : QStringLiteral("文件夹接收中断:")) + folder.name
        + QStringLiteral(",成功%1个,失败%2个").arg(folder.stored).arg(folder.failed)
        + summaryTail(qint64(folder.bytes), folder.elapsedNs);
}

void MainWindow::initBatchSend()
{
    new FileDropTarget(this, [this](const QList<QUrl> &urls) { sendDroppedFiles(urls); });
    new FileDropTarget(ui->textEdit->viewport(), [this](const QList<QUrl> &urls) { sendDroppedFiles(urls); });
    // Beside the file button, which keeps its dialog of files.
    folderTransmitBtn = new QPushButton(QStringLiteral("文件夹传输"), ui->centralwidget);
    folderTransmitBtn->setObjectName(QStringLiteral("folderTransmitBtn"));
    ui->horizontalLayout_4->insertWidget(ui->horizontalLayout_4->indexOf(ui->fileTransmitBtn) + 1, folderTransmitBtn);
    connect(folderTransmitBtn, &QPushButton::clicked, this, &MainWindow::sendFolder);
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
    arrivalTimer.setSingleShot(true);
    arrivalTimer.setInterval(1000);
    connect(&arrivalTimer, &QTimer::timeout, this, [this] {
        if (!tray) {
            tray = new QSystemTrayIcon(windowIcon(), this);
            tray->show();
        }
        tray->showMessage(QStringLiteral("文件已接收"),
                          arrivals == 1 ? lastArrival : QStringLiteral("%1 项,最后一项:").arg(arrivals) + lastArrival);
        arrivals = 0;
    });
    sendTimer.setInterval(incomingPollMs);
    connect(&sendTimer, &QTimer::timeout, this, [this] {
        if (transferProgressBar->isHidden())
            sendTimer.stop();
        else
            updateProgress();
    });
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
    // A folder first: its own files say how many there are.
    batchHeadShown = !QFileInfo(paths.first()).isDir();
    if (batchHeadShown && paths.size() > 1)
        log(QStringLiteral("(1/%1) ").arg(paths.size()) + QFileInfo(paths.first()).fileName());
    if (batchHeadShown)
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

// The first file was shown as the command went out, but for a folder's place in the count.
void MainWindow::onBatchFileStarting(const BatchStatus &status)
{
    batchPath = status.path;
    const bool numbered = status.total > 1 || status.folders > 0;
    const QString place = QStringLiteral("(%1/%2) ").arg(status.position).arg(status.total)
        + (status.name.isEmpty() ? QFileInfo(status.path).fileName() : status.name);
    if (status.position <= 1 && batchHeadShown)
        return;
    batchHeadShown = true;
    if (numbered)
        log(place);
    showFileStarting();
}

void MainWindow::onBatchEnded(const BatchStatus &status)
{
    sendingBatch = false;
    if (status.targetGone)
        log(QStringLiteral("未建立连接，传送失败!"));
    if (status.total > 1 || status.folders > 0)
        log(batchSummary(status));
    if (status.position == 0) { // stopped before its first file: no file code gave them back
        transferProgressBar->hide();
        setTransferBusy(true, 1);
    }
}

// Drops send only readable regular files and folders (the worker sends a folder to another
// instance only). The dialog's choices go as chosen, so that an unreadable file reports its
// open failure as a single send always has, unless they are not regular files at all: opening
// a pipe would hold the worker forever.
QStringList MainWindow::sendable(const QStringList &paths, bool readableOnly)
{
    QStringList kept;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        const bool ok = readableOnly ? (info.isFile() || info.isDir()) && info.isReadable()
                                     : path.isEmpty() || !info.exists() || info.isFile();
        if (ok)
            kept << path;
        else
            log(QStringLiteral("不是可读的文件,未发送:") + QDir::toNativeSeparators(path));
    }
    return kept;
}

// Unlike the file button, a cancelled dialog sends nothing.
void MainWindow::sendFolder()
{
    QTcpSocket *target = nullptr;
    if (!connectedTarget(&target, true))
        return;
    if (!chooseDirDialog) {
        chooseDirDialog = [](QWidget *parent, const QString &caption, const QString &dir) {
            return QFileDialog::getExistingDirectory(parent, caption, dir, QFileDialog::ShowDirsOnly);
        };
    }
    const QString dir = chooseDirDialog(this, QStringLiteral("选择要发送的文件夹"), dialogDir());
    if (dir.isEmpty())
        return;
    // Its parent, where the next folder to send is likely a sibling.
    rememberDialogDir(QFileInfo(dir).absolutePath());
    const QStringList paths = sendable({QDir::cleanPath(QFileInfo(dir).absoluteFilePath())}, true);
    if (!paths.isEmpty())
        queueFiles(target, paths);
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
