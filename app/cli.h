#ifndef LUMO_APP_CLI_H
#define LUMO_APP_CLI_H

#include <QStringList>

// The `send` and `receive` commands: a second front end over the same worker and engine
// as the window, printing where the window draws.
namespace cli {

// Exit statuses of the commands.
enum Status : int { Done = 0, Failed = 1, UsageError = 2, Interrupted = 130 };

// Whether the arguments ask for the command line rather than the window: a command or one
// of its options. Anything else is left to the window's toolkit to read.
bool wanted(const QStringList &arguments);

// The first argument that the window would take for a command it does not know: not an
// option, nor the value of one of its toolkit's options, nor a file's path. Empty if none.
QString unknownCommand(const QStringList &arguments);

// Says message and where help is on stderr; returns UsageError.
int usageError(const QString &message);

// Parses QCoreApplication::arguments() and runs the command; returns the exit status.
int run();

// A peer's text made safe for a terminal and one line: control characters and backslashes
// as escapes.
QString printable(const QString &text);

// send's progress line for one file, at most columns - 1 terminal columns wide (the last
// one would make some terminals wrap): the name, a bar, the share, bytes done and total,
// the rate and the time left; the bar, the time left and then the name give way first.
QString progressLine(const QString &name, qint64 done, qint64 total, qint64 ms, int columns);

} // namespace cli

#endif
