// Any body the update server could send: the parser must not crash, and what it accepts must
// obey the rules the rest of the updater relies on.
#include "source/deltamanifest.h"
#include "source/manifestparser.h"

#include <cstdint>
#include <cstdlib>

using Updater::UpdateManifest;

namespace {

bool isTrimmed(const QString &text)
{
    return text == text.trimmed();
}

void require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    UpdateManifest earlier;
    earlier.version = QStringLiteral("earlier");
    earlier.packageFormat = QStringLiteral("tar");
    UpdateManifest manifest = earlier;
    QString error = QStringLiteral("stale");

    if (Updater::parseUpdateManifest(body, &manifest, &error)) {
        require(error.isEmpty());
        require(!manifest.version.isEmpty() && !manifest.packageUrl.isEmpty()
                && !manifest.packageHash.isEmpty());
        require(!manifest.packageFormat.isEmpty());
        require(manifest.channel == QLatin1String("stable")
                || manifest.channel == QLatin1String("migration"));
        require(isTrimmed(manifest.version) && isTrimmed(manifest.packageUrl)
                && isTrimmed(manifest.packageHash) && isTrimmed(manifest.packageFormat)
                && isTrimmed(manifest.minimumSupportedVersion));
    } else {
        require(!error.isEmpty());
        // A refused body leaves the earlier record exactly as it was.
        require(manifest.version == earlier.version
                && manifest.packageFormat == earlier.packageFormat && manifest.packageUrl.isEmpty()
                && !manifest.mandatory);
    }

    // A differential update taken is one the release tool writes back as it is (it checks its
    // manifest so); one that is set aside leaves nothing of itself behind.
    Updater::DeltaRelease reread;
    require(manifest.delta.isEmpty()
                ? manifest.delta.patches.isEmpty() && manifest.delta.directories.isEmpty()
                : manifest.deltaRefusal.isEmpty()
                      && Updater::parseDelta(Updater::deltaObject(manifest.delta), &reread, nullptr)
                      && Updater::deltaObject(reread) == Updater::deltaObject(manifest.delta));

    // The same body gives the same answer without an error text to fill.
    UpdateManifest again = earlier;
    require(Updater::parseUpdateManifest(body, &again, nullptr) == error.isEmpty());
    require(again.version == manifest.version && again.packageHash == manifest.packageHash
            && again.releaseNotes == manifest.releaseNotes
            && again.mandatory == manifest.mandatory);
    return 0;
}
