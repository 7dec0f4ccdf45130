#pragma once

namespace Updater {

// How long the installation keeps trying a move that the system refuses for the moment (a
// scanner or the client's last handle on a file): attempts, and the pause after each failed one.

// A preserved entry into the preserve directory and back.
constexpr int preserveMoveAttempts = 10;
constexpr int preserveMovePauseMs = 300;

// The installation directory to the backup, the payload into its place, and the way back.
constexpr int treeMoveAttempts = 20;
constexpr int treeMovePauseMs = 500;

// The migrated settings file renamed over the old one.
constexpr int settingsReplaceAttempts = 10;
constexpr unsigned long settingsReplacePauseMs = 200;

} // namespace Updater
