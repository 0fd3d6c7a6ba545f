// The window's life: font, the error-text reset, closing, and destruction during a command.
#include <QApplication>
#include <QLabel>
#include <QSettings>
#include <QStatusBar>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

#include "tests/windowprobe.h"

class TestMainWindow : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    QString clientSettings()
    {
        const QString ini = dir.filePath(QStringLiteral("client.ini"));
        QSettings s(ini, QSettings::IniFormat);
        s.setValue(QStringLiteral("socketType"), QStringLiteral("client"));
        s.setValue(QStringLiteral("saveFilePath"), dir.path());
        s.sync();
        return ini;
    }

private slots:
    // Catches a font set on a child only, or a size taken from the system default.
    void fontSize()
    {
        QApplication::setFont(QFont(QStringLiteral("Sans"), 7));
        MainWindow w(freePort(), clientSettings());
        QCOMPARE(w.font().pointSize(), 11);
        QCOMPARE(w.findChild<QWidget *>(QStringLiteral("textEdit"))->font().pointSize(), 11);
        QCOMPARE(w.windowTitle().endsWith(QStringLiteral("(1.0)")), true);
    }

    // Catches a timer that is not restarted by the second error, clears one label only,
    // or keeps firing.
    void errorLabelsClearedAfterLastError()
    {
        MainWindow w(freePort(), clientSettings());
        QLabel *serverLabel = MainWindowProbe::serverErrorLabel(w);
        QLabel *clientLabel = MainWindowProbe::clientErrorLabel(w);
        QTimer &timer = MainWindowProbe::statusTimer(w);

        MainWindowProbe::serverError(w);
        QVERIFY(timer.isActive());
        QCOMPARE(timer.interval(), 5000);
        QCOMPARE(serverLabel->palette().color(QPalette::Window), QColor(Qt::red));
        // Let part of the period pass, then a second error restarts the full 5 s.
        QTest::qWait(300);
        QVERIFY(timer.remainingTime() <= 4800);
        MainWindowProbe::clientError(w, MainWindowProbe::worker(w)->currentClientSocket());
        QVERIFY(timer.isActive());
        QVERIFY(timer.remainingTime() > 4800);
        QCOMPARE(clientLabel->palette().color(QPalette::Window), QColor(Qt::red));
        serverLabel->setText(QStringLiteral("server error"));
        clientLabel->setText(QStringLiteral("client error"));

        QVERIFY(QMetaObject::invokeMethod(&timer, "timeout"));
        QVERIFY(!timer.isActive());
        QVERIFY(serverLabel->text().isEmpty());
        QVERIFY(clientLabel->text().isEmpty());
        const QPalette bar = w.statusBar()->palette();
        QCOMPARE(serverLabel->palette().color(QPalette::Window), bar.color(QPalette::Window));
        QCOMPARE(clientLabel->palette().color(QPalette::Window), bar.color(QPalette::Window));
    }

    // Catches a close that leaves the event loop running or returns an error code.
    void closeEndsEventLoopWithZero()
    {
        auto *w = new MainWindow(freePort(), clientSettings());
        w->show();
        QTimer::singleShot(50, w, &QWidget::close);
        const int rc = QApplication::exec();
        QCOMPARE(rc, 0);
        delete w;
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("client.ini"))));
    }

    // Catches a destructor that deletes the worker while a command still runs in it, or
    // one that deadlocks waiting for it.
    void destructionWaitsForRunningCommand()
    {
        auto *w = new MainWindow(freePort(), clientSettings());
        sendThread *worker = MainWindowProbe::worker(*w);
        std::atomic<bool> started{false};
        std::atomic<bool> finished{false};
        QMetaObject::invokeMethod(worker, [&] {
            started = true;
            QThread::msleep(300); // stands in for a long command such as a file send
            finished = true;
        }, Qt::QueuedConnection);
        QTRY_VERIFY(started.load());
        QElapsedTimer t;
        t.start();
        delete w;
        QVERIFY(finished.load());
        QVERIFY(t.elapsed() < 5000);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
