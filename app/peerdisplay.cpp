// What the UDP service finds out, shown: whether the connection in use is fast, and on the
// client page, the servers that answered a discovery probe, offered as the address field's
// completions.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QCompleter>
#include <QDeadlineTimer>
#include <QLabel>
#include <QStandardItemModel>

namespace {
constexpr int addressRole = Qt::UserRole;
// Changes of the list reach the completer at most this often, however many answers come.
constexpr int showServersMs = 250;

qint64 nowMs() { return QDeadlineTimer::current().deadline(); }
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

    foundServersTimer.setSingleShot(true);
    foundServersTimer.setInterval(showServersMs);
    connect(&foundServersTimer, &QTimer::timeout, this, &MainWindow::showFoundServers);
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
    if (foundServers.forget(nowMs()) && !foundServersTimer.isActive())
        foundServersTimer.start();
    QMetaObject::invokeMethod(sendWorker, "discoverServers", Qt::QueuedConnection);
}

void MainWindow::onServerDiscovered(const QString &address, const QString &hostName)
{
    if (foundServers.take(address, hostName, nowMs()) && !foundServersTimer.isActive())
        foundServersTimer.start();
}

void MainWindow::showFoundServers()
{
    QHash<QString, QString> texts; // address -> text
    for (const FoundServers::Entry &e : foundServers.entries())
        texts.insert(e.address, e.text);
    for (int row = discoveredServers->rowCount() - 1; row >= 0; --row) {
        QStandardItem *item = discoveredServers->item(row);
        const QString text = texts.take(item->data(addressRole).toString());
        if (text.isEmpty())
            discoveredServers->removeRow(row);
        else if (item->text() != text)
            item->setText(text);
    }
    for (const FoundServers::Entry &e : foundServers.entries()) {
        if (!texts.contains(e.address))
            continue;
        auto *item = new QStandardItem(e.text);
        item->setEditable(false);
        item->setData(e.address, addressRole);
        discoveredServers->appendRow(item);
    }
    // A new server is offered at once to a user who is typing the address.
    if (!texts.isEmpty() && ui->serverAddressLineEdit->hasFocus() && !onServerPage())
        ui->serverAddressLineEdit->completer()->complete();
}
