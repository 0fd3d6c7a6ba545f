// Temporary stub: replaced by the settings work.
#include "app/mainwindow.h"
void MainWindow::loadSettings() {}
void MainWindow::saveSettings() {}
