// Temporary stub: replaced by the status and client-list work.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"
void MainWindow::onSocketStateChange(QAbstractSocket::SocketState) {}
void MainWindow::onServerErrorOccurs(QTcpServer *) {}
void MainWindow::onClientErrorOccurs(QTcpSocket *) {}
void MainWindow::onNewClientconnected(QTcpSocket *) {}
void MainWindow::onClientDisconnected() {}
void MainWindow::initLocalIpList() {}
void MainWindow::colourLabel(QLabel *, const QColor &) {}
