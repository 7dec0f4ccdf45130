#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>

class QNetworkAccessManager;

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

// How a GET for a small document ended.
struct SmallDocument
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorString;
    QByteArray body;       // the whole body of a successful reply, empty after an error
    bool tooLarge = false; // the body ran over the bound and the transfer was cut off
};

// GETs url with updateRequest's setup through network and waits for it as awaitReply does,
// keeping the body in memory. A body of more than maxBytes is refused without being read further:
// the transfer is aborted as soon as the server announces more or more has arrived, and
// tooLarge is set. The body of an HTTP error or redirect is read and dropped (the status is what
// counts, and an ordinary error page may well be larger than the document), but cut off alike
// past 1 MiB. Reply's thread only.
SmallDocument fetchSmallDocument(QNetworkAccessManager *network, const QString &url,
                                 qint64 maxBytes, const TransferCancellation *cancel);

} // namespace Updater
