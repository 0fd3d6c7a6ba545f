// Arbitrary datagrams into the UDP service's parser. Checked on every input: whatever it
// accepts, it encodes back to the very same bytes, so that nothing is read beyond the fixed
// layouts, and no answer it could build exceeds its size bound. A host name is shown whole or
// not at all.

#include "transfer/peerdatagram.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_peerdatagram: %s\n", what);
        std::abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    const auto d = peerwire::parse(bytes, qsizetype(size));
    if (!d)
        return 0;
    const QByteArray again = peerwire::encode(*d);
    check(again == QByteArray(bytes, int(size)), "an accepted datagram encodes to other bytes");
    check(again.size() <= peerwire::discoverProbeSize, "a datagram beyond the largest size");
    const QString shown = peerwire::shownHostName(d->hostName);
    check(shown.isEmpty() || shown == d->hostName, "a host name shown altered");
    return 0;
}
