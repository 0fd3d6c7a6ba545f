// Connection state of the client-role socket, server and socket errors, the machine's own
// IPv4 addresses and the list of accepted clients.
//
// Sockets and the server live in the worker thread. The window never dereferences their
// pointers: it uses them as keys and reads what the worker publishes about them.
#include "app/mainwindow.h"
#include "net/localaddresses.h"
#include "ui_mainwindow.h"

#include <QHostAddress>
#include <QLabel>
#include <QPalette>

#include <algorithm>

SocketFacts MainWindow::factsOf(const QTcpSocket *socket) const
{
    return socketFactsSource ? socketFactsSource(socket) : sendWorker->socketFacts(socket);
}

QString MainWindow::serverErrorText() const
{
    return serverErrorSource ? serverErrorSource() : sendWorker->serverErrorText();
}

void MainWindow::colourLabel(QLabel *label, const QColor &colour)
{
    // The label fills its background, so the window colour shows; the derived text is black.
    label->setPalette(QPalette(QColor(0, 0, 10), colour));
}

void MainWindow::onSocketStateChange(QAbstractSocket::SocketState state)
{
    switch (state) {
    case QAbstractSocket::UnconnectedState:
        clientStateLabel->setText(tr("已断开连接"));
        colourLabel(clientStateLabel, Qt::red);
        log(QStringLiteral("已和服务器断开连接\n"));
        ui->act_connect->setEnabled(true);
        break;
    case QAbstractSocket::HostLookupState:
        clientStateLabel->setText(tr("正在查找主机"));
        break;
    case QAbstractSocket::ConnectingState:
        clientStateLabel->setText(tr("正在连接..."));
        colourLabel(clientStateLabel, Qt::yellow);
        break;
    case QAbstractSocket::ConnectedState:
        clientStateLabel->setText(tr("已建立连接"));
        colourLabel(clientStateLabel, Qt::green);
        log(QStringLiteral("已和服务器建立连接\n"));
        ui->act_connect->setEnabled(false);
        break;
    case QAbstractSocket::BoundState:
        clientStateLabel->setText(tr("已绑定到地址和端口"));
        break;
    case QAbstractSocket::ListeningState:
        clientStateLabel->setText(tr("正在监听中"));
        break;
    case QAbstractSocket::ClosingState:
        clientStateLabel->setText(tr("即将关闭"));
        break;
    default:
        break;
    }
}

void MainWindow::onServerErrorOccurs(QTcpServer *)
{
    serverErrorLabel->setText(serverErrorText());
    colourLabel(serverErrorLabel, Qt::red);
    statusTimer.start(5000);
}

void MainWindow::onClientErrorOccurs(QTcpSocket *client)
{
    clientErrorLabel->setText(factsOf(client).errorString);
    colourLabel(clientErrorLabel, Qt::red);
    statusTimer.start(5000);
}

void MainWindow::initLocalIpList()
{
    ui->localIpComBox->clear();
    // Runs once, before the window is shown.
    ui->localIpComBox->addItems(localIPv4Addresses());
}

void MainWindow::onNewClientconnected(QTcpSocket *client)
{
    const SocketFacts facts = factsOf(client);
    log(QStringLiteral("已和客户端建立连接"));
    log(QStringLiteral("client address:") + facts.peerAddress);
    log(QStringLiteral("client port:") + QString::number(facts.peerPort) + QLatin1Char('\n'));

    const QString key = shownPeerAddress(facts.peerAddress);
    // One entry per address; every socket is remembered, so that each one is disposed of.
    peerSockets.add(client, key);
    if (ui->clientcomBox->findText(key, Qt::MatchExactly | Qt::MatchCaseSensitive) >= 0)
        return;
    clientSockets.append(client);
    ui->clientcomBox->addItem(key);
}

void MainWindow::onClientDisconnected()
{
    const auto closed = peerSockets.takeClosed(*sendWorker, [this](const QTcpSocket *socket) {
        return factsOf(socket).state == QAbstractSocket::UnconnectedState;
    });
    for (const PeerRoster::Entry &gone : closed) {
        QTcpSocket *socket = gone.first;
        const QString &key = gone.second;
        log(QStringLiteral("已和客户端断开连接"));
        log(QStringLiteral("client address:") + key + QLatin1Char('\n'));
        const int listed = clientSockets.indexOf(socket);
        if (listed < 0)
            continue;
        // The address stays listed while another of its connections is open.
        const auto &open = peerSockets.entries();
        const auto other = std::find_if(open.cbegin(), open.cend(),
                                        [&key](const PeerRoster::Entry &p) { return p.second == key; });
        if (other != open.cend()) {
            clientSockets[listed] = other->first;
            continue;
        }
        ui->clientcomBox->removeItem(listed);
        clientSockets.remove(listed);
    }
}
