#ifndef LUMO_TRANSFER_SPACELEDGER_H
#define LUMO_TRANSFER_SPACELEDGER_H

#include <QtGlobal>

#include <optional>

// Bytes granted to the files being received and not yet written, for the whole process:
// files that each fit in the free space alone must not together take the room kept free.
// The ledger owns its mutex (in spaceledger.cpp), which guards only the sum: any thread may
// call, and nothing else is done while it is held.
namespace spaceLedger {

// Grants bytes when they fit in room (the free space less the reserve) less what is granted
// already; nullopt room: the free space is unknown, and the bytes are granted unchecked.
bool grant(std::optional<qint64> room, quint64 bytes);
// Changes a grant without a check: down as its bytes are written or it ends, up again when
// bytes it had written are cut from the disk.
void adjust(quint64 from, quint64 to);
quint64 granted();

} // namespace spaceLedger

#endif
