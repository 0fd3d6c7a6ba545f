#include "transfer/filedigest.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

struct FileDigest::State {
    XXH3_state_t xxh;
};

FileDigest::FileDigest() : state(std::make_unique<State>()) { reset(); }

FileDigest::~FileDigest() = default;

void FileDigest::reset() { XXH3_128bits_reset(&state->xxh); }

void FileDigest::add(const char *data, qsizetype size)
{
    if (size > 0)
        XXH3_128bits_update(&state->xxh, data, size_t(size));
}

QByteArray FileDigest::result() const
{
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&state->xxh));
    return QByteArray(reinterpret_cast<const char *>(canonical.digest), int(sizeof canonical.digest));
}
