// settings.ini: what a start makes of it (page, listening, fields) and what a close writes.
#include <QCoreApplication>
#include <QtTest>

#include "app/places.h"
#include "transfer/receivethread.h"
#include "windowprobe.h"

using P = MainWindowProbe;

namespace {
const QString serverTitle = QStringLiteral("lumo以太网文件传输助手服务端(1.0)");
const QString clientTitle = QStringLiteral("客户端(1.0)");

// Whether the window's worker listens, once it has run what the constructor asked of it.
bool listening(MainWindow &w, quint16 port)
{
    P::drainWorker(w);
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(3000);
}
} // namespace

class tst_Settings : public QObject {
    Q_OBJECT
private slots:
    void load_data();
    void load();
    void roundTrip_data();
    void roundTrip();
    void places_data();
    void places();

private:
    QString appDir() const { return QCoreApplication::applicationDirPath(); }
};

// Faults: "server" compared without case, a missing key treated as present, a page applied
// (and listening started) for a file without a role, listening not requested on a first
// start, defaults other than the application's directory and 192.168.0.0, an unreadable file
// taken as absent.
void tst_Settings::load_data()
{
    QTest::addColumn<QVariantMap>("file"); // empty: no file at all
    QTest::addColumn<bool>("unreadable");
    QTest::addColumn<int>("page"); // -1: the layout's page, no switch ran
    QTest::addColumn<bool>("listens");
    QTest::addColumn<QString>("dir"); // null: the application's directory
    QTest::addColumn<QString>("address");

    const QString defaultAddress = QStringLiteral("192.168.0.0");
    const QString dir = QStringLiteral("/srv/in");
    auto file = [](const char *role, const QString &dir, const QString &address) {
        QVariantMap m;
        if (role)
            m.insert(QStringLiteral("socketType"), QString::fromUtf8(role));
        if (!dir.isNull())
            m.insert(QStringLiteral("saveFilePath"), dir);
        if (!address.isNull())
            m.insert(QStringLiteral("serverAddress"), address);
        return m;
    };

    QTest::newRow("first start") << QVariantMap() << false << 0 << true << QString() << defaultAddress;
    QTest::newRow("server") << file("server", dir, QStringLiteral("10.0.0.9")) << false << 0 << true << dir
                            << QStringLiteral("10.0.0.9");
    QTest::newRow("client") << file("client", dir, QStringLiteral("10.0.0.9")) << false << 1 << false << dir
                            << QStringLiteral("10.0.0.9");
    QTest::newRow("Server in capitals means client") << file("Server", dir, QString()) << false << 1 << false << dir
                                                     << defaultAddress;
    QTest::newRow("any other role means client") << file("relay", dir, QString()) << false << 1 << false << dir
                                                 << defaultAddress;
    QTest::newRow("no role: no page applied") << file(nullptr, dir, QStringLiteral("10.0.0.9")) << false << -1 << false
                                              << dir << QStringLiteral("10.0.0.9");
    QTest::newRow("only a role") << file("client", QString(), QString()) << false << 1 << false << QString()
                                 << defaultAddress;
    QTest::newRow("unreadable file") << QVariantMap() << true << -1 << false << QString() << defaultAddress;
}

void tst_Settings::load()
{
    QFETCH(QVariantMap, file);
    QFETCH(bool, unreadable);
    QFETCH(int, page);
    QFETCH(bool, listens);
    QFETCH(QString, dir);
    QFETCH(QString, address);

    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("settings.ini"));
    if (unreadable)
        QVERIFY(QDir().mkdir(path)); // exists, yet no settings can be read from it
    const quint16 port = testutil::freePort();
    auto w = testutil::makeWindow(tmp, file, port);
    Ui::MainWindow *ui = P::ui(*w);

    QCOMPARE(ui->stackedWidget->currentIndex(), page < 0 ? 1 : page);
    QCOMPARE(w->windowTitle(), page < 0 ? QStringLiteral("MainWindow") : page == 0 ? serverTitle : clientTitle);
    if (page < 0) { // the layout's state: nothing hidden by a switch
        QVERIFY(ui->act_startListen->isVisible());
        QVERIFY(ui->act_server->isVisible());
        QVERIFY(!ui->dirShowLineEdit->isHidden());
    }
    QCOMPARE(ui->dirShowLineEdit->text(), dir.isNull() ? appDir() : dir);
    QCOMPARE(receiveDirPath.get(), ui->dirShowLineEdit->text());
    QCOMPARE(ui->serverAddressLineEdit->text(), address);
    QVERIFY(ui->localIpComBox->count() > 0); // loopback at least
    QCOMPARE(listening(*w, port), listens);
    if (unreadable)
        QVERIFY(QDir().rmdir(path)); // let the close write its file
}

// Faults: a value escaped on the way out but not back (non-ASCII, a comma read as a list),
// blanks trimmed from the address, the role written from anything but the page.
void tst_Settings::roundTrip_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("address");
    QTest::newRow("server, non-ASCII and comma")
        << 0 << QStringLiteral("/home/用户/接收, 文件;x=1") << QStringLiteral("192.168.3.4");
    QTest::newRow("client, blanks around the address")
        << 1 << QStringLiteral("C:\\Users\\a b\\收件") << QStringLiteral("  10.0.0.7 \t");
}

void tst_Settings::roundTrip()
{
    QFETCH(int, page);
    QFETCH(QString, dir);
    QFETCH(QString, address);

    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("settings.ini"));
    const quint16 port = testutil::freePort();
    {
        auto w = testutil::makeWindow(tmp, testutil::clientSettings(), port);
        P::applyPage(*w, page);
        P::ui(*w)->dirShowLineEdit->setText(dir);
        P::ui(*w)->serverAddressLineEdit->setText(address);
    }
    {
        const QSettings written(path, QSettings::IniFormat);
        QCOMPARE(written.value(QStringLiteral("socketType")).toString(),
                 page == 0 ? QStringLiteral("server") : QStringLiteral("client"));
        QCOMPARE(written.value(QStringLiteral("saveFilePath")).toString(), dir);
        QCOMPARE(written.value(QStringLiteral("serverAddress")).toString(), address);
    }
    auto again = std::make_unique<MainWindow>(port, path);
    QCOMPARE(P::ui(*again)->stackedWidget->currentIndex(), page);
    QCOMPARE(P::ui(*again)->dirShowLineEdit->text(), dir);
    QCOMPARE(P::ui(*again)->serverAddressLineEdit->text(), address);
    QCOMPARE(listening(*again, port), page == 0);
}

// Faults: an installed copy that keeps settings.ini or its received files beside the
// executable, because its directory is writable (root, or a prefix the user owns) or not, or
// a portable copy that no longer does; an installed copy's file dialogs opening among its
// program files.
void tst_Settings::places_data()
{
    QTest::addColumn<bool>("installed"); // bin/ beside share/applications/org.lumo.transfer.desktop
    QTest::addColumn<bool>("writable");
    QTest::addColumn<bool>("beside");
    QTest::newRow("portable copy") << false << true << true;
    QTest::newRow("portable copy, read-only") << false << false << false;
    QTest::newRow("installed copy the user can write to") << true << true << false;
}

void tst_Settings::places()
{
    QFETCH(bool, installed);
    QFETCH(bool, writable);
    QFETCH(bool, beside);
    QTemporaryDir prefix;
    const QString appDir = prefix.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(appDir));
    if (installed) {
        QVERIFY(QDir().mkpath(prefix.filePath(QStringLiteral("share/applications"))));
        QFile entry(prefix.filePath(QStringLiteral("share/applications/org.lumo.transfer.desktop")));
        QVERIFY(entry.open(QIODevice::WriteOnly));
    }
    const AppPlaces places = appPlaces(appDir, writable);
    const QString settingsDir = beside ? appDir : QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QCOMPARE(places.settingsFile, settingsDir + QStringLiteral("/settings.ini"));
    QCOMPARE(places.receiveDir, beside ? appDir : QStandardPaths::writableLocation(QStandardPaths::DownloadLocation));
    QCOMPARE(places.dialogDir, beside ? appDir : QDir::homePath());
}

QTEST_MAIN(tst_Settings)
#include "tst_settings.moc"
