#include "nginxserver.h"

#include "e2eharness.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <unistd.h>

namespace E2e {

namespace {

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool portAnswers(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

} // namespace

NginxServer::NginxServer(const QString &baseDir)
    : m_baseDir(baseDir)
{
    QDir().mkpath(wwwDir());
}

NginxServer::~NginxServer()
{
    stop();
}

void NginxServer::enableTls(const QString &certificate, const QString &key)
{
    m_certificate = certificate;
    m_key = key;
}

void NginxServer::addRedirect(const QString &prefix, int status, const QString &targetBase)
{
    m_redirects.append({prefix, status, targetBase});
}

QString NginxServer::wwwDir() const
{
    return QDir(m_baseDir).filePath(QStringLiteral("www"));
}

QString NginxServer::httpUrl(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_httpPort).arg(path);
}

QString NginxServer::httpsUrl(const QString &path, const QString &host) const
{
    return QStringLiteral("https://%1:%2%3").arg(host).arg(m_httpsPort).arg(path);
}

QString NginxServer::secondHttpsUrl(const QString &path, const QString &host) const
{
    return QStringLiteral("https://%1:%2%3").arg(host).arg(m_secondHttpsPort).arg(path);
}

QString NginxServer::expand(const QString &text) const
{
    QString result = text;
    result.replace(QStringLiteral("{http}"), QString::number(m_httpPort));
    result.replace(QStringLiteral("{https}"), QString::number(m_httpsPort));
    result.replace(QStringLiteral("{https2}"), QString::number(m_secondHttpsPort));
    return result;
}

bool NginxServer::start(QString *error)
{
    // Another process may take a probed port before nginx binds it; try again with new ones.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startOnce(error))
            return true;
        stop();
    }
    return false;
}

bool NginxServer::startOnce(QString *error)
{
    const bool tls = !m_certificate.isEmpty();
    m_httpPort = freeLoopbackPort();
    m_httpsPort = tls ? freeLoopbackPort() : 0;
    m_secondHttpsPort = tls ? freeLoopbackPort() : 0;
    if (m_httpPort == 0 || (tls && (m_httpsPort == 0 || m_secondHttpsPort == 0))) {
        *error = QStringLiteral("no free loopback port");
        return false;
    }

    const QDir base(m_baseDir);
    base.mkpath(QStringLiteral("temp"));
    QFile::remove(base.filePath(QStringLiteral("error.log")));

    QString locations;
    for (const Redirect &redirect : m_redirects) {
        locations +=
            QStringLiteral("        location ~ ^%1(.*)$ { return %2 %3$1$is_args$args; }\n")
                .arg(redirect.prefix)
                .arg(redirect.status)
                .arg(expand(redirect.targetBase));
    }
    if (!m_rateLimit.isEmpty())
        locations += QStringLiteral("        limit_rate %1;\n").arg(m_rateLimit);
    const QString serverBody = QStringLiteral("        root %1;\n%2").arg(wwwDir(), locations);

    QString config;
    // As root the workers would otherwise run as nobody, who cannot enter the test's 0700 folders.
    if (geteuid() == 0)
        config += QStringLiteral("user root;\n");
    config += QStringLiteral(
                  "worker_processes 1;\n"
                  "error_log %1/error.log info;\n"
                  "events { worker_connections 64; }\n"
                  "http {\n"
                  "    types { application/zip zip; application/json json; }\n"
                  "    default_type application/octet-stream;\n"
                  "    log_format e2e '$server_port \"$request\" \"$http_user_agent\" $status';\n"
                  "    access_log %1/access.log e2e;\n"
                  "    client_body_temp_path %1/temp/body;\n"
                  "    proxy_temp_path %1/temp/proxy;\n"
                  "    fastcgi_temp_path %1/temp/fastcgi;\n"
                  "    uwsgi_temp_path %1/temp/uwsgi;\n"
                  "    scgi_temp_path %1/temp/scgi;\n"
                  "    server {\n"
                  "        listen 127.0.0.1:%2;\n"
                  "%3"
                  "    }\n")
                  .arg(m_baseDir)
                  .arg(m_httpPort)
                  .arg(serverBody);
    if (tls) {
        config += QStringLiteral("    server {\n"
                                 "        listen 127.0.0.1:%1 ssl;\n"
                                 "        listen 127.0.0.1:%2 ssl;\n"
                                 "        ssl_certificate %3;\n"
                                 "        ssl_certificate_key %4;\n"
                                 "%5"
                                 "    }\n")
                      .arg(m_httpsPort)
                      .arg(m_secondHttpsPort)
                      .arg(m_certificate, m_key, serverBody);
    }
    config += QStringLiteral("}\n");

    const QString configPath = base.filePath(QStringLiteral("nginx.conf"));
    if (!writeFile(configPath, config.toUtf8())) {
        *error = QStringLiteral("cannot write %1").arg(configPath);
        return false;
    }

    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(
        QStringLiteral("nginx"),
        {QStringLiteral("-p"), m_baseDir, QStringLiteral("-c"), configPath, QStringLiteral("-g"),
         QStringLiteral("daemon off; pid %1;").arg(base.filePath(QStringLiteral("nginx.pid")))});
    if (!m_process.waitForStarted(eventDeadlineMs)) {
        *error = QStringLiteral("nginx does not start: %1").arg(m_process.errorString());
        return false;
    }

    QList<quint16> ports{m_httpPort};
    if (tls)
        ports << m_httpsPort << m_secondHttpsPort;
    QDeadlineTimer deadline(eventDeadlineMs);
    for (quint16 port : ports) {
        while (!portAnswers(port)) {
            if (m_process.state() != QProcess::Running || deadline.hasExpired()) {
                *error = QStringLiteral("nginx is not serving port %1: %2 %3")
                             .arg(port)
                             .arg(QString::fromLocal8Bit(m_process.readAll()), errorLog());
                return false;
            }
            QThread::msleep(20);
        }
    }
    return true;
}

void NginxServer::stop()
{
    stopProcess(&m_process);
}

QStringList NginxServer::accessLog() const
{
    const QString text =
        QString::fromUtf8(readFile(QDir(m_baseDir).filePath(QStringLiteral("access.log"))));
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString NginxServer::errorLog() const
{
    return QString::fromUtf8(readFile(QDir(m_baseDir).filePath(QStringLiteral("error.log"))));
}

} // namespace E2e
