#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

class QTcpServer;
class QTcpSocket;

// A small HTTP/1.1 server on a free loopback port for tests of the network steps. Every request
// gets the response registered for its path (without the query), or a 404, and the connection
// is closed after it. It serves from the event loop of the thread that created it, nested local
// loops included, so the code under test may wait for it on the same thread.
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    enum class Framing {
        ContentLength, // the size is announced
        Chunked,       // chunked transfer encoding: the size is unknown until the end
        UntilClose,    // no size at all: the body ends when the connection closes
    };

    struct Response
    {
        int status = 200;
        QByteArray body;
        Framing framing = Framing::ContentLength;
        QList<QPair<QByteArray, QByteArray>> headers; // further headers, e.g. Location
        // Send this many body bytes, emit paused(), wait pauseMs, emit resuming(), send the rest.
        // A negative pauseMs never sends the rest: the response stalls until the client leaves.
        qint64 pauseAfter = -1;
        int pauseMs = 0;
    };

    struct Request
    {
        QByteArray method;
        QByteArray target;                     // as sent: path and query
        QHash<QByteArray, QByteArray> headers; // names in lower case
    };

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    // Listens on 127.0.0.1 on a port the system picks; false when that fails.
    bool start();
    quint16 port() const;
    // http://127.0.0.1:PORT followed by path (which starts with '/').
    QString url(const QString &path) const;

    void setResponse(const QByteArray &path, const Response &response);
    // The requests for path get these in turn, the last one again and again.
    void setResponses(const QByteArray &path, const QList<Response> &inTurn);
    QList<Request> requests() const { return received; }
    // Responses the client closed the connection on before they were complete.
    int abandonedResponses() const { return abandoned; }

signals:
    void paused(const QByteArray &path);
    void resuming(const QByteArray &path);

private:
    void onNewConnection();
    void serve(QTcpSocket *socket, const Request &request);

    QTcpServer *server;
    QHash<QByteArray, QList<Response>> responses;
    QList<Request> received;
    int abandoned = 0;
};

// A response of status with body and further headers, sent at once.
TestHttpServer::Response answer(int status, const QByteArray &body,
                                const QList<QPair<QByteArray, QByteArray>> &headers = {});
