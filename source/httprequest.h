#pragma once

#include <QNetworkRequest>
#include <QString>

class QNetworkReply;

namespace Updater {

class TransferCancellation;

// The GET request for urlText, parsed in tolerant mode and otherwise unchanged: redirects are
// followed except from HTTPS to HTTP, the User-Agent is the client identifier, nothing else is
// set.
QNetworkRequest updateRequest(const QString &urlText);

// Runs a local event loop until reply has finished. The transfer is aborted (and so finishes
// with QNetworkReply::OperationCanceledError) when cancel (may be null) is or becomes cancelled,
// or when the loop ends early because the application is quitting. Reply's thread only.
void awaitReply(QNetworkReply *reply, const TransferCancellation *cancel);

} // namespace Updater
