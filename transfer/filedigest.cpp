#include "transfer/filedigest.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#if defined(LUMO_DIGEST_AVX2)
void fileDigestAddAvx2(XXH3_state_t *state, const char *data, size_t size);

namespace {
bool haveAvx2()
{
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return have;
}
} // namespace
#endif

struct FileDigest::State {
    XXH3_state_t xxh;
};

FileDigest::FileDigest() : state(std::make_unique<State>()) { reset(); }

FileDigest::~FileDigest() = default;

void FileDigest::reset() { XXH3_128bits_reset(&state->xxh); }

void FileDigest::add(const char *data, qsizetype size)
{
    if (size <= 0)
        return;
#if defined(LUMO_DIGEST_AVX2)
    if (haveAvx2())
        return fileDigestAddAvx2(&state->xxh, data, size_t(size));
#endif
    XXH3_128bits_update(&state->xxh, data, size_t(size));
}

QByteArray FileDigest::result() const
{
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&state->xxh));
    return QByteArray(reinterpret_cast<const char *>(canonical.digest), int(sizeof canonical.digest));
}

QByteArray FileDigest::keyed(const QVector<quint64> &nonces, const QByteArray &digest)
{
    QByteArray input("lumo-resume");
    for (const quint64 n : nonces) {
        for (int i = 0; i < 8; ++i)
            input.append(char((n >> (8 * i)) & 0xff));
    }
    input.append(digest);
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits(input.constData(), size_t(input.size())));
    return QByteArray(reinterpret_cast<const char *>(canonical.digest), int(sizeof canonical.digest));
}
