#pragma once

#include <QStringList>

namespace Updater {

// The minisign public keys (base64, as minisign prints them) whose signature a release manifest
// must carry; empty in a build that was given none, which takes manifests unsigned. Defined by
// the one key set a program links (cmake/UpdaterBuild.cmake updater_add_release_keys), not by
// the source layer, so that a second program can carry other keys without a second build of
// every layer.
QStringList releasePublicKeys();

} // namespace Updater
