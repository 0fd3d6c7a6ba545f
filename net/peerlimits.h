#ifndef LUMO_NET_PEERLIMITS_H
#define LUMO_NET_PEERLIMITS_H

#include <QHash>
#include <QHostAddress>

#include <functional>

class QTcpSocket;

// How many accepted peers the worker keeps at once: each costs a descriptor, and a received
// file another, so the caps leave room below the process's descriptor limit; and one
// address cannot take every place.
namespace peerLimits {
// Peers at once from one address: an IPv4 address, or an IPv6 /64 (one host may hold any
// number of addresses in its /64).
constexpr int perAddress = 64;
constexpr int descriptorReserve = 64;
// A peer with no byte either way for this long, and nothing under way on it, may be closed to
// make room for a newcomer that would otherwise be refused.
constexpr int idleMs = 2 * 60 * 1000;

// Raises the soft descriptor limit to the hard one (POSIX; nothing elsewhere). Called once
// at start, before any thread.
void raiseDescriptorLimit();
// The most peers at once: most, fewer when the descriptor limit leaves less than a socket and
// a file for each beside the reserve ((limit - reserve) / 2, at least one).
int maxPeers(int most);
// What a peer counts under toward perAddress: its IPv4 address (also when it came as
// ::ffff:a.b.c.d), or the /64 prefix of its IPv6 address (no scope).
QHostAddress addressKey(const QHostAddress &address);
// Whether the peer has closed its end, or reset it, before the worker read that (or its
// socket holds no descriptor any more): it no longer needs its place.
bool hungUp(const QTcpSocket *socket);
} // namespace peerLimits

// The accepted peers that hold places, each with the group it counts in (addressKey) and
// when a byte last went either way. Sockets are keys only, never dereferenced here. Worker
// thread only.
class PeerPlaces {
public:
    void add(const QTcpSocket *socket, const QHostAddress &key, qint64 now);
    void remove(const QTcpSocket *socket); // nothing when it holds none
    void touch(const QTcpSocket *socket, qint64 now);
    bool contains(const QTcpSocket *socket) const { return places.contains(socket); }
    int size() const { return int(places.size()); }
    int count(const QHostAddress &key) const { return perKey.value(key); }
    QList<const QTcpSocket *> sockets() const { return places.keys(); }
    // The peer to close first to make room: of group (or of any, when null), silent since
    // before silentSince and not busy, the one silent longest (the earliest admitted among
    // equals); null when there is none.
    const QTcpSocket *idlest(const QHostAddress *group, qint64 silentSince,
                             const std::function<bool(const QTcpSocket *)> &busy) const;

private:
    struct Place {
        QHostAddress key;
        qint64 lastActive = 0;
        quint64 order = 0; // of admission
    };
    QHash<const QTcpSocket *, Place> places;
    QHash<QHostAddress, int> perKey;
    quint64 admitted = 0;
};

#endif
