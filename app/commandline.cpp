#include "app/commandline.h"

namespace Updater {

QString argumentValue(const QStringList &arguments, const QString &name)
{
    const int index = arguments.indexOf(name);
    if (index < 0 || index + 1 >= arguments.size())
        return QString();
    return arguments.at(index + 1);
}

UpdaterOptions parseOptions(const QStringList &arguments)
{
    UpdaterOptions options;
    options.manifestUrl = argumentValue(arguments, QStringLiteral("--manifest-url"));
    options.offlinePayloadRoot = argumentValue(arguments, QStringLiteral("--offline-payload-root"));
    options.installDir = argumentValue(arguments, QStringLiteral("--install-dir"));
    options.currentVersion = argumentValue(arguments, QStringLiteral("--current-version"));
    options.channel = argumentValue(arguments, QStringLiteral("--channel"));

    bool ok = false;
    const qint64 pid = argumentValue(arguments, QStringLiteral("--wait-pid")).toLongLong(&ok, 10);
    options.waitPid = ok ? pid : 0;
    return options;
}

bool optionsAreComplete(const UpdaterOptions &options)
{
    const bool hasSource = !options.manifestUrl.isEmpty() || !options.offlinePayloadRoot.isEmpty();
    return hasSource && !options.installDir.isEmpty() && !options.currentVersion.isEmpty();
}

} // namespace Updater
