#ifndef LUMO_NET_LOCALADDRESSES_H
#define LUMO_NET_LOCALADDRESSES_H

#include <QHostAddress>
#include <QList>
#include <QStringList>

#include <functional>

// What the address list needs of one network interface.
struct InterfaceAddresses {
    bool up = false; // up and running
    QList<QHostAddress> addresses;
};

// The IPv4 addresses of this machine that a peer can be told: those of the interfaces that
// are up, LAN addresses first (in the interfaces' order), link-local next, loopback last.
// The host-name lookup is asked only when no interface gives one: under Debian's /etc/hosts
// it answers 127.0.1.1 alone, which no other machine can reach.
QStringList localIPv4Addresses(const QList<InterfaceAddresses> &interfaces,
                               const std::function<QList<QHostAddress>()> &hostLookup);
// Of this machine; the fallback lookup blocks until it returns.
QStringList localIPv4Addresses();

#endif
