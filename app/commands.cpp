// Temporary stub: replaced by the user commands work.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"
void MainWindow::on_act_startListen_triggered() { emit handleCmd(CmdStartListen); }
void MainWindow::on_act_stopListen_triggered() {}
void MainWindow::on_act_connect_triggered() {}
void MainWindow::on_act_disconnect_triggered() {}
void MainWindow::on_act_server_triggered() {}
void MainWindow::on_stackedWidget_currentChanged(int) {}
void MainWindow::on_testBtn_clicked() {}
void MainWindow::on_clearTextBtn_clicked() {}
void MainWindow::on_chooseDirBtn_clicked() {}
void MainWindow::on_fileTransmitBtn_clicked() {}
void MainWindow::on_dirShowLineEdit_textChanged(QString) {}
void MainWindow::on_stopSendBtn_clicked() {}
void MainWindow::applyPage(int) {}
QTcpSocket *MainWindow::chooseTarget(bool *found) { *found = false; return nullptr; }
