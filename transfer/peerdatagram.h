#ifndef LUMO_TRANSFER_PEERDATAGRAM_H
#define LUMO_TRANSFER_PEERDATAGRAM_H

#include <QByteArray>
#include <QString>

#include <optional>

// Datagrams of the UDP service that lets two instances of this program find each other and
// agree that a connection between them may carry files unpaced. docs/protocol.md draws them
// byte by byte. Every datagram begins with the same 16 bytes:
//
//   "LUMO"  version (1 byte, 1)  kind (1 byte)  zero (2 bytes)  sender (8 bytes)
//
// all numbers big-endian; sender is a random id of the sending instance. The sizes are fixed
// per kind, and every answer is at most as large as the probe it answers.
namespace peerwire {

constexpr quint8 version = 1;
constexpr int headerSize = 16;

enum class Kind : quint8 {
    DiscoverProbe = 1,     // "which servers are there?", broadcast
    DiscoverAnswer = 2,    // role, program version and host name of a listening server
    CapabilityProbe = 3,   // "do you hold this connection?": nonce and the prober's two ports
    CapabilityAnswer = 4,  // the probe's nonce back, and a nonce of the answerer's
    CapabilityConfirm = 5, // the answerer's nonce back, so that it learns of the prober too
};

constexpr int discoverProbeSize = 256;
constexpr int maxDiscoverAnswerSize = discoverProbeSize;
constexpr int capabilityProbeSize = 48;
constexpr int capabilityAnswerSize = 32;
// An answer to a probe that carried feature bits carries the answerer's.
constexpr int capabilityAnswerWithFeaturesSize = 40;
constexpr int capabilityConfirmSize = 32;

struct Datagram {
    Kind kind = Kind::DiscoverProbe;
    quint64 sender = 0;
    // CapabilityProbe: the prober's nonce. CapabilityAnswer: that nonce, echoed.
    // CapabilityConfirm: the answerer's nonce, echoed.
    quint64 nonce = 0;
    // CapabilityAnswer: the answerer's own nonce. CapabilityConfirm: the answerer's id.
    quint64 other = 0;
    // CapabilityProbe, CapabilityAnswer: the framing versions the sender speaks (0 from
    // versions that knew none; such a probe gets the short answer).
    quint32 features = 0;
    // CapabilityProbe: the connection's ports as the prober sees them.
    quint16 localPort = 0;
    quint16 remotePort = 0;
    // DiscoverAnswer.
    quint8 role = 0;
    QString programVersion;
    QString hostName;
};

// Nothing for anything malformed: a wrong magic, version or size, a nonzero reserved
// field, sender 0, text that is not clean UTF-8 or holds control characters.
std::optional<Datagram> parse(const char *data, qsizetype size);
// The datagram's bytes; a DiscoverAnswer's texts are cut to fit its size bound.
QByteArray encode(const Datagram &datagram);

constexpr int maxShownNameLength = 63;
// A discover answer's host name as it may be shown beside the address, or empty when it could
// make the entry read as another one: a second line, text reordered, invisible or unassigned
// characters, blank edges, more than maxShownNameLength characters.
QString shownHostName(const QString &hostName);

} // namespace peerwire

#endif
