#ifndef LUMO_NET_SOCKETOPTIONS_H
#define LUMO_NET_SOCKETOPTIONS_H

#include <QtGlobal>

// Socket settings Qt does not reach, by descriptor.
namespace socketOptions {
// Probes an idle connection so that one to a vanished peer closes: first after idleSeconds,
// then every intervalSeconds, given up after count unanswered probes. Where the system
// takes no timings, only keepalive itself is set.
void keepAlive(qintptr descriptor, int idleSeconds = 30, int intervalSeconds = 5, int count = 3);
// Bytes the system holds written but not yet acknowledged by the peer; 0 where it does not say.
qint64 unsentBytes(qintptr descriptor);
}

#endif
