// Three choices survive a restart: the receive directory, the role and the server address.
// They live in the widgets while the window runs and in an INI file between runs.
#include "app/mainwindow.h"
#include "app/places.h"
#include "transfer/receivefile.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {
const QString keyDir = QStringLiteral("saveFilePath");
const QString keyRole = QStringLiteral("socketType");
const QString keyAddress = QStringLiteral("serverAddress");
const QString serverRole = QStringLiteral("server");
const QString clientRole = QStringLiteral("client");
const QString defaultAddress = QStringLiteral("192.168.0.0");
// Read only, never written: the file keeps its three keys unless the user adds these.
const QString keyFast = QStringLiteral("fastTransfer");
const QString keyDiscoverable = QStringLiteral("discoverable");
} // namespace

AppPlaces appPlaces(const QString &appDir, bool appDirWritable)
{
    if (ReceiveFile::keepsBesideProgram(appDir, appDirWritable))
        return {appDir + QStringLiteral("/settings.ini"), appDir, appDir, true};
    return {QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QStringLiteral("/settings.ini"),
            QStandardPaths::writableLocation(QStandardPaths::DownloadLocation), QDir::homePath(), false};
}

AppPlaces appPlaces()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    return appPlaces(appDir, QFileInfo(appDir).isWritable());
}

void MainWindow::loadSettings()
{
    const QString defaultDir = appPlaces().receiveDir;
    // An installed copy's default, the user's download directory, may not exist yet.
    QDir().mkpath(defaultDir);
    // Listening needs an address of this machine; without one the user starts it later.
    const auto listenIfAddressed = [this] {
        if (ui->localIpComBox->count() > 0)
            ui->act_startListen->trigger();
    };

    if (!QFileInfo::exists(settingsFilePath)) {
        // First start: the server role. The file itself is first written on exit.
        applyPage(ServerPage);
        listenIfAddressed();
        ui->dirShowLineEdit->setText(defaultDir);
        ui->serverAddressLineEdit->setText(defaultAddress);
        return;
    }

    const QSettings settings(settingsFilePath, QSettings::IniFormat);
    // Before anything listens or connects.
    sendWorker->fastTransfer = settings.value(keyFast, true).toBool();
    sendWorker->discoverable = settings.value(keyDiscoverable, true).toBool();
    ui->dirShowLineEdit->setText(settings.contains(keyDir) ? settings.value(keyDir).toString() : defaultDir);
    // Without a role the layout's page stays, and nothing is applied or started.
    if (settings.contains(keyRole)) {
        if (settings.value(keyRole).toString() == serverRole) {
            applyPage(ServerPage);
            listenIfAddressed();
        } else {
            applyPage(ClientPage);
        }
    }
    ui->serverAddressLineEdit->setText(settings.contains(keyAddress) ? settings.value(keyAddress).toString()
                                                                     : defaultAddress);
}

void MainWindow::saveSettings()
{
    QSettings settings(settingsFilePath, QSettings::IniFormat);
    settings.setValue(keyDir, ui->dirShowLineEdit->text());
    settings.setValue(keyRole, ui->stackedWidget->currentIndex() == ServerPage ? serverRole : clientRole);
    settings.setValue(keyAddress, ui->serverAddressLineEdit->text());
}
