#include <QApplication>
#include <QCoreApplication>
#include <QIcon>

#include <cstdio>

#include "app/cli.h"
#include "app/mainwindow.h"
#include "app/quitsignals.h"
#include "net/peerlimits.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
QStringList argumentsOf(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

// A window nobody can see would still listen and accept files: say so instead. An explicit
// platform (offscreen for tests) is the caller's choice.
bool noDisplay(const QStringList &arguments)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && !arguments.contains(QStringLiteral("-platform"));
#else
    Q_UNUSED(arguments)
    return false;
#endif
}

// A window program has no console of its own: a command prints into the one it was started
// from, unless its output is redirected.
void useParentConsole()
{
#ifdef Q_OS_WIN
    if (::GetStdHandle(STD_ERROR_HANDLE) == nullptr && ::AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::freopen("CONOUT$", "w", stdout);
        std::freopen("CONOUT$", "w", stderr);
    }
#endif
}

void setIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("lumo-transfer"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
}

int runWindow(int argc, char *argv[])
{
    // Laid out in device-independent pixels, so a 200 % desktop shows the whole window; set
    // before the application object, as the toolkit requires.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    setIdentity();
    // The toolkit has taken its own options. An option left is a mistake; other arguments
    // (a file dropped on the program, "Open with") must not keep the window from opening.
    const QStringList rest = QCoreApplication::arguments().mid(1);
    for (const QString &arg : rest) {
        if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            std::fprintf(stderr, "lumo-transfer: unknown option '%s'\nTry 'lumo-transfer --help'.\n",
                         qUtf8Printable(cli::printable(arg)));
            return cli::UsageError;
        }
    }
    if (!rest.isEmpty())
        std::fprintf(stderr, "lumo-transfer: ignoring %s (the window takes no files; use 'send')\n",
                     qUtf8Printable(cli::printable(rest.join(QLatin1Char(' ')))));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.lumo.transfer"));
    // A signal ends the window as closing it does; a send in progress stops first, so the
    // worker is free to end. Handled from here on: one during start-up ends it once it runs.
    MainWindow *window = nullptr;
    QuitSignals quitSignals([&window] {
        if (window)
            QMetaObject::invokeMethod(window, "on_stopSendBtn_clicked", Qt::DirectConnection);
        QCoreApplication::quit();
    });
    MainWindow w;
    window = &w;
    // The form reads its icon relative to the working directory; an installed copy has it
    // in the icon theme.
    if (w.windowIcon().availableSizes().isEmpty())
        w.setWindowIcon(QIcon::fromTheme(QStringLiteral("org.lumo.transfer")));
    w.show();
    return app.exec();
}
} // namespace

int main(int argc, char *argv[])
{
    // Many peers and their files each hold a descriptor; the peer caps follow this limit.
    peerLimits::raiseDescriptorLimit();
    const QStringList arguments = argumentsOf(argc, argv);
    if (cli::wanted(arguments)) {
        useParentConsole();
        QCoreApplication app(argc, argv);
        setIdentity();
        return cli::run();
    }
    // Before the display is looked for: a mistyped command is told as one either way.
    const QString unknown = cli::unknownCommand(arguments.mid(1));
    if (!unknown.isEmpty())
        return cli::usageError(QStringLiteral("unknown command '%1'").arg(cli::printable(unknown)));
    if (noDisplay(arguments)) {
        std::fprintf(stderr, "lumo-transfer: no display to show the window on; to receive files without one, "
                             "run 'lumo-transfer receive [DIR]' (see --help)\n");
        return cli::Failed;
    }
    return runWindow(argc, argv);
}
