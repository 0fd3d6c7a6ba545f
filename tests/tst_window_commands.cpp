// The user's commands: what each slot tests, writes into the worker and emits, the role page
// switch and the dialogs behind their seams.
#include <QCoreApplication>
#include <QMenu>
#include <QtTest>

#include "transfer/receivethread.h"
#include "windowprobe.h"

using P = MainWindowProbe;
using testutil::logLines;

namespace {
const QString serverTitle = QStringLiteral("lumo以太网文件传输助手服务端(1.0)");
const QString clientTitle = QStringLiteral("客户端(1.0)");

struct DialogCall {
    QWidget *parent = nullptr;
    QString caption;
    QString dir;
    int count = 0;
};
} // namespace

class tst_WindowCommands : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void pageSwitch_data();
    void pageSwitch();
    void applyingTheCurrentPageStillSwitches();
    void roleActionsSwitchThePage_data();
    void roleActionsSwitchThePage();
    void tabFollowsTheLayout_data();
    void tabFollowsTheLayout();
    void sendingKeepsTheFocusOffTheDirectory();
    void shortcuts_data();
    void shortcuts();
    void simpleCommands_data();
    void simpleCommands();
    void emptyClientListDoesNothing_data();
    void emptyClientListDoesNothing();
    void notConnected_data();
    void notConnected();
    void testReachesTheSelectedClient();
    void fileSendStarts_data();
    void fileSendStarts();
    void chooseDirectory_data();
    void chooseDirectory();
    void dialogsOfAnInstalledCopy_data();
    void dialogsOfAnInstalledCopy();
    void typedDirectoryReachesTheEngineEachKeystroke();
    void connectTrimsTheAddress();
    void logMenuOpensTheReceiveDirectory_data();
    void logMenuOpensTheReceiveDirectory();

private:
    void listClients(int count, QAbstractSocket::SocketState state);
    void showActive();

    QTemporaryDir dir;
    std::unique_ptr<MainWindow> w;
    std::unique_ptr<QSignalSpy> commands;
    std::vector<std::unique_ptr<QTcpSocket>> keys; // test-owned sockets serve as client keys
    QHash<const QTcpSocket *, SocketFacts> facts;
    DialogCall fileDialog, dirDialog;
    QString fileAnswer, dirAnswer;
};

void tst_WindowCommands::init()
{
    w = testutil::makeWindow(dir, testutil::clientSettings());
    P::detachWorker(*w);
    commands = std::make_unique<QSignalSpy>(w.get(), &MainWindow::handleCmd);
    keys.clear();
    facts.clear();
    P::setFacts(*w, [this](const QTcpSocket *s) { return facts.value(s); });
    fileDialog = DialogCall();
    dirDialog = DialogCall();
    w->openFileDialog = [this](QWidget *parent, const QString &caption, const QString &dir) {
        fileDialog = {parent, caption, dir, fileDialog.count + 1};
        return fileAnswer.isNull() ? QStringList() : QStringList{fileAnswer}; // null: cancelled
    };
    w->chooseDirDialog = [this](QWidget *parent, const QString &caption, const QString &dir) {
        dirDialog = {parent, caption, dir, dirDialog.count + 1};
        return dirAnswer;
    };
}

void tst_WindowCommands::cleanup()
{
    commands.reset();
    w.reset();
}

void tst_WindowCommands::showActive()
{
    w->show();
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
}

void tst_WindowCommands::listClients(int count, QAbstractSocket::SocketState state)
{
    for (int i = 0; i < count; ++i) {
        keys.push_back(std::make_unique<QTcpSocket>());
        facts.insert(keys.back().get(), SocketFacts{state, QStringLiteral("::ffff:10.1.1.%1").arg(i + 1), 9, {}});
        P::clientSockets(*w) << keys.back().get();
        P::ui(*w)->clientcomBox->addItem(QStringLiteral("10.1.1.%1").arg(i + 1));
    }
}

// Faults: an action or label of the other role left visible, a wrong title, the receive
// directory left changeable on the server page, an index other than 0 and 1 switching.
void tst_WindowCommands::pageSwitch_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("switches");
    QTest::addColumn<bool>("server");
    QTest::newRow("server page") << 0 << true << true;
    QTest::newRow("client page") << 1 << true << false;
    QTest::newRow("index 2") << 2 << false << false;
    QTest::newRow("index -1") << -1 << false << false;
}

void tst_WindowCommands::pageSwitch()
{
    QFETCH(int, index);
    QFETCH(bool, switches);
    QFETCH(bool, server);

    Ui::MainWindow *ui = P::ui(*w);
    const QList<QAction *> serverActions{ui->act_startListen, ui->act_stopListen, ui->act_client};
    const QList<QAction *> clientActions{ui->act_connect, ui->act_disconnect, ui->act_server};
    const QList<QWidget *> serverLabels{P::serverStateLabel(*w), P::serverErrorLabel(*w)};
    const QList<QWidget *> clientLabels{P::clientStateLabel(*w), P::clientErrorLabel(*w)};
    const QList<QWidget *> dirWidgets{ui->dirShowLineEdit, ui->chooseDirBtn};

    for (const bool dirHiddenBefore : {false, true}) {
        // Everything starts the other way round, so that each change is seen.
        for (QAction *a : serverActions)
            a->setVisible(!server);
        for (QAction *a : clientActions)
            a->setVisible(server);
        for (QWidget *l : serverLabels)
            l->setHidden(server);
        for (QWidget *l : clientLabels)
            l->setHidden(!server);
        for (QWidget *d : dirWidgets)
            d->setHidden(dirHiddenBefore);
        w->setWindowTitle(QStringLiteral("before"));

        P::pageChanged(*w, index);

        const bool serverShown = switches ? server : !server;
        for (QAction *a : serverActions)
            QCOMPARE(a->isVisible(), serverShown);
        for (QAction *a : clientActions)
            QCOMPARE(a->isVisible(), !serverShown);
        for (QWidget *l : serverLabels)
            QCOMPARE(l->isHidden(), !serverShown);
        for (QWidget *l : clientLabels)
            QCOMPARE(l->isHidden(), serverShown);
        for (QWidget *d : dirWidgets)
            QCOMPARE(d->isHidden(), switches && server ? true : dirHiddenBefore);
        QCOMPARE(w->windowTitle(), !switches ? QStringLiteral("before") : server ? serverTitle : clientTitle);
    }
}

// Fault: applying the page that is already current through setCurrentIndex alone, which
// emits nothing, so the title and actions stay as the layout made them.
void tst_WindowCommands::applyingTheCurrentPageStillSwitches()
{
    QCOMPARE(P::ui(*w)->stackedWidget->currentIndex(), 1);
    w->setWindowTitle(QStringLiteral("before"));
    P::applyPage(*w, 1);
    QCOMPARE(w->windowTitle(), clientTitle);
    P::applyPage(*w, 0);
    QCOMPARE(P::ui(*w)->stackedWidget->currentIndex(), 0);
    QCOMPARE(w->windowTitle(), serverTitle);
}

// Faults: a role action not changing the page, or changing it without the switch; the client
// page reached from the server page without its receive directory; the role not saved.
void tst_WindowCommands::roleActionsSwitchThePage_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("role");
    QTest::newRow("转到服务端") << 1 << QStringLiteral("act_server") << 0 << QStringLiteral("server");
    QTest::newRow("转到客户端") << 0 << QStringLiteral("act_client") << 1 << QStringLiteral("client");
}

void tst_WindowCommands::roleActionsSwitchThePage()
{
    QFETCH(int, from);
    QFETCH(QString, action);
    QFETCH(int, page);
    QFETCH(QString, role);
    P::applyPage(*w, from);
    auto *act = w->findChild<QAction *>(action);
    act->trigger();
    QCOMPARE(P::ui(*w)->stackedWidget->currentIndex(), page);
    QCOMPARE(w->windowTitle(), page == 0 ? serverTitle : clientTitle);
    QCOMPARE(P::ui(*w)->dirShowLineEdit->isHidden(), page == 0);
    QVERIFY(!act->isVisible());
    QVERIFY(commands->isEmpty());
    w.reset(); // saves
    const QSettings saved(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    QCOMPARE(saved.value(QStringLiteral("socketType")).toString(), role);
}

// Faults: Tab visiting the widgets in creation order rather than as laid out, or staying in
// the log (which would take the tab as text).
void tst_WindowCommands::tabFollowsTheLayout_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QStringList>("visited");
    const QStringList below{QStringLiteral("localIpComBox"), QStringLiteral("textEdit"), QStringLiteral("testBtn"),
                            QStringLiteral("fileTransmitBtn"), QStringLiteral("folderTransmitBtn"),
                            QStringLiteral("stopSendBtn"), QStringLiteral("clearTextBtn")};
    QTest::newRow("server page") << 0 << QStringList{QStringLiteral("clientcomBox")} + below;
    QTest::newRow("client page") << 1
                                 << QStringList{QStringLiteral("dirShowLineEdit"), QStringLiteral("chooseDirBtn"),
                                                QStringLiteral("serverAddressLineEdit")}
            + below;
}

void tst_WindowCommands::tabFollowsTheLayout()
{
    QFETCH(int, page);
    QFETCH(QStringList, visited);
    P::applyPage(*w, page);
    showActive();
    w->findChild<QWidget *>(visited.first())->setFocus(Qt::OtherFocusReason);
    QStringList seen;
    // Once round, and back to the first.
    for (int i = 0; i <= visited.size(); ++i) {
        seen << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(seen, visited + QStringList{visited.first()});
    QVERIFY(!P::ui(*w)->textEdit->toPlainText().contains(QLatin1Char('\t')));
}

// Fault: the folder button (the last in the row) disabled with the focus as a send starts,
// handing it on to the receive directory, text selected, for the next key to replace.
void tst_WindowCommands::sendingKeepsTheFocusOffTheDirectory()
{
    P::ui(*w)->dirShowLineEdit->setText(QStringLiteral("/srv/收件"));
    showActive();
    w->findChild<QWidget *>(QStringLiteral("folderTransmitBtn"))->setFocus(Qt::MouseFocusReason);
    P::setBusy(*w, false, 1);
    QCOMPARE(QApplication::focusWidget(), P::ui(*w)->stopSendBtn);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("x"));
    QCOMPARE(P::ui(*w)->dirShowLineEdit->text(), QStringLiteral("/srv/收件"));
}

// Faults: a key taken by the focused field, or given to two controls (neither then fires).
void tst_WindowCommands::shortcuts_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("control");
    QTest::newRow("connect") << 1 << QStringLiteral("Ctrl+L") << QStringLiteral("act_connect");
    QTest::newRow("disconnect") << 1 << QStringLiteral("Ctrl+D") << QStringLiteral("act_disconnect");
    QTest::newRow("start listening") << 0 << QStringLiteral("Ctrl+Shift+L") << QStringLiteral("act_startListen");
    QTest::newRow("stop listening") << 0 << QStringLiteral("Ctrl+Shift+D") << QStringLiteral("act_stopListen");
    QTest::newRow("to the server") << 1 << QStringLiteral("Ctrl+1") << QStringLiteral("act_server");
    QTest::newRow("to the client") << 0 << QStringLiteral("Ctrl+2") << QStringLiteral("act_client");
    QTest::newRow("send a file") << 1 << QStringLiteral("Ctrl+O") << QStringLiteral("fileTransmitBtn");
    QTest::newRow("send a folder") << 0 << QStringLiteral("Ctrl+Shift+O") << QStringLiteral("folderTransmitBtn");
    QTest::newRow("stop sending") << 1 << QStringLiteral("Esc") << QStringLiteral("stopSendBtn");
}

void tst_WindowCommands::shortcuts()
{
    QFETCH(int, page);
    QFETCH(QString, keys);
    QFETCH(QString, control);
    P::applyPage(*w, page);
    showActive();
    QObject *target = w->findChild<QObject *>(control);
    QSignalSpy fired(target, qobject_cast<QAction *>(target) ? SIGNAL(triggered(bool)) : SIGNAL(clicked(bool)));
    // From the fields that take typed keys.
    QWidget *field = page == 0 ? static_cast<QWidget *>(P::ui(*w)->textEdit) : P::ui(*w)->serverAddressLineEdit;
    field->setFocus(Qt::OtherFocusReason);
    QTest::keySequence(field, QKeySequence(keys));
    QTRY_COMPARE(fired.count(), 1); // a button's key clicks it a moment later
}

// Faults: a wrong command code, a command from a slot that must not emit one, the stop flag
// not set, the log not emptied.
void tst_WindowCommands::simpleCommands_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("command"); // -1: none
    QTest::newRow("start listening") << QStringLiteral("act_startListen") << int(CmdStartListen);
    QTest::newRow("stop listening") << QStringLiteral("act_stopListen") << int(CmdStopListen);
    QTest::newRow("disconnect") << QStringLiteral("act_disconnect") << int(CmdDisconnect);
    QTest::newRow("stop sending") << QStringLiteral("stopSendBtn") << -1;
    QTest::newRow("clear the log") << QStringLiteral("clearTextBtn") << -1;
}

void tst_WindowCommands::simpleCommands()
{
    QFETCH(QString, control);
    QFETCH(int, command);

    P::pageChanged(*w, 0); // the listening actions are visible (and so enabled) on this page
    P::ui(*w)->act_disconnect->setVisible(true);
    P::ui(*w)->textEdit->append(QStringLiteral("something"));
    P::worker(*w)->stopSend = false;
    QObject *target = w->findChild<QObject *>(control);
    QVERIFY(target);
    if (auto *action = qobject_cast<QAction *>(target))
        action->trigger();
    else
        QTest::mouseClick(qobject_cast<QWidget *>(target), Qt::LeftButton);

    QCOMPARE(commands->size(), command < 0 ? 0 : 1);
    if (command >= 0)
        QCOMPARE(commands->at(0).at(0).toInt(), command);
    QCOMPARE(P::worker(*w)->stopSend.load(), control == QLatin1String("stopSendBtn"));
    QCOMPARE(logLines(*w).isEmpty(), control == QLatin1String("clearTextBtn"));
}

// Faults: a command or log line with nothing listed, a dialog opened, a role or target written.
void tst_WindowCommands::emptyClientListDoesNothing_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("test") << QStringLiteral("testBtn");
    QTest::newRow("file") << QStringLiteral("fileTransmitBtn");
}

void tst_WindowCommands::emptyClientListDoesNothing()
{
    QFETCH(QString, button);
    P::applyPage(*w, 0);
    QTest::mouseClick(w->findChild<QPushButton *>(button), Qt::LeftButton);
    QVERIFY(commands->isEmpty());
    QVERIFY(logLines(*w).isEmpty());
    QCOMPARE(fileDialog.count, 0);
    QCOMPARE(P::worker(*w)->sendRole.load(), int(RoleIdle));
    QCOMPARE(P::targetSocket(*w), nullptr);
}

// Faults: a command to a dropped peer, a wrong text, a dialog before the connection test, the
// role not kept after the failed test, the wrong socket stored as target.
void tst_WindowCommands::notConnected_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("role");
    const QString noTest = QStringLiteral("未建立连接，无法发送!");
    const QString noSend = QStringLiteral("未建立连接，传送失败!");
    QTest::newRow("client page, test") << 1 << QStringLiteral("testBtn") << noTest << int(RoleIdle);
    QTest::newRow("client page, file") << 1 << QStringLiteral("fileTransmitBtn") << noSend << int(RoleClient);
    QTest::newRow("dropped client, test") << 0 << QStringLiteral("testBtn") << noTest << int(RoleIdle);
    QTest::newRow("dropped client, file") << 0 << QStringLiteral("fileTransmitBtn") << noSend << int(RoleServer);
}

void tst_WindowCommands::notConnected()
{
    QFETCH(int, page);
    QFETCH(QString, button);
    QFETCH(QString, line);
    QFETCH(int, role);

    P::applyPage(*w, page);
    listClients(1, QAbstractSocket::UnconnectedState);
    QTcpSocket *expected = page == 0 ? keys.front().get() : P::worker(*w)->currentClientSocket();

    QTest::mouseClick(w->findChild<QPushButton *>(button), Qt::LeftButton);

    QVERIFY(commands->isEmpty());
    QCOMPARE(logLines(*w), QStringList{line});
    QCOMPARE(fileDialog.count, 0);
    QCOMPARE(P::worker(*w)->sendRole.load(), role);
    QCOMPARE(P::targetSocket(*w), expected);
}

// Faults: the first listed socket used whatever is selected, a log line on success.
void tst_WindowCommands::testReachesTheSelectedClient()
{
    P::applyPage(*w, 0);
    listClients(3, QAbstractSocket::ConnectedState);
    P::ui(*w)->clientcomBox->setCurrentIndex(2);
    QTest::mouseClick(P::ui(*w)->testBtn, Qt::LeftButton);
    QCOMPARE(commands->size(), 1);
    QCOMPARE(commands->at(0).at(0).toInt(), int(CmdSendTest));
    QCOMPARE(P::targetSocket(*w), keys.at(2).get());
    QVERIFY(logLines(*w).isEmpty());
}

// Faults: a wrong role, target or path written, a cancelled dialog stopping the send (it must
// go on, so that the sender reports the open failure and the controls come back), controls
// left enabled or the bar left hidden, the dialog's caption or start directory wrong.
void tst_WindowCommands::fileSendStarts_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("chosen");
    QTest::newRow("server page, file chosen") << 0 << QStringLiteral("/data/报告, final.bin");
    QTest::newRow("client page, file chosen") << 1 << QStringLiteral("/data/a.txt");
    QTest::newRow("client page, dialog cancelled") << 1 << QString();
}

void tst_WindowCommands::fileSendStarts()
{
    QFETCH(int, page);
    QFETCH(QString, chosen);

    P::applyPage(*w, page);
    Ui::MainWindow *ui = P::ui(*w);
    ui->act_stopListen->setVisible(true);
    ui->act_disconnect->setVisible(true);
    listClients(2, QAbstractSocket::ConnectedState);
    ui->clientcomBox->setCurrentIndex(1);
    QTcpSocket *expected = page == 0 ? keys.at(1).get() : P::worker(*w)->currentClientSocket();
    facts[P::worker(*w)->currentClientSocket()].state = QAbstractSocket::ConnectedState;
    fileAnswer = chosen;

    QTest::mouseClick(ui->fileTransmitBtn, Qt::LeftButton);

    QCOMPARE(fileDialog.count, 1);
    QCOMPARE(fileDialog.parent, w.get());
    QCOMPARE(fileDialog.caption, QStringLiteral("选择文件"));
    QCOMPARE(fileDialog.dir, QCoreApplication::applicationDirPath());
    QCOMPARE(P::sendFilePath(*w), chosen);
    QCOMPARE(P::targetSocket(*w), expected);
    QCOMPARE(P::worker(*w)->sendRole.load(), page == 0 ? int(RoleServer) : int(RoleClient));
    QCOMPARE(logLines(*w), QStringList{QStringLiteral("开始传送中...")});
    QVERIFY(!ui->testBtn->isEnabled());
    QVERIFY(!ui->fileTransmitBtn->isEnabled());
    QCOMPARE(ui->act_stopListen->isEnabled(), page != 0);
    QCOMPARE(ui->act_disconnect->isEnabled(), page == 0);
    QVERIFY(!P::progressBar(*w)->isHidden());
    QCOMPARE(commands->size(), 1);
    QCOMPARE(commands->at(0).at(0).toInt(), int(CmdSendFile));

    // The open failure that follows a cancelled dialog brings everything back.
    P::transState(*w, TransOpenFailed);
    QVERIFY(ui->testBtn->isEnabled());
    QVERIFY(ui->fileTransmitBtn->isEnabled());
    QVERIFY(P::progressBar(*w)->isHidden());
}

// Faults: a cancelled dialog clearing the directory, the chosen one not reaching the engine,
// a wrong caption, start directory or parent.
void tst_WindowCommands::chooseDirectory_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("expected");
    QTest::newRow("chosen") << QStringLiteral("/srv/收件, 2") << QStringLiteral("/srv/收件, 2");
    QTest::newRow("cancelled") << QString() << QStringLiteral("/earlier");
}

void tst_WindowCommands::chooseDirectory()
{
    QFETCH(QString, answer);
    QFETCH(QString, expected);
    P::ui(*w)->dirShowLineEdit->setText(QStringLiteral("/earlier"));
    dirAnswer = answer;

    QTest::mouseClick(P::ui(*w)->chooseDirBtn, Qt::LeftButton);

    QCOMPARE(dirDialog.count, 1);
    QCOMPARE(dirDialog.parent, w.get());
    QCOMPARE(dirDialog.caption, QStringLiteral("选择文件夹"));
    QCOMPARE(dirDialog.dir, QCoreApplication::applicationDirPath());
    QCOMPARE(P::ui(*w)->dirShowLineEdit->text(), expected);
    QCOMPARE(receiveDirPath.get(), expected);
}

// Faults: an installed copy's dialogs opening among its program files, or not where the user
// last was; a portable copy's no longer beside it.
void tst_WindowCommands::dialogsOfAnInstalledCopy_data()
{
    QTest::addColumn<bool>("beside");
    QTest::addColumn<QString>("second"); // where the dialog opens after "/srv/收件" was chosen
    QTest::newRow("portable") << true << QStringLiteral("/start");
    QTest::newRow("installed") << false << QStringLiteral("/srv/收件");
}

void tst_WindowCommands::dialogsOfAnInstalledCopy()
{
    QFETCH(bool, beside);
    QFETCH(QString, second);
    P::places(*w).dialogDir = QStringLiteral("/start");
    P::places(*w).besideProgram = beside;
    dirAnswer = QStringLiteral("/srv/收件");
    QTest::mouseClick(P::ui(*w)->chooseDirBtn, Qt::LeftButton);
    QCOMPARE(dirDialog.dir, QStringLiteral("/start"));
    dirAnswer = QString();
    QTest::mouseClick(P::ui(*w)->chooseDirBtn, Qt::LeftButton);
    QCOMPARE(dirDialog.dir, second);
}

// Faults: the engine's directory updated only on editing finished, or trimmed.
void tst_WindowCommands::typedDirectoryReachesTheEngineEachKeystroke()
{
    QLineEdit *edit = P::ui(*w)->dirShowLineEdit;
    edit->clear();
    QString typed;
    for (const QChar c : QStringLiteral(" /tmp/x ")) {
        QTest::keyClicks(edit, QString(c));
        typed += c;
        QCOMPARE(receiveDirPath.get(), typed);
    }
}

// Faults: the address sent with its blanks, the field itself trimmed.
void tst_WindowCommands::connectTrimsTheAddress()
{
    P::ui(*w)->serverAddressLineEdit->setText(QStringLiteral("  127.0.0.1 \t"));
    P::ui(*w)->act_connect->trigger();
    QCOMPARE(P::hostName(*w), QStringLiteral("127.0.0.1"));
    QCOMPARE(P::ui(*w)->serverAddressLineEdit->text(), QStringLiteral("  127.0.0.1 \t"));
    QCOMPARE(commands->size(), 1);
    QCOMPARE(commands->at(0).at(0).toInt(), int(CmdConnect));
}

// Faults: no such entry in the log's menu, the setting opened as typed instead of the directory
// the engine writes into, a failure to open it passing in silence.
void tst_WindowCommands::logMenuOpensTheReceiveDirectory_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("opened");
    QTest::addColumn<bool>("opens");
    const QString app = QCoreApplication::applicationDirPath();
    QTest::newRow("empty: the program's directory") << QString() << app << true;
    QTest::newRow("relative: from the program's directory") << QStringLiteral("in") << app + QStringLiteral("/in") << true;
    // On Windows the path is on the current drive.
    QTest::newRow("nothing opens it") << QStringLiteral("/srv/收件")
                                      << QFileInfo(QStringLiteral("/srv/收件")).absoluteFilePath() << false;
}

void tst_WindowCommands::logMenuOpensTheReceiveDirectory()
{
    QFETCH(QString, setting);
    QFETCH(QString, opened);
    QFETCH(bool, opens);
    P::ui(*w)->dirShowLineEdit->setText(setting);
    QList<QUrl> urls;
    w->openUrl = [&](const QUrl &url) {
        urls << url;
        return opens;
    };
    QTextEdit *edit = P::ui(*w)->textEdit;
    emit edit->customContextMenuRequested(QPoint(5, 5));
    QMenu *menu = nullptr;
    QTRY_VERIFY((menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())));
    QAction *entry = nullptr;
    for (QAction *a : menu->actions()) {
        if (a->text() == QStringLiteral("打开接收目录"))
            entry = a;
    }
    QVERIFY(entry);
    entry->trigger();
    menu->close();
    QCOMPARE(urls, QList<QUrl>{QUrl::fromLocalFile(opened)});
    QCOMPARE(logLines(*w), opens ? QStringList() : QStringList{QStringLiteral("打开接收目录失败:") + QDir::toNativeSeparators(opened)});
}

QTEST_MAIN(tst_WindowCommands)
#include "tst_window_commands.moc"
