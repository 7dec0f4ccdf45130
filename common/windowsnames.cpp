#include "common/windowsnames.h"

#include <QStringList>

namespace Updater {

QString windowsNameProblem(const QString &name)
{
    static const QString forbidden = QStringLiteral("<>:\"\\|?*");
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control || forbidden.contains(c))
            return QStringLiteral("holds a character Windows does not allow in names");
    }
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return QStringLiteral("ends with a dot or a space, which Windows drops");

    // Windows reads "CON.txt" and "con .log" as the console too.
    const QString stem = name.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QStringList reserved = {QStringLiteral("CON"), QStringLiteral("PRN"),
                                         QStringLiteral("AUX"), QStringLiteral("NUL")};
    const bool numberedDevice =
        stem.size() == 4
        && (stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT")))
        && stem.at(3) >= QLatin1Char('1') && stem.at(3) <= QLatin1Char('9');
    if (reserved.contains(stem) || numberedDevice)
        return QStringLiteral("is a device name on Windows");
    return QString();
}

} // namespace Updater
