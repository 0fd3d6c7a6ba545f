#include "net/localaddresses.h"

#include <QHostInfo>
#include <QNetworkInterface>

#include <algorithm>

namespace {
int rank(const QHostAddress &address)
{
    if (address.isLoopback())
        return 2;
    return address.isLinkLocal() ? 1 : 0;
}

QList<QHostAddress> ipv4Only(const QList<QHostAddress> &addresses)
{
    QList<QHostAddress> kept;
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !kept.contains(address))
            kept.append(address);
    }
    return kept;
}
} // namespace

QStringList localIPv4Addresses(const QList<InterfaceAddresses> &interfaces,
                               const std::function<QList<QHostAddress>()> &hostLookup)
{
    QList<QHostAddress> found;
    for (const InterfaceAddresses &iface : interfaces) {
        if (iface.up)
            found.append(iface.addresses);
    }
    found = ipv4Only(found);
    if (found.isEmpty() && hostLookup)
        found = ipv4Only(hostLookup());
    std::stable_sort(found.begin(), found.end(),
                     [](const QHostAddress &a, const QHostAddress &b) { return rank(a) < rank(b); });
    QStringList out;
    for (const QHostAddress &address : qAsConst(found))
        out.append(address.toString());
    return out;
}

QStringList localIPv4Addresses()
{
    QList<InterfaceAddresses> interfaces;
    const auto all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : all) {
        InterfaceAddresses entry;
        entry.up = iface.flags().testFlag(QNetworkInterface::IsUp) && iface.flags().testFlag(QNetworkInterface::IsRunning);
        for (const QNetworkAddressEntry &address : iface.addressEntries())
            entry.addresses.append(address.ip());
        interfaces.append(entry);
    }
    return localIPv4Addresses(interfaces, [] { return QHostInfo::fromName(QHostInfo::localHostName()).addresses(); });
}
