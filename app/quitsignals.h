#ifndef LUMO_APP_QUITSIGNALS_H
#define LUMO_APP_QUITSIGNALS_H

#include <QObject>

#include <functional>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (Unix), or console control events and a WM_CLOSE posted
// to the main thread (Windows), into a call of onSignal in the object's thread, which ends the
// event loop (by default: quit with status 0), so that destructors save settings and close
// files as a closed window does. A second Ctrl-C while that runs ends the process at once.
// One instance per process, made after the application object.
class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(std::function<void()> onSignal = {}, QObject *parent = nullptr);
    ~QuitSignals() override;

    // Whether the signal that triggered it was an interrupt from the terminal (SIGINT,
    // Ctrl-C, Ctrl-Break).
    bool interrupted() const;

private slots:
    void trigger();

private:

    std::function<void()> onSignal;
    bool triggered = false;
#ifdef Q_OS_UNIX
    QSocketNotifier *notifier = nullptr;
#endif
};

#endif
