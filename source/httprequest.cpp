#include "source/httprequest.h"

#include "common/productnames.h"
#include "source/transfercancellation.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

namespace Updater {

namespace {

// An error page is dropped as it arrives; a server that goes on past this is not answering.
constexpr qint64 errorPageLimit = 1024 * 1024;
// How much of the body Qt may hold before the network waits for us, and how much is read at once.
// Without a bound Qt buffers as fast as the socket delivers, which on a fast link is most of a
// package.
constexpr qint64 readBlockSize = 2 * 1024 * 1024;

bool isWebScheme(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

QString unsupportedScheme(const QUrl &url)
{
    return QStringLiteral("Unsupported URL scheme: %1")
        .arg(url.scheme().isEmpty() ? url.toString() : url.scheme());
}

// Runs a local event loop until reply has finished. The transfer is aborted (and so finishes
// with QNetworkReply::OperationCanceledError) when cancel is or becomes cancelled, or when the
// loop ends early because the application is quitting.
void awaitReply(QNetworkReply *reply, const TransferCancellation *cancel)
{
    // A cancelled transfer must not leave a reply behind whose result would carry the update on
    // after the user has gone; abort() finishes the reply, which ends the loop.
    if (cancel && cancel->isCancelled())
        reply->abort();
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QMetaObject::Connection onCancel;
    if (cancel)
        onCancel = QObject::connect(cancel, &TransferCancellation::cancelled, reply,
                                    &QNetworkReply::abort);
    if (!reply->isFinished())
        loop.exec(QEventLoop::AllEvents);
    QObject::disconnect(onCancel);
    // QCoreApplication::quit() (the last window closed) ends every nested loop at once, and no new
    // one runs until the main loop has returned, so the reply may still be running here.
    if (!reply->isFinished())
        reply->abort();
}

// The state of one runTransfer while its reply runs; the reply's signals call into it.
class Transfer
{
public:
    Transfer(QNetworkReply *reply, const TransferSetup &setup)
        : m_reply(reply)
        , m_setup(setup)
        , m_bodyLimit(setup.bodyLimit)
    {
    }

    void refuse(const QString &reason, bool tooLarge = false)
    {
        if (m_outcome.refused)
            return;
        m_outcome.refused = true;
        m_outcome.tooLarge = tooLarge;
        m_outcome.reason = reason;
        m_reply->abort();
    }

    // Called for the answer to every hop: a redirect is checked where it leads, the final answer
    // once.
    void onMetaData()
    {
        if (m_outcome.refused)
            return;
        const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 300 && status < 400) {
            const QUrl target =
                m_reply->url().resolved(m_reply->header(QNetworkRequest::LocationHeader).toUrl());
            // Qt does not follow it and fails the reply by itself; aborting here as well would
            // make it report the failure twice.
            if (!m_reply->header(QNetworkRequest::LocationHeader).isNull() && !isWebScheme(target))
                m_redirectRefusal = unsupportedScheme(target);
            return;
        }
        if (m_headersSeen)
            return;
        m_headersSeen = true;
        m_outcome.status = status;

        // Identity was asked for; a server that compresses anyway would have us inflate without
        // a bound, or hash the compressed bytes.
        const QByteArray encoding = m_reply->rawHeader("Content-Encoding").trimmed().toLower();
        if (isSuccess() && !encoding.isEmpty() && encoding != "identity") {
            refuse(QStringLiteral("the server sent the body compressed (%1)")
                       .arg(QString::fromLatin1(encoding)));
            return;
        }
        QString refusal;
        if (m_setup.onHeaders && !m_setup.onHeaders(*m_reply, &m_bodyLimit, &refusal)) {
            refuse(refusal);
            return;
        }
        if (!isSuccess())
            return;
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (m_bodyLimit >= 0 && length.isValid() && length.toLongLong() > m_bodyLimit)
            refuse(QStringLiteral("the server announced %1 bytes, more than the %2 expected")
                       .arg(length.toLongLong())
                       .arg(m_bodyLimit),
                   true);
    }

    void drain()
    {
        // An aborted reply is closed and has nothing left to give.
        if (m_outcome.refused || !m_reply->isOpen())
            return;
        if (!m_headersSeen)
            onMetaData();
        if (m_outcome.refused)
            return;
        if (!isSuccess()) {
            m_dropped += qMax<qint64>(m_reply->skip(m_reply->bytesAvailable()), 0);
            if (m_dropped > errorPageLimit)
                refuse(QStringLiteral("the server's error page is larger than %1 bytes")
                           .arg(errorPageLimit),
                       true);
            return;
        }
        if (m_block.isEmpty())
            m_block.resize(readBlockSize);
        while (!m_outcome.refused) {
            const qint64 count = m_reply->read(m_block.data(), m_block.size());
            if (count <= 0)
                break;
            m_received += count;
            if (m_bodyLimit >= 0 && m_received > m_bodyLimit) {
                refuse(QStringLiteral("the server sent more than the %1 bytes expected")
                           .arg(m_bodyLimit),
                       true);
                return;
            }
            QString refusal;
            if (m_setup.onBody && !m_setup.onBody(m_block.constData(), count, &refusal))
                refuse(refusal);
        }
    }

    TransferOutcome finish()
    {
        drain();
        if (!m_outcome.refused && !m_redirectRefusal.isEmpty()) {
            m_outcome.refused = true;
            m_outcome.reason = m_redirectRefusal;
        }
        if (!m_outcome.refused) {
            m_outcome.error = m_reply->error();
            if (m_outcome.error != QNetworkReply::NoError)
                m_outcome.reason = m_reply->errorString();
        } else {
            m_outcome.error = QNetworkReply::OperationCanceledError;
        }
        return m_outcome;
    }

private:
    // The body of a redirect or an error page is not the document asked for.
    bool isSuccess() const
    {
        const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        // No status at all: not HTTP, or nothing arrived yet; the reply's error says the rest.
        return !status.isValid() || (status.toInt() >= 200 && status.toInt() < 300);
    }

    QNetworkReply *m_reply;
    const TransferSetup &m_setup;
    qint64 m_bodyLimit;
    TransferOutcome m_outcome;
    QString m_redirectRefusal;
    bool m_headersSeen = false;
    qint64 m_received = 0;
    qint64 m_dropped = 0;
    QByteArray m_block;
};

} // namespace

std::unique_ptr<QNetworkAccessManager> newNetworkAccess()
{
    // A corporate network may reach the update server only through its proxy; Qt uses the
    // system's settings only when asked to (on Windows the user's Internet Options, elsewhere
    // the proxy environment variables).
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    return std::make_unique<QNetworkAccessManager>();
}

QNetworkRequest updateRequest(const QString &urlText)
{
    QNetworkRequest request(QUrl(urlText, QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader, clientIdentifier());
    request.setRawHeader("Accept-Encoding", "identity");
    return request;
}

TransferOutcome runTransfer(QNetworkAccessManager *network, const TransferSetup &setup,
                            const TransferCancellation *cancel)
{
    QNetworkRequest request = updateRequest(setup.url);
    if (!isWebScheme(request.url())) {
        TransferOutcome refused;
        refused.error = QNetworkReply::ProtocolUnknownError;
        refused.reason = unsupportedScheme(request.url());
        refused.refused = true;
        return refused;
    }
    for (const auto &header : setup.headers)
        request.setRawHeader(header.first, header.second);

    QNetworkReply *reply = network->get(request);
    reply->setReadBufferSize(readBlockSize);
    Transfer transfer(reply, setup);

    // Any sign of life from the server starts the wait again; a stalled one ends the transfer
    // (and with it the hold on the installation) instead of keeping the window waiting forever.
    QTimer stall;
    stall.setSingleShot(true);
    stall.setInterval(setup.stallTimeoutMs);
    QObject::connect(&stall, &QTimer::timeout, reply, [&transfer, &setup] {
        transfer.refuse(
            QStringLiteral("the server sent nothing for %1 s").arg(setup.stallTimeoutMs / 1000));
    });
    const QList<QMetaObject::Connection> connections{
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply,
                         [&transfer, &stall] {
                             stall.start();
                             transfer.onMetaData();
                         }),
        QObject::connect(reply, &QNetworkReply::readyRead, reply,
                         [&transfer, &stall] {
                             stall.start();
                             transfer.drain();
                         }),
        QObject::connect(reply, &QNetworkReply::downloadProgress, &stall,
                         qOverload<>(&QTimer::start)),
        // Qt follows only http and https itself; this says so in the updater's words.
        QObject::connect(reply, &QNetworkReply::redirected, reply,
                         [&transfer](const QUrl &target) {
                             if (!isWebScheme(target))
                                 transfer.refuse(unsupportedScheme(target));
                         }),
    };
    stall.start();

    awaitReply(reply, cancel);
    stall.stop();
    // The handlers capture locals of this call; the reply outlives it until deleteLater runs.
    for (const QMetaObject::Connection &connection : connections)
        QObject::disconnect(connection);

    const TransferOutcome outcome = transfer.finish();
    reply->deleteLater();
    return outcome;
}

SmallDocument fetchSmallDocument(QNetworkAccessManager *network, const QString &url,
                                 qint64 maxBytes, const TransferCancellation *cancel)
{
    SmallDocument result;
    TransferSetup setup;
    setup.url = url;
    setup.bodyLimit = maxBytes;
    setup.onBody = [&result](const char *data, qint64 size, QString *) {
        result.body.append(data, size);
        return true;
    };
    const TransferOutcome outcome = runTransfer(network, setup, cancel);
    result.tooLarge = outcome.tooLarge;
    if (!outcome.succeeded()) {
        // A refusal ends the transfer as an abort would; the reason is the refusal's.
        result.error = outcome.error == QNetworkReply::NoError
                           ? QNetworkReply::OperationCanceledError
                           : outcome.error;
        result.errorString = outcome.reason;
        result.body.clear();
    }
    return result;
}

} // namespace Updater
