// What the UDP service finds out, shown: whether the connection in use is fast, and on the
// client page, the servers that answered a discovery probe, offered as the address field's
// completions.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QCompleter>
#include <QDateTime>
#include <QLabel>
#include <QStandardItemModel>

namespace {
constexpr int addressRole = Qt::UserRole;
constexpr int seenRole = Qt::UserRole + 1;
// A server that stopped answering leaves the list after this long.
constexpr qint64 forgetAfterMs = 10000;
} // namespace

void MainWindow::initPeerDisplay()
{
    fastModeLabel = new QLabel(tr("快速传输"), this);
    fastModeLabel->setToolTip(tr("对方也是本程序：文件不限速传输"));
    ui->statusbar->addPermanentWidget(fastModeLabel, 0);
    fastModeLabel->hide();

    discoveredServers = new QStandardItemModel(this);
    auto *completer = new QCompleter(discoveredServers, this);
    completer->setCompletionRole(addressRole); // matched and inserted; the popup shows the host too
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    ui->serverAddressLineEdit->setCompleter(completer);

    discoveryTimer.setInterval(discoveryIntervalMs);
    connect(&discoveryTimer, &QTimer::timeout, this, &MainWindow::discoverServers);
    connect(sendWorker, &sendThread::serverDiscovered, this, &MainWindow::onServerDiscovered);

    const auto update = [this] { updatePeerDisplay(); };
    connect(sendWorker, &sendThread::onFastModeChanged, this, update);
    connect(sendWorker, &sendThread::onSocketStateChange, this, update);
    connect(sendWorker, &sendThread::onClientDisconnected, this, update);
    connect(ui->clientcomBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, update);
    connect(ui->stackedWidget, &QStackedWidget::currentChanged, this, update);
    updatePeerDisplay();
}

void MainWindow::updatePeerDisplay()
{
    const bool server = onServerPage();
    const QTcpSocket *target = server ? clientSockets.value(ui->clientcomBox->currentIndex(), nullptr)
                                      : sendWorker->currentClientSocket();
    const SocketFacts facts = factsOf(target);
    const bool connected = facts.state == QAbstractSocket::ConnectedState;
    fastModeLabel->setVisible(connected && facts.fast);

    // Servers are looked for while the client page waits for an address.
    const bool looking = !server && !connected;
    if (looking && !discoveryTimer.isActive()) {
        discoveryTimer.start();
        discoverServers();
    } else if (!looking) {
        discoveryTimer.stop();
    }
}

void MainWindow::discoverServers()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (int row = discoveredServers->rowCount() - 1; row >= 0; --row) {
        if (now - discoveredServers->item(row)->data(seenRole).toLongLong() > forgetAfterMs)
            discoveredServers->removeRow(row);
    }
    QMetaObject::invokeMethod(sendWorker, "discoverServers", Qt::QueuedConnection);
}

void MainWindow::onServerDiscovered(const QString &address, const QString &hostName)
{
    const QList<QStandardItem *> known = discoveredServers->findItems(address + QLatin1Char(' '), Qt::MatchStartsWith);
    QStandardItem *item = known.value(0);
    const bool fresh = !item;
    if (fresh) {
        item = new QStandardItem;
        item->setEditable(false);
        discoveredServers->appendRow(item);
    }
    item->setText(address + QLatin1Char(' ') + hostName);
    item->setData(address, addressRole);
    item->setData(QDateTime::currentMSecsSinceEpoch(), seenRole);
    // A new server is offered at once to a user who is typing the address.
    if (fresh && ui->serverAddressLineEdit->hasFocus() && !onServerPage())
        ui->serverAddressLineEdit->completer()->complete();
}
