#ifndef LUMO_NET_PEERLIMITS_H
#define LUMO_NET_PEERLIMITS_H

#include <QHostAddress>
#include <QSet>

class QTcpSocket;

// How many accepted peers the worker keeps at once: each costs a descriptor, and a received
// file another, so the caps leave room below the process's descriptor limit; and one
// address cannot take every place.
namespace peerLimits {
constexpr int perAddress = 64;
constexpr int descriptorReserve = 64;

// Raises the soft descriptor limit to the hard one (POSIX; nothing elsewhere). Called once
// at start, before any thread.
void raiseDescriptorLimit();
// The most peers at once: most, fewer when the descriptor limit leaves less than the
// reserve beside them (at least one).
int maxPeers(int most);
// Whether a peer from address may join those open.
bool admits(const QSet<const QTcpSocket *> &open, const QHostAddress &address, int most);
} // namespace peerLimits

#endif
