#ifndef LUMO_TRANSFER_WIREFORMAT_H
#define LUMO_TRANSFER_WIREFORMAT_H

#include <QByteArray>

// One file transfer on the connection, as one contiguous byte stream:
//
//   "开始传送___:::"  name (UTF-8)  "文件大小___:::"  size (decimal ASCII)
//   "文件大小传送结束___:::"  file bytes (size of them, unescaped)  "结束传送___:::"
//
// The four markers are fixed UTF-8 texts of 18, 18, 30 and 18 bytes; the first five
// fields form the header. Anything else on the connection is plain text. The paced sender
// writes the header, then 12000-byte pieces of the file at least 1 ms apart, then the end
// marker, each as one write; toward another instance of this program the same bytes go
// unpaced in larger writes.
namespace wire {

inline const QByteArray startMarker = QByteArrayLiteral("\xE5\xBC\x80\xE5\xA7\x8B\xE4\xBC\xA0\xE9\x80\x81___:::");
inline const QByteArray sizeMarker = QByteArrayLiteral("\xE6\x96\x87\xE4\xBB\xB6\xE5\xA4\xA7\xE5\xB0\x8F___:::");
inline const QByteArray sizeEndMarker = QByteArrayLiteral(
    "\xE6\x96\x87\xE4\xBB\xB6\xE5\xA4\xA7\xE5\xB0\x8F\xE4\xBC\xA0\xE9\x80\x81\xE7\xBB\x93\xE6\x9D\x9F___:::");
inline const QByteArray endMarker = QByteArrayLiteral("\xE7\xBB\x93\xE6\x9D\x9F\xE4\xBC\xA0\xE9\x80\x81___:::");

// Each file read and write of the paced sender.
constexpr int packetSize = 12000;

// Plain text of the connection test.
inline const QByteArray greeting = QByteArrayLiteral("\xE4\xBD\xA0\xE5\xA5\xBD,\xE6\x88\x91\xE6\x98\xAF\xE6\xBE\x9C\xE7\x9F\xB3\xE6\x9C\xBA\xE7\x94\xB5");

} // namespace wire

// Codes of receiveThread::sendRecState.
enum RecState : int {
    RecFinished = 0,
    RecStarted = 1,
    RecProgress = 2,
    RecCreateFailed = 3,
    RecTimeout = 4,
    RecText = 5,
    RecWriteFailed = 6,
    // Between two instances only: the file's digest did not match (kept as .part), and the
    // stream broke off or was malformed.
    RecVerifyFailed = 7,
    RecStreamFailed = 8,
    RecRefused = 9, // only with fileNotStored: consumed unwritten under discardFiles
    RecFolderEnded = 10, // a folder from an instance ended, whole or not; see recvReports::takeFolder
    // Between two instances: the sender ended the file before its end (its abort frame); what
    // arrived is kept as .part. A plain peer's stop still reads as RecTimeout.
    RecSenderStopped = 11,
};

#endif
