#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

class QNetworkAccessManager;

namespace Updater {

class TransferCancellation;

// The rules every transfer of the updater keeps, in one place: see runTransfer.

// How long a transfer may go without a byte from the server before it is given up.
constexpr int transferStallTimeoutMs = 30 * 1000;

// A network access manager that goes through the system's proxy settings. Any thread; the
// manager belongs to the calling thread.
std::unique_ptr<QNetworkAccessManager> newNetworkAccess();

// The GET request for urlText, parsed in tolerant mode and otherwise unchanged: redirects are
// followed except from HTTPS to HTTP, the User-Agent is the client identifier, and the body is
// asked for as it is (Accept-Encoding: identity; Qt would otherwise inflate a compressed answer
// beyond any bound we set on what is read).
QNetworkRequest updateRequest(const QString &urlText);

// One GET and what is done with its answer.
struct TransferSetup
{
    QString url;
    QList<QPair<QByteArray, QByteArray>> headers; // further request headers, such as Range
    // The largest body taken, -1 for any: a larger Content-Length is refused at the headers, a
    // body that grows past it as soon as it does (chunked, or longer than announced).
    qint64 bodyLimit = -1;
    int stallTimeoutMs = transferStallTimeoutMs;
    // The final answer's status and headers (after redirects, for every status): may set
    // *bodyLimit for the body to come, or refuse the answer with a reason in *refusal.
    std::function<bool(const QNetworkReply &reply, qint64 *bodyLimit, QString *refusal)> onHeaders;
    // The body of a 2xx answer as it arrives, in order; may refuse it with a reason. The body of
    // any other status is dropped unseen (and cut off past 1 MiB).
    std::function<bool(const char *data, qint64 size, QString *refusal)> onBody;
};

// How a transfer ended.
struct TransferOutcome
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError; // as Qt reports it
    int status = 0;        // the final HTTP status; 0 when none arrived
    QString reason;        // empty when it succeeded; else Qt's error text or the refusal's reason
    bool refused = false;  // ended by a refusal (a rule below or a handler) rather than Qt
    bool tooLarge = false; // refused for the body limit
    bool succeeded() const { return reason.isEmpty(); }
};

// Runs setup's GET through network with updateRequest's setup and the updater's rules, waiting in
// a local event loop: only http and https, for the URL and every redirect ("Unsupported URL
// scheme: %1", then nothing is sent or followed); no compressed body ("the server sent the body
// compressed (%1)"); the body limit; and an end after stallTimeoutMs without a byte ("the server
// sent nothing for %1 s"). A cancelled transfer (cancel may be null) fails with Qt's "Operation
// canceled", as it does when the application quits meanwhile. Reply's thread only.
TransferOutcome runTransfer(QNetworkAccessManager *network, const TransferSetup &setup,
                            const TransferCancellation *cancel);

// runTransfer for each of setups, at most inFlight at a time in the order given, all in one local
// event loop: returns when every transfer has ended, one outcome per setup. The first one that
// fails (or a cancellation) ends those still running as cancelled, and none starts after it;
// those never started end as cancelled too. Reply's thread only.
QList<TransferOutcome> runTransfers(QNetworkAccessManager *network,
                                    const QList<TransferSetup> &setups, int inFlight,
                                    const TransferCancellation *cancel);

// How a GET for a small document ended.
struct SmallDocument
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorString;
    QByteArray body;       // the whole body of a successful reply, empty after an error
    bool tooLarge = false; // the body ran over the bound and the transfer was cut off
};

// runTransfer for a document of at most maxBytes, kept in memory. A failure of any kind leaves
// error other than NoError with the reason in errorString. Reply's thread only.
SmallDocument fetchSmallDocument(QNetworkAccessManager *network, const QString &url,
                                 qint64 maxBytes, const TransferCancellation *cancel);

} // namespace Updater
