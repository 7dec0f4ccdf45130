#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

// Pictures of the updater's window on an X display, and what a person would see in them. Test
// thread only.
namespace E2e {

// Captures the window titled "Orvalink Updater" on the display with xwd, again and again until
// its log shows at least minimumLogLines lines of text (the window is up a moment after the
// start, the log fills as the update goes on), or timeoutMs has passed. Returns the last picture
// taken, null when there is none (*error then says why).
QImage captureUpdaterWindow(const QString &display, int minimumLogLines, int timeoutMs,
                            QString *error);

// What keeps the picture from showing the window's Russian texts: a blank or almost one-colour
// picture; a heading ("Установка обновления", the first line of ink from the top) that is not
// 15 to 24 glyphs of at least five shapes (the boxes drawn for missing glyphs are all alike);
// fewer than minimumLogLines lines of text in the log, or a first log line of look-alike glyphs.
// Empty when the picture is right.
QStringList russianTextProblems(const QImage &picture, int minimumLogLines);

} // namespace E2e
