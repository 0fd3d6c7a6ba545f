// Temporary stub: replaced by the transfer reporting work.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"
void MainWindow::recActionSig(int) {}
void MainWindow::getRecState(int) {}
void MainWindow::getTransState(int) {}
void MainWindow::setTransferBusy(bool, int) {}
