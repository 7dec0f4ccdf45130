#include "source/sha256.h"

#include <openssl/evp.h>

namespace Updater {

struct Sha256::State
{
    EVP_MD_CTX *context = nullptr;
    bool valid = false;
};

Sha256::Sha256()
    : state(std::make_unique<State>())
{
    state->context = EVP_MD_CTX_new();
    state->valid = state->context && EVP_DigestInit_ex(state->context, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(state->context);
}

bool Sha256::add(const char *data, qint64 size)
{
    state->valid =
        state->valid && EVP_DigestUpdate(state->context, data, static_cast<size_t>(size)) == 1;
    return state->valid;
}

bool Sha256::result(QByteArray *digest)
{
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!state->valid || EVP_DigestFinal_ex(state->context, bytes, &length) != 1)
        return false;
    state->valid = false;
    *digest = QByteArray(reinterpret_cast<const char *>(bytes), static_cast<qsizetype>(length));
    return true;
}

} // namespace Updater
