#include "source/sha256.h"

#include <algorithm>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <bcrypt.h>

namespace Updater {

namespace {

constexpr ULONG digestSize = 32;

bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

} // namespace

struct Sha256::State
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool valid = false;
};

Sha256::Sha256()
    : state(std::make_unique<State>())
{
    // With no buffer given for the hash object, CNG allocates and frees it itself.
    state->valid =
        succeeded(
            BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))
        && succeeded(BCryptCreateHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256()
{
    if (state->hash)
        BCryptDestroyHash(state->hash);
    if (state->algorithm)
        BCryptCloseAlgorithmProvider(state->algorithm, 0);
}

bool Sha256::add(const char *data, qint64 size)
{
    // BCryptHashData counts in ULONG and takes a non-const pointer it only reads from.
    auto *bytes = reinterpret_cast<PUCHAR>(const_cast<char *>(data));
    while (state->valid && size > 0) {
        const ULONG chunk = static_cast<ULONG>(std::min<qint64>(size, 0x40000000));
        state->valid = succeeded(BCryptHashData(state->hash, bytes, chunk, 0));
        bytes += chunk;
        size -= chunk;
    }
    return state->valid;
}

bool Sha256::result(QByteArray *digest)
{
    UCHAR bytes[digestSize];
    if (!state->valid || !succeeded(BCryptFinishHash(state->hash, bytes, digestSize, 0)))
        return false;
    state->valid = false;
    *digest = QByteArray(reinterpret_cast<const char *>(bytes), digestSize);
    return true;
}

} // namespace Updater
