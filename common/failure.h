#pragma once

#include <QString>

namespace Updater {

// Errors are values: a function that fails says why in *error (may be null) and returns false.
// This is that return in one call: `return fail(error, QStringLiteral("..."));`.
inline bool fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

} // namespace Updater
