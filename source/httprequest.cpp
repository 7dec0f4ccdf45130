#include "source/httprequest.h"

#include "common/productnames.h"
#include "source/transfercancellation.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

#include <vector>

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

// One transfer while it runs: its reply, its stall timer and the signals that feed it.
class Transfer
{
public:
    // Sends setup's GET, or refuses it before anything is sent; ended() is called once the
    // transfer has ended either way (from the reply's signals, or at once for a refusal).
    Transfer(QNetworkAccessManager *network, const TransferSetup &setup,
             std::function<void(const Transfer &)> ended)
        : m_setup(setup)
        , m_bodyLimit(setup.bodyLimit)
        , m_ended(std::move(ended))
    {
        QNetworkRequest request = updateRequest(setup.url);
        if (!isWebScheme(request.url())) {
            m_outcome.error = QNetworkReply::ProtocolUnknownError;
            m_outcome.reason = unsupportedScheme(request.url());
            m_outcome.refused = true;
            m_done = true;
            m_ended(*this);
            return;
        }
        for (const auto &header : setup.headers)
            request.setRawHeader(header.first, header.second);

        m_reply = network->get(request);
        m_reply->setReadBufferSize(readBlockSize);
        // Any sign of life from the server starts the wait again; a stalled one ends the transfer
        // (and with it the hold on the installation) instead of keeping the window waiting
        // forever.
        m_stall.setSingleShot(true);
        m_stall.setInterval(setup.stallTimeoutMs);
        m_connections = {
            QObject::connect(&m_stall, &QTimer::timeout, m_reply,
                             [this] {
                                 refuse(QStringLiteral("the server sent nothing for %1 s")
                                            .arg(m_setup.stallTimeoutMs / 1000));
                             }),
            QObject::connect(m_reply, &QNetworkReply::metaDataChanged, m_reply,
                             [this] {
                                 m_stall.start();
                                 onMetaData();
                             }),
            QObject::connect(m_reply, &QNetworkReply::readyRead, m_reply,
                             [this] {
                                 m_stall.start();
                                 drain();
                             }),
            QObject::connect(m_reply, &QNetworkReply::downloadProgress, &m_stall,
                             qOverload<>(&QTimer::start)),
            // Qt follows only http and https itself; this says so in the updater's words.
            QObject::connect(m_reply, &QNetworkReply::redirected, m_reply,
                             [this](const QUrl &target) {
                                 if (!isWebScheme(target))
                                     refuse(unsupportedScheme(target));
                             }),
            QObject::connect(m_reply, &QNetworkReply::finished, m_reply, [this] { end(); }),
        };
        m_stall.start();
    }

    ~Transfer()
    {
        // The reply outlives the transfer until deleteLater runs; its handlers must not.
        for (const QMetaObject::Connection &connection : std::as_const(m_connections))
            QObject::disconnect(connection);
        if (m_reply) {
            if (!m_reply->isFinished())
                m_reply->abort();
            m_reply->deleteLater();
        }
    }

    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    bool isDone() const { return m_done; }
    const TransferOutcome &outcome() const { return m_outcome; }

    // Ends the transfer as cancelled (Qt's "Operation canceled"), unless it has ended.
    void abort()
    {
        if (m_reply && !m_done)
            m_reply->abort();
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

private:
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

    void end()
    {
        if (m_done)
            return;
        m_stall.stop();
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
        m_done = true;
        m_ended(*this);
    }

    // The body of a redirect or an error page is not the document asked for.
    bool isSuccess() const
    {
        const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        // No status at all: not HTTP, or nothing arrived yet; the reply's error says the rest.
        return !status.isValid() || (status.toInt() >= 200 && status.toInt() < 300);
    }

    QNetworkReply *m_reply = nullptr;
    const TransferSetup &m_setup;
    qint64 m_bodyLimit;
    std::function<void(const Transfer &)> m_ended;
    QTimer m_stall;
    QList<QMetaObject::Connection> m_connections;
    bool m_done = false;
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
    return runTransfers(network, {setup}, 1, cancel).constFirst();
}

QList<TransferOutcome> runTransfers(QNetworkAccessManager *network,
                                    const QList<TransferSetup> &setups, int inFlight,
                                    const TransferCancellation *cancel)
{
    std::vector<std::unique_ptr<Transfer>> transfers;
    transfers.reserve(size_t(setups.size()));
    QEventLoop loop;
    int running = 0;
    bool stopped = false;
    const auto stopAll = [&] {
        stopped = true;
        for (const auto &transfer : transfers)
            transfer->abort();
    };
    // Starts what may start; the loop ends once nothing runs and nothing more will start.
    std::function<void()> next = [&] {
        while (!stopped && running < inFlight && transfers.size() < size_t(setups.size())) {
            ++running;
            transfers.push_back(std::make_unique<Transfer>(
                network, setups.at(qsizetype(transfers.size())), [&](const Transfer &ended) {
                    --running;
                    // The first failure ends the others: together they make one result.
                    if (!ended.outcome().succeeded())
                        stopAll();
                    // Called from the transfer's own handler: start more once it has returned.
                    QMetaObject::invokeMethod(&loop, next, Qt::QueuedConnection);
                }));
            // A cancelled transfer must not leave a reply behind whose result would carry the
            // update on after the user has gone; abort() ends it, which ends the loop.
            if (cancel && cancel->isCancelled())
                stopAll();
        }
        if (running == 0)
            loop.quit();
    };
    QMetaObject::Connection onCancel;
    if (cancel)
        onCancel = QObject::connect(cancel, &TransferCancellation::cancelled, &loop, stopAll);
    next();
    if (running > 0)
        loop.exec(QEventLoop::AllEvents);
    QObject::disconnect(onCancel);
    // QCoreApplication::quit() (the last window closed) ends every nested loop at once, and no new
    // one runs until the main loop has returned, so transfers may still be running here.
    stopAll();

    QList<TransferOutcome> outcomes;
    for (const auto &transfer : transfers)
        outcomes.append(transfer->outcome());
    // Those never started end as cancelled ones do.
    TransferOutcome notStarted;
    notStarted.error = QNetworkReply::OperationCanceledError;
    notStarted.reason = QStringLiteral("Operation canceled");
    while (outcomes.size() < setups.size())
        outcomes.append(notStarted);
    return outcomes;
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
