// The form and the status bar: object names, classes, parents, texts, toolbar order, icons.
#include <QAction>
#include <QComboBox>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QToolBar>
#include <QtTest>

#include "tests/windowprobe.h"

namespace {
QList<QWidget *> statusWidgetsInOrder(MainWindow &w)
{
    return {MainWindowProbe::serverStateLabel(w), MainWindowProbe::clientStateLabel(w),
            MainWindowProbe::progressBar(w), MainWindowProbe::serverErrorLabel(w),
            MainWindowProbe::clientErrorLabel(w)};
}
QList<QLabel *> labels(MainWindow &w)
{
    return {MainWindowProbe::serverStateLabel(w), MainWindowProbe::serverErrorLabel(w),
            MainWindowProbe::clientStateLabel(w), MainWindowProbe::clientErrorLabel(w)};
}
} // namespace

class TestForm : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    MainWindow *w = nullptr;

private slots:
    void initTestCase()
    {
        // A settings file without a role leaves the form exactly as the layout built it.
        const QString ini = dir.filePath(QStringLiteral("settings.ini"));
        QSettings s(ini, QSettings::IniFormat);
        s.setValue(QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1"));
        s.sync();
        w = new MainWindow(freePort(), ini);
    }
    void cleanupTestCase() { delete w; }

    void objects_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QString>("text");
        auto row = [](const char *n, const char *c, const char *p, const QString &t = QString()) {
            QTest::newRow(n) << QString::fromLatin1(n) << QString::fromLatin1(c) << QString::fromLatin1(p) << t;
        };
        row("centralwidget", "QWidget", "MainWindow");
        row("dirShowLineEdit", "QLineEdit", "centralwidget");
        row("chooseDirBtn", "QPushButton", "centralwidget", QStringLiteral("选择接收目录"));
        row("frame", "QFrame", "centralwidget");
        row("stackedWidget", "QStackedWidget", "frame");
        row("page", "QWidget", "stackedWidget");
        row("label_2", "QLabel", "page", QStringLiteral("客户端地址:"));
        row("clientcomBox", "QComboBox", "page");
        row("page_2", "QWidget", "stackedWidget");
        row("label", "QLabel", "page_2", QStringLiteral("服务端地址:"));
        row("serverAddressLineEdit", "QLineEdit", "page_2");
        row("label_3", "QLabel", "frame", QStringLiteral("本地IP:"));
        row("localIpComBox", "QComboBox", "frame");
        row("textEdit", "QTextEdit", "centralwidget");
        row("testBtn", "QPushButton", "centralwidget", QStringLiteral("测试连接"));
        row("fileTransmitBtn", "QPushButton", "centralwidget", QStringLiteral("文件传输"));
        row("stopSendBtn", "QPushButton", "centralwidget", QStringLiteral("停止发送"));
        row("clearTextBtn", "QPushButton", "centralwidget", QStringLiteral("清理文本"));
        row("statusbar", "QStatusBar", "MainWindow");
        row("toolBar", "QToolBar", "MainWindow");
        row("act_startListen", "QAction", "MainWindow", QStringLiteral("开始监听"));
        row("act_stopListen", "QAction", "MainWindow", QStringLiteral("停止监听"));
        row("act_clearText", "QAction", "MainWindow", QStringLiteral("清理文本"));
        row("act_connect", "QAction", "MainWindow", QStringLiteral("建立连接"));
        row("act_disconnect", "QAction", "MainWindow", QStringLiteral("断开连接"));
        row("act_server", "QAction", "MainWindow", QStringLiteral("转到服务端"));
        row("act_client", "QAction", "MainWindow", QStringLiteral("转到客户端"));
        row("act_test", "QAction", "MainWindow", QStringLiteral("测试"));
        row("act_fileTransmit", "QAction", "MainWindow", QStringLiteral("文件传输"));
    }
    // Catches a renamed, re-parented or mislabelled form object (the on_ slots bind by name).
    void objects()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QString, parentName);
        QFETCH(QString, text);
        QObject *o = w->findChild<QObject *>(name);
        QVERIFY2(o, qPrintable(name));
        QCOMPARE(QString::fromLatin1(o->metaObject()->className()), className);
        QVERIFY(o->parent());
        QCOMPARE(o->parent()->objectName(), parentName);
        if (text.isEmpty())
            return;
        if (auto *a = qobject_cast<QAction *>(o))
            QCOMPARE(a->text(), text);
        else if (auto *b = qobject_cast<QPushButton *>(o))
            QCOMPARE(b->text(), text);
        else if (auto *l = qobject_cast<QLabel *>(o))
            QCOMPARE(l->text(), text);
    }

    // Catches a page order swap or a page-change slot run during set-up.
    void pagesAndGeometry()
    {
        Ui::MainWindow ui;
        QMainWindow bare;
        ui.setupUi(&bare);
        QCOMPARE(ui.stackedWidget->currentIndex(), 1);
        QCOMPARE(ui.stackedWidget->widget(0), ui.page);
        QCOMPARE(ui.stackedWidget->widget(1), ui.page_2);
        QCOMPARE(ui.serverAddressLineEdit->text(), QStringLiteral("192.168.34.40"));
        QCOMPARE(bare.windowTitle(), QStringLiteral("MainWindow"));
        QCOMPARE(bare.size(), QSize(503, 402));
        QCOMPARE(ui.frame->maximumHeight(), 42);
        QCOMPARE(ui.stackedWidget->maximumHeight(), 40);
        QCOMPARE(ui.horizontalLayout_6->spacing(), 0);
        QCOMPARE(ui.horizontalLayout_6->contentsMargins(), QMargins(0, 0, 0, 0));
        QCOMPARE(ui.verticalLayout_2->contentsMargins().left(), 0);
        QCOMPARE(ui.verticalLayout->contentsMargins().left(), 0);
        QCOMPARE(ui.horizontalLayout_2->spacing(), 0);
        QCOMPARE(ui.dirShowLineEdit->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(ui.dirShowLineEdit->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(ui.clientcomBox->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(ui.localIpComBox->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
        QCOMPARE(ui.frame->frameShape(), QFrame::StyledPanel);
        QCOMPARE(ui.frame->frameShadow(), QFrame::Raised);
        // The bottom row: four buttons separated by three expanding spacers.
        QCOMPARE(ui.horizontalLayout_4->count(), 7);
        const QList<QWidget *> buttons{ui.testBtn, ui.fileTransmitBtn, ui.stopSendBtn, ui.clearTextBtn};
        const int spacerWidths[] = {18, 40, 13};
        for (int i = 0; i < 7; ++i) {
            QLayoutItem *item = ui.horizontalLayout_4->itemAt(i);
            if (i % 2 == 0) {
                QCOMPARE(item->widget(), buttons[i / 2]);
            } else {
                QSpacerItem *sp = item->spacerItem();
                QVERIFY(sp);
                QCOMPARE(sp->sizeHint(), QSize(spacerWidths[i / 2], 20));
                QCOMPARE(sp->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
            }
        }
    }

    // Catches actions out of order, a movable toolbar, or a never-shown action placed.
    void toolbar()
    {
        auto *tb = w->findChild<QToolBar *>(QStringLiteral("toolBar"));
        QVERIFY(tb);
        QStringList names;
        for (QAction *a : tb->actions())
            names << a->objectName();
        QCOMPARE(names, QStringList({QStringLiteral("act_startListen"), QStringLiteral("act_stopListen"),
                                     QStringLiteral("act_connect"), QStringLiteral("act_disconnect"),
                                     QStringLiteral("act_server"), QStringLiteral("act_client")}));
        QVERIFY(!tb->isMovable());
        QCOMPARE(tb->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
        QCOMPARE(w->toolBarArea(tb), Qt::TopToolBarArea);
        for (const char *n : {"act_clearText", "act_test", "act_fileTransmit"}) {
            auto *a = w->findChild<QAction *>(QString::fromLatin1(n));
            QVERIFY(a);
            QVERIFY2(a->associatedWidgets().isEmpty(), n);
        }
    }

    // Catches status widgets added to the wrong area or order, or a visible progress bar.
    void statusBar()
    {
        MainWindow &win = *w;
        QVERIFY(MainWindowProbe::progressBar(win)->isHidden());
        QCOMPARE(MainWindowProbe::progressBar(win)->minimum(), 0);
        QCOMPARE(MainWindowProbe::progressBar(win)->maximum(), 100);
        for (int i = 0; i < 4; ++i) {
            QLabel *l = labels(win)[i];
            QVERIFY(l->autoFillBackground());
            QVERIFY(l->text().isEmpty());
            QCOMPARE(l->parentWidget(), w->statusBar()); // added to the bar, which adopts it
        }
        // Left to right once everything is visible and has some width.
        const QList<QWidget *> order = statusWidgetsInOrder(win);
        for (int i = 0; i < 4; ++i)
            labels(win)[i]->setText(QStringLiteral("x%1").arg(i));
        for (QWidget *wd : order)
            wd->show();
        w->resize(900, 400);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        for (int i = 1; i < order.size(); ++i) {
            const int prev = order[i - 1]->mapTo(w, QPoint(0, 0)).x();
            const int cur = order[i]->mapTo(w, QPoint(0, 0)).x();
            QVERIFY2(prev < cur, qPrintable(QStringLiteral("status widget %1 out of order").arg(i)));
        }
        w->hide();
        MainWindowProbe::progressBar(win)->hide();
        for (int i = 0; i < 4; ++i)
            labels(win)[i]->clear();
    }

    void icons_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("pixels");
        QTest::newRow("start") << QStringLiteral("开始监听.png") << 512;
        QTest::newRow("stop") << QStringLiteral("停止监听.png") << 512;
        QTest::newRow("clear") << QStringLiteral("清除文本.png") << 512;
        QTest::newRow("connect") << QStringLiteral("connect.png") << 512;
        QTest::newRow("disconnect") << QStringLiteral("disconnect.png") << 650;
        QTest::newRow("server") << QStringLiteral("server.png") << 512;
        QTest::newRow("client") << QStringLiteral("client.png") << 512;
        QTest::newRow("test") << QStringLiteral("test.png") << 700;
        QTest::newRow("fileSend") << QStringLiteral("fileSend.png") << 512;
    }
    // Catches a missing resource, a wrong size or an image without alpha.
    void icons()
    {
        QFETCH(QString, file);
        QFETCH(int, pixels);
        QImage img(QStringLiteral(":/res/icons/") + file);
        QVERIFY2(!img.isNull(), qPrintable(file));
        QCOMPARE(img.size(), QSize(pixels, pixels));
        QVERIFY(img.hasAlphaChannel());
        QCOMPARE(img.depth(), 32);
    }

    // Catches toolbar actions that lost their icon.
    void actionsHaveIcons()
    {
        for (QAction *a : w->findChildren<QAction *>()) {
            if (a->objectName().startsWith(QLatin1String("act_")))
                QVERIFY2(!a->icon().isNull(), qPrintable(a->objectName()));
        }
    }
};

QTEST_MAIN(TestForm)
#include "tst_form.moc"
