#pragma once

#include <QNetworkRequest>
#include <QString>

class QDialog;
class QNetworkReply;

namespace Updater {

// The User-Agent of every request the updater sends; the client sends the same identifier.
QString clientIdentifier();

// The GET request for urlText, parsed in tolerant mode and otherwise unchanged: redirects are
// followed except from HTTPS to HTTP, the User-Agent is clientIdentifier(), nothing else is set.
QNetworkRequest updateRequest(const QString &urlText);

// Runs a local event loop until reply has finished. The transfer is aborted (and so finishes
// with QNetworkReply::OperationCanceledError) when window finishes, that is when it is closed by
// any means, or when the loop ends early because the application is quitting. GUI thread only.
void awaitReply(QNetworkReply *reply, QDialog *window);

} // namespace Updater
