#ifndef LUMO_NET_CODES_H
#define LUMO_NET_CODES_H

#include <QtGlobal>

// Commands of handleCmd(int).
enum Cmd : int {
    CmdStartListen = 0,
    CmdStopListen = 1,
    CmdConnect = 2,
    CmdDisconnect = 3,
    CmdSendTest = 4,
    CmdSendFile = 5,
};

// Codes of sendThread::sendActionSig.
enum Action : int {
    ActionListening = 0,
    ActionListenStopped = 1,
};

// Codes of sendThread::sendTransState. 13 is not used.
enum TransState : int {
    TransStarted = 10,
    TransFinished = 11,
    TransProgress = 12,
    TransStopped = 14,
    TransDisconnected = 15,
    TransOpenFailed = 16,
    TransReadFailed = 17,
    // Toward another instance only: the receiver refused the offer, or did not store the file
    // whole (its digest differed, or it could not write it).
    TransRefused = 18,
    TransNotStored = 19,
    // A folder toward a peer that is not an instance of this program: not sent.
    TransFolderRefused = 23,
    // A folder toward an instance that cannot go: more entries than a folder may announce, or
    // a name the framing does not carry.
    TransFolderUnsendable = 24,
};

// Direction roles held in sendThread::sendRole and receiveRole.
enum Role : int {
    RoleServer = 20,
    RoleClient = 21,
    RoleIdle = 22,
};

// The port both roles use.
constexpr quint16 defaultPort = 8080;

#endif
