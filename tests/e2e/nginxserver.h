#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace E2e {

// A private nginx on free loopback ports, serving baseDir/www over HTTP and, when given a
// certificate, over HTTPS on two ports (so that a redirect can cross origins). Its access log
// records "<port> \"<request line>\" \"<user agent>\" <status>" per request. Stopped on
// destruction. Test thread only.
class NginxServer
{
public:
    explicit NginxServer(const QString &baseDir);
    ~NginxServer();

    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    void enableTls(const QString &certificate, const QString &key);

    // Every request whose path begins with prefix (letters, digits, '-' and '/' only) is answered
    // with the given redirect status to targetBase followed by the rest of the path and the
    // query, on every port. In targetBase, {http}, {https} and {https2} stand for the ports chosen
    // at start.
    void addRedirect(const QString &prefix, int status, const QString &targetBase);

    // Sends every answer at no more than rate (nginx's limit_rate, such as "1m" per second).
    void setRateLimit(const QString &rate) { m_rateLimit = rate; }

    // Picks free ports, writes the configuration and waits until every port answers.
    bool start(QString *error);
    void stop();

    QString wwwDir() const;
    QString httpUrl(const QString &path) const;
    QString httpsUrl(const QString &path, const QString &host = QStringLiteral("127.0.0.1")) const;
    QString secondHttpsUrl(const QString &path,
                           const QString &host = QStringLiteral("localhost")) const;
    quint16 httpPort() const { return m_httpPort; }
    quint16 httpsPort() const { return m_httpsPort; }
    quint16 secondHttpsPort() const { return m_secondHttpsPort; }

    QStringList accessLog() const;
    QString errorLog() const;

private:
    bool startOnce(QString *error);
    QString expand(const QString &text) const;

    struct Redirect
    {
        QString prefix;
        int status;
        QString targetBase;
    };

    QString m_baseDir;
    QString m_certificate;
    QString m_key;
    QList<Redirect> m_redirects;
    QString m_rateLimit;
    QProcess m_process;
    quint16 m_httpPort = 0;
    quint16 m_httpsPort = 0;
    quint16 m_secondHttpsPort = 0;
};

} // namespace E2e
