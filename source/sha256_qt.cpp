#include "source/sha256.h"

#include <QByteArrayView>
#include <QCryptographicHash>

namespace Updater {

struct Sha256::State
{
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

Sha256::Sha256()
    : state(std::make_unique<State>())
{
}

Sha256::~Sha256() = default;

bool Sha256::add(const char *data, qint64 size)
{
    state->hash.addData(QByteArrayView(data, size));
    return true;
}

bool Sha256::result(QByteArray *digest)
{
    *digest = state->hash.result();
    return true;
}

} // namespace Updater
