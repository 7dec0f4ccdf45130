#include "testhttpserver.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

QByteArray frame(const QByteArray &data, TestHttpServer::Framing framing)
{
    if (framing != TestHttpServer::Framing::Chunked || data.isEmpty())
        return data;
    return QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
}

bool parseHead(const QByteArray &head, TestHttpServer::Request *request)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3)
        return false;
    request->method = requestLine.at(0);
    request->target = requestLine.at(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request->headers.insert(line.left(colon).trimmed().toLower(),
                                    line.mid(colon + 1).trimmed());
    }
    return true;
}

} // namespace

TestHttpServer::Response answer(int status, const QByteArray &body,
                                const QList<QPair<QByteArray, QByteArray>> &headers)
{
    TestHttpServer::Response response;
    response.status = status;
    response.body = body;
    response.headers = headers;
    return response;
}

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
    , server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer() = default;

bool TestHttpServer::start()
{
    return server->listen(QHostAddress::LocalHost, 0);
}

quint16 TestHttpServer::port() const
{
    return server->serverPort();
}

QString TestHttpServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void TestHttpServer::setResponse(const QByteArray &path, const Response &response)
{
    responses.insert(path, {response});
}

void TestHttpServer::setResponses(const QByteArray &path, const QList<Response> &inTurn)
{
    responses.insert(path, inTurn);
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            Request request;
            const bool parsed = parseHead(buffer->left(end), &request);
            // Requests carry no body here; anything after the head is ignored from now on.
            disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
            if (!parsed) {
                socket->disconnectFromHost();
                return;
            }
            received.append(request);
            serve(socket, request);
        });
    }
}

void TestHttpServer::serve(QTcpSocket *socket, const Request &request)
{
    const qsizetype query = request.target.indexOf('?');
    const QByteArray path = query < 0 ? request.target : request.target.left(query);
    Response response;
    if (responses.contains(path)) {
        QList<Response> &inTurn = responses[path];
        response = inTurn.size() > 1 ? inTurn.takeFirst() : inTurn.constFirst();
    } else {
        response.status = 404;
        response.body = "Not Found";
    }

    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
                      + reasonPhrase(response.status) + "\r\n";
    head += "Connection: close\r\n";
    switch (response.framing) {
    case Framing::ContentLength:
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        break;
    case Framing::Chunked:
        head += "Transfer-Encoding: chunked\r\n";
        break;
    case Framing::UntilClose:
        break;
    }
    for (const auto &header : response.headers)
        head += header.first + ": " + header.second + "\r\n";
    head += "\r\n";

    const qint64 split = response.pauseAfter < 0
                             ? response.body.size()
                             : qMin<qint64>(response.pauseAfter, response.body.size());
    const QByteArray first = response.body.left(split);
    const QByteArray rest = response.body.mid(split);
    const Framing framing = response.framing;

    // The client leaving before the last byte was handed over counts as an abandoned response.
    auto complete = std::make_shared<bool>(false);
    connect(socket, &QTcpSocket::disconnected, this, [this, complete] {
        if (!*complete)
            ++abandoned;
    });

    const QPointer<QTcpSocket> guarded(socket);
    const auto finish = [guarded, complete, rest, framing] {
        if (!guarded || guarded->state() != QAbstractSocket::ConnectedState)
            return;
        guarded->write(frame(rest, framing));
        if (framing == Framing::Chunked)
            guarded->write("0\r\n\r\n");
        *complete = true;
        guarded->disconnectFromHost();
    };

    socket->write(head + frame(first, framing));
    if (response.pauseAfter < 0) {
        finish();
        return;
    }
    emit paused(path);
    if (response.pauseMs < 0)
        return;
    QTimer::singleShot(response.pauseMs, this, [this, guarded, finish, path] {
        if (guarded)
            emit resuming(path);
        finish();
    });
}
