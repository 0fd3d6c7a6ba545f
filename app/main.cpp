#include <QApplication>
#include <QGuiApplication>

#include <cstdio>

#include "app/mainwindow.h"

namespace {
// Without a display the window still runs, headless, so the tool works over SSH and in CI.
void chooseHeadlessWhenNoDisplay()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen")
        std::fprintf(stderr, "lumo-transfer: no display, running headless (QT_QPA_PLATFORM=offscreen)\n");
}
} // namespace

int main(int argc, char *argv[])
{
    chooseHeadlessWhenNoDisplay();
    QApplication a(argc, argv);
    MainWindow w;
    w.show();
    return a.exec();
}
