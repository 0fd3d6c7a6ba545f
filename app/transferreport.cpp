// Listening, receive and send codes become log lines, the server label, the progress bar
// and the enabled state of the controls that must rest while a file moves.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextDocument>

#include "transfer/receivefile.h"
#include "transfer/receivethread.h"

QString MainWindow::secondsText(qint64 ms)
{
    return QString::number(double(ms) * 0.001, 'f', 3);
}

void MainWindow::logReceivedText(const TextReport &text)
{
    if (!text.present)
        return; // a code without its report: nothing to show, and never an earlier text again
    if (text.leftOutBytes > 0 || text.leftOutTexts > 0) {
        logPane->leaveOutText(text.leftOutBytes + text.bytes.size(), qMax<qint64>(1, text.leftOutTexts));
        return;
    }
    if (!logPane->admitText(text.bytes.size()))
        return;
    const QString line = QStringLiteral("[in] ") + peerText::shown(text.bytes);
    logPane->countTextChars(line.size());
    logVerbatim(line);
}

// What a peer chose (a text, a name) is shown as sent, never interpreted as markup.
void MainWindow::logVerbatim(const QString &line)
{
    if (!Qt::mightBeRichText(line)) {
        log(line);
        return;
    }
    QString html = line.toHtmlEscaped();
    html.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
    log(QStringLiteral("<span style=\"white-space:pre-wrap\">") + html + QStringLiteral("</span>"));
}

void MainWindow::recActionSig(int type)
{
    switch (type) {
    case ActionListening:
        serverStateLabel->setText(tr("监听中..."));
        colourLabel(serverStateLabel, Qt::green);
        ui->act_startListen->setEnabled(false);
        break;
    case ActionListenStopped:
        serverStateLabel->setText(tr("已停止监听"));
        colourLabel(serverStateLabel, Qt::yellow);
        ui->act_startListen->setEnabled(true);
        break;
    default:
        break;
    }
}

void MainWindow::getRecState(int state)
{
    switch (state) {
    case RecFinished: {
        const RecvSnapshot report = recvReports::take(RecFinished);
        log(QStringLiteral("接收完成!"));
        log(QStringLiteral("文件接收大小:") + QString::number(report.recvFileBytes));
        log(QStringLiteral("总接收Byte大小:") + QString::number(report.recvTotalBytes));
        if (report.resumedFrom > 0)
            log(QStringLiteral("续传:已有前") + QString::number(report.resumedFrom)
                + QStringLiteral("字节,只接收了其余部分"));
        {
            // Where it went, relative to the receive directory, and whether a file gave way.
            const QString dir = ReceiveFile::directoryFor(receiveDirPath.get());
            const QString relative = QDir(dir).relativeFilePath(report.fileName);
            const QString shown = QDir::toNativeSeparators(relative.startsWith(QLatin1String("..")) ? report.fileName : relative);
            logVerbatim(QStringLiteral("保存为:") + shown + (report.replaced ? QStringLiteral(" (已替换同名文件)") : QString()));
            noteArrival(shown);
        }
        // The blank line that closes the report follows the rate line.
        log(QStringLiteral("接收耗时:") + secondsText(report.elapsedNs / 1000000) + QStringLiteral("s"));
        log(rateLine(qint64(report.recvFileBytes - report.resumedFrom), report.elapsedNs));
        setTransferBusy(true, 0);
        pollIncoming();
        break;
    }
    case RecStarted:
        log(QStringLiteral("\n开始接收..."));
        setTransferBusy(false, 0);
        pollIncoming();
        break;
    case RecCreateFailed:
        log(QStringLiteral("创建文件失败,接收失败!\n"));
        break;
    case RecTimeout:
        log(QStringLiteral("接收超时，已强制中断!\n"));
        setTransferBusy(true, 0);
        pollIncoming();
        break;
    case RecSenderStopped:
        log(QStringLiteral("发送方已中断传送,已收到的数据保留为 .part 文件\n"));
        setTransferBusy(true, 0);
        pollIncoming();
        break;
    case RecText:
        logReceivedText(recvReports::takeText());
        break;
    case RecFolderEnded: {
        const FolderReport folder = recvReports::takeFolder();
        if (folder.present) {
            logVerbatim(folderSummary(folder));
            noteArrival(folder.name);
        }
        break;
    }
    case RecWriteFailed:
        log(QStringLiteral("写入文件失败,接收失败!\n"));
        setTransferBusy(true, 0);
        pollIncoming();
        break;
    case RecVerifyFailed:
        log(QStringLiteral("文件校验不符,接收失败!已收到的数据保留为 .part 文件\n"));
        setTransferBusy(true, 0);
        pollIncoming();
        break;
    case RecStreamFailed:
        log(QStringLiteral("传输数据有误或中断,接收失败!\n"));
        setTransferBusy(true, 0);
        pollIncoming();
        break;
    default: // RecProgress and unknown codes
        break;
    }
}

void MainWindow::updateProgress()
{
    const qint64 size = sendWorker->fileSize.load();
    if (size <= 0)
        return;
    const double percent = double(sentBytes()) / double(size) * 100.0;
    // Tested before the conversion, which is undefined for values beyond an int.
    if (!(percent >= 0.0 && percent <= 100.0))
        return;
    transferProgressBar->setValue(int(percent));
    sampleSendRate();
}

void MainWindow::getTransState(int state)
{
    switch (state) {
    case TransStarted:
        sendTime.start();
        sendTimer.start();
        // The bar would otherwise show the previous file's end until the first piece.
        sendRate.reset(0, 0);
        transferProgressBar->setValue(0);
        transferProgressBar->setFormat(QStringLiteral("%p%"));
        break;
    case TransFinished: {
        const FileReport report = sendWorker->takeFileReport();
        transferProgressBar->hide();
        setTransferBusy(true, 1);
        log(QStringLiteral("传送完成!"));
        log(QStringLiteral("发送文件大小:") + QString::number(report.fileBytes));
        log(QStringLiteral("总发送字节大小:") + QString::number(report.socketBytes));
        if (report.resumedFrom > 0)
            log(QStringLiteral("续传:接收方已有前") + QString::number(report.resumedFrom)
                + QStringLiteral("字节,只发送了其余部分"));
        // The blank line that closes the report follows the rate line.
        log(QStringLiteral("发送耗时:") + secondsText(report.elapsedNs / 1000000) + QStringLiteral("s"));
        // Of the bytes that moved: a resumed file's rate is not that of its whole size.
        log(rateLine(report.fileBytes - report.resumedFrom, report.elapsedNs));
        break;
    }
    case TransProgress:
        updateProgress();
        break;
    default: {
        // A file that ended without being sent whole: its line, and the controls come back.
        const QString line = sendFailureLine(state);
        if (line.isEmpty())
            return; // unknown codes
        sendWorker->takeFileReport();
        transferProgressBar->hide();
        setTransferBusy(true, 1);
        // A folder is readable: it is refused, and the line names it.
        if (state == TransFolderRefused || state == TransFolderUnsendable)
            log(line.chopped(1) + QLatin1Char(':') + QDir::toNativeSeparators(batchPath) + QLatin1Char('\n'));
        else
            log(line);
        break;
    }
    }
}

void MainWindow::noteArrival(const QString &what)
{
    if (isActiveWindow() || !QSystemTrayIcon::isSystemTrayAvailable())
        return;
    ++arrivals;
    lastArrival = what;
    if (!arrivalTimer.isActive())
        arrivalTimer.start();
}

QString MainWindow::sendFailureLine(int state)
{
    switch (state) {
    case TransStopped:
        return QStringLiteral("传送已被强制中断!\n");
    case TransDisconnected:
        return QStringLiteral("连接已断开,传送中断!");
    case TransOpenFailed:
        return QStringLiteral("打开文件失败，传送中断\n");
    case TransReadFailed:
        return QStringLiteral("读取文件失败,传送中断!\n");
    case TransFolderRefused:
        return QStringLiteral("文件夹只能发送给本程序的另一个实例\n");
    case TransFolderUnsendable:
        return QStringLiteral("文件夹超过100000项或名称无法传送,未发送\n");
    case TransRefused:
        return QStringLiteral("对方拒绝接收该文件,未发送\n");
    case TransNotStored:
        return QStringLiteral("对方未能完整保存该文件(校验不符或写入失败)\n");
    default:
        return QString();
    }
}

void MainWindow::setTransferBusy(bool enable, int direction)
{
    // The action that would end the connection in use rests while a file moves over it.
    const auto holdConnection = [this, enable](int role) {
        if (role == RoleServer)
            ui->act_stopListen->setEnabled(enable);
        else if (role == RoleClient)
            ui->act_disconnect->setEnabled(enable);
    };
    holdConnection(sendWorker->sendRole.load());
    holdConnection(sendWorker->receiveRole.load());

    if (direction == 1) {
        // A disabled button hands its focus to the next in the chain, which could wrap to the
        // receive directory with its text selected, for the next keystroke to replace. The
        // stop button is the control that matters while the file moves.
        const QWidget *focused = focusWidget();
        if (!enable && (focused == ui->testBtn || focused == ui->fileTransmitBtn || focused == folderTransmitBtn))
            ui->stopSendBtn->setFocus(Qt::OtherFocusReason);
        ui->testBtn->setEnabled(enable);
        ui->fileTransmitBtn->setEnabled(enable);
        folderTransmitBtn->setEnabled(enable);
        if (enable)
            sendWorker->sendRole.store(RoleIdle);
    } else if (direction == 0) {
        ui->dirShowLineEdit->setEnabled(enable);
        if (enable)
            sendWorker->receiveRole.store(RoleIdle);
    }
}
