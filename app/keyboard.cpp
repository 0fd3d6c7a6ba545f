// The window without a mouse: a tab order that follows the layout, a log that Tab leaves, and
// shortcuts for the toolbar and the send buttons (the toolbar's buttons take no focus).
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QKeySequence>
#include <QPushButton>

namespace {
// The key goes into the tooltip too: nothing else in the window shows it.
template <typename Control>
void bindKey(Control *control, const QKeySequence &keys)
{
    control->setShortcut(keys);
    control->setToolTip(control->text() + QStringLiteral(" (") + keys.toString(QKeySequence::NativeText)
                        + QLatin1Char(')'));
}
} // namespace

void MainWindow::initKeyboard()
{
    // Top to bottom, left to right. One chain serves both pages: what a page hides is skipped.
    const QList<QWidget *> chain{ui->dirShowLineEdit, ui->chooseDirBtn,   ui->clientcomBox,
                                 ui->serverAddressLineEdit, ui->localIpComBox, ui->textEdit,
                                 ui->testBtn,         ui->fileTransmitBtn, folderTransmitBtn,
                                 ui->stopSendBtn,     ui->clearTextBtn};
    for (int i = 1; i < chain.size(); ++i)
        setTabOrder(chain.at(i - 1), chain.at(i));
    // A tab typed into the log is of no use; without this Tab never leaves it.
    ui->textEdit->setTabChangesFocus(true);

    // Each key has one meaning in the whole window, so that nothing is ambiguous even when
    // both pages' actions are visible (a settings file without a role).
    bindKey(ui->fileTransmitBtn, QKeySequence(Qt::CTRL | Qt::Key_O));
    bindKey(folderTransmitBtn, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    bindKey(ui->stopSendBtn, QKeySequence(Qt::Key_Escape));
    bindKey(ui->act_connect, QKeySequence(Qt::CTRL | Qt::Key_L));
    bindKey(ui->act_disconnect, QKeySequence(Qt::CTRL | Qt::Key_D));
    bindKey(ui->act_startListen, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L));
    bindKey(ui->act_stopListen, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_D));
    bindKey(ui->act_server, QKeySequence(Qt::CTRL | Qt::Key_1));
    bindKey(ui->act_client, QKeySequence(Qt::CTRL | Qt::Key_2));
}
