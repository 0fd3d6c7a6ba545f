#ifndef LUMO_TESTS_FREEPORT_H
#define LUMO_TESTS_FREEPORT_H

#include <QTcpServer>

// A port nobody listened on a moment ago; workers and windows take it instead of 8080.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

#endif
