#include "common/productnames.h"

namespace Updater {

QString clientExecutableName()
{
    return QStringLiteral("Orvalink.exe");
}

QString clientCompanionName()
{
    return QStringLiteral("Core.exe");
}

QStringList clientImageNames()
{
    return {clientExecutableName(), clientCompanionName()};
}

QStringList preservedEntryNames()
{
    return {QStringLiteral("config"), QStringLiteral("groups"), QStringLiteral("profiles")};
}

QString clientIdentifier()
{
    return QStringLiteral("Orvalink v3");
}

QString offlineReleaseVersion()
{
    return QStringLiteral("3.0.0");
}

QString updaterTitle()
{
    return QStringLiteral("Orvalink Updater");
}

} // namespace Updater
