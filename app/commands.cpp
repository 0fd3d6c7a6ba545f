// The user's commands: toolbar actions, the buttons under the log, the receive directory and
// the switch between the server and the client page.
//
// A command's data goes to the worker handle just before handleCmd; the queued delivery
// orders the write before the worker's read.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMutexLocker>
#include <QProgressBar>

#include "transfer/receivethread.h"

void MainWindow::on_act_startListen_triggered()
{
    emit handleCmd(CmdStartListen);
}

void MainWindow::on_act_stopListen_triggered()
{
    emit handleCmd(CmdStopListen);
}

void MainWindow::on_act_connect_triggered()
{
    workerHandle->setHost(ui->serverAddressLineEdit->text().trimmed());
    emit handleCmd(CmdConnect);
}

void MainWindow::on_act_disconnect_triggered()
{
    emit handleCmd(CmdDisconnect);
}

void MainWindow::on_act_server_triggered()
{
    ui->stackedWidget->setCurrentIndex(ServerPage);
}

// The way back to the client page, so that two windows that both started as servers can
// reach each other without editing the settings. The role is saved on exit, as for the server.
void MainWindow::on_act_client_triggered()
{
    ui->stackedWidget->setCurrentIndex(ClientPage);
    // The server page hid them; a client chooses where its files go.
    ui->dirShowLineEdit->show();
    ui->chooseDirBtn->show();
}

void MainWindow::on_stackedWidget_currentChanged(int arg1)
{
    if (arg1 != ServerPage && arg1 != ClientPage)
        return;
    const bool server = arg1 == ServerPage;
    ui->act_startListen->setVisible(server);
    ui->act_stopListen->setVisible(server);
    ui->act_connect->setVisible(!server);
    ui->act_disconnect->setVisible(!server);
    ui->act_server->setVisible(!server);
    ui->act_client->setVisible(server);
    serverStateLabel->setVisible(server);
    serverErrorLabel->setVisible(server);
    clientStateLabel->setVisible(!server);
    clientErrorLabel->setVisible(!server);
    if (server) {
        setWindowTitle(QStringLiteral("lumo以太网文件传输助手服务端") + versionText);
        // The server takes its receive directory from the settings only.
        ui->dirShowLineEdit->hide();
        ui->chooseDirBtn->hide();
    } else {
        setWindowTitle(QStringLiteral("客户端") + versionText);
    }
}

void MainWindow::applyPage(int index)
{
    // The page-change slot runs exactly once, whether or not the index changes.
    if (ui->stackedWidget->currentIndex() == index)
        on_stackedWidget_currentChanged(index);
    else
        ui->stackedWidget->setCurrentIndex(index);
}

bool MainWindow::onServerPage() const
{
    return ui->stackedWidget->currentIndex() == ServerPage;
}

QTcpSocket *MainWindow::chooseTarget(bool *found)
{
    QTcpSocket *target = nullptr;
    if (onServerPage()) {
        if (ui->clientcomBox->count() == 0) {
            *found = false;
            return nullptr;
        }
        target = clientSockets.value(ui->clientcomBox->currentIndex(), nullptr);
    } else {
        target = sendWorker->currentClientSocket();
    }
    *found = true;
    workerHandle->setTarget(target);
    return target;
}

void MainWindow::on_testBtn_clicked()
{
    bool found = false;
    QTcpSocket *target = chooseTarget(&found);
    if (!found)
        return;
    if (factsOf(target).state == QAbstractSocket::ConnectedState)
        emit handleCmd(CmdSendTest);
    else
        log(QStringLiteral("未建立连接，无法发送!"));
}

void MainWindow::on_clearTextBtn_clicked()
{
    ui->textEdit->clear();
}

QStringList MainWindow::askFilesToSend()
{
    if (!openFileDialog) {
        openFileDialog = [](QWidget *parent, const QString &caption, const QString &dir) {
            return QFileDialog::getOpenFileNames(parent, caption, dir);
        };
    }
    const QStringList paths = openFileDialog(this, QStringLiteral("选择文件"), dialogDir());
    if (!paths.isEmpty())
        rememberDialogDir(QFileInfo(paths.first()).absolutePath());
    return paths;
}

QString MainWindow::askReceiveDir()
{
    if (!chooseDirDialog) {
        chooseDirDialog = [](QWidget *parent, const QString &caption, const QString &dir) {
            return QFileDialog::getExistingDirectory(parent, caption, dir, QFileDialog::ShowDirsOnly);
        };
    }
    const QString dir = chooseDirDialog(this, QStringLiteral("选择文件夹"), dialogDir());
    rememberDialogDir(dir);
    return dir;
}

// A portable copy's dialogs open beside it, where its files are; an installed copy's where
// the user last was in this run, else in the home directory rather than among program files.
QString MainWindow::dialogDir() const
{
    return places.besideProgram || lastDialogDir.isEmpty() ? places.dialogDir : lastDialogDir;
}

void MainWindow::rememberDialogDir(const QString &dir)
{
    if (!dir.isEmpty())
        lastDialogDir = dir;
}

void MainWindow::on_chooseDirBtn_clicked()
{
    const QString dir = askReceiveDir();
    if (!dir.isEmpty())
        ui->dirShowLineEdit->setText(dir);
}

void MainWindow::on_fileTransmitBtn_clicked()
{
    QTcpSocket *target = nullptr;
    if (!connectedTarget(&target, true))
        return;
    QStringList paths = askFilesToSend();
    // A cancelled dialog sends an empty path on purpose: the sender reports the open failure
    // and the controls come back through that report.
    if (paths.isEmpty())
        paths << QString();
    paths = sendable(paths, false);
    if (!paths.isEmpty())
        queueFiles(target, paths);
}

void MainWindow::on_dirShowLineEdit_textChanged(QString arg1)
{
    receiveDirPath.set(arg1);
}

void MainWindow::on_stopSendBtn_clicked()
{
    workerHandle->stopSending();
}
