#pragma once

namespace Updater {

// How long the installation keeps trying a step that the system refuses for the moment (a
// scanner, an indexer or the client's last handle on a file): attempts, and the pause after each
// failed one. A refusal that no wait changes (another volume, a name that does not exist or is
// invalid, a full disk) ends the step at once.

// A user's entry, a single file of the installation, a copy of one file.
constexpr int preserveMoveAttempts = 10;
constexpr int preserveMovePauseMs = 300;

// The installation directory to the backup, the payload into its place.
constexpr int treeMoveAttempts = 20;
constexpr int treeMovePauseMs = 500;

// The previous installation back into place when the new one could not take it: it gives the
// user back the installation, so it waits longer than the move that took it away, the pause
// doubling from the first to the longest.
constexpr int restoreBudgetMs = 60000;
constexpr int restoreFirstPauseMs = 100;
constexpr int restoreLongestPauseMs = 4000;

// The migrated settings file renamed over the old one.
constexpr int settingsReplaceAttempts = 10;
constexpr unsigned long settingsReplacePauseMs = 200;

} // namespace Updater
