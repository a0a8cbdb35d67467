#pragma once

#include <QNetworkProxy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>

#include "support/localhttpserver.h"

namespace ostra::test {

// A local server that plays every host name the application knows: it is the
// application proxy, and each CONNECT tunnel ends there in TLS with a certificate made
// for `hosts`, which the application trusts unless `trusted` is false.
class TlsProxy
{
public:
    explicit TlsProxy(const QStringList& hosts, LocalHttpServer::Options options = LocalHttpServer::Options(),
        bool trusted = true)
    {
        QString cert;
        QString key;
        if (!LocalHttpServer::makeCertificate(m_folder.path(), hosts, &cert, &key))
            return;
        options.certFile = cert;
        options.keyFile = key;
        if (!server.start(options))
            return;
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        m_saved = ssl;
        ssl.setCaCertificates(trusted ? QSslCertificate::fromPath(cert) : QList<QSslCertificate>());
        QSslConfiguration::setDefaultConfiguration(ssl);
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), server.url().port()));
        m_ready = true;
    }
    ~TlsProxy()
    {
        if (!m_ready)
            return;
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        QSslConfiguration::setDefaultConfiguration(m_saved);
    }

    bool isReady() const { return m_ready; }
    // The requests received of one method.
    QList<LocalHttpServer::Request> requests(const QByteArray& method)
    {
        QList<LocalHttpServer::Request> result;
        for (const LocalHttpServer::Request& request : server.requests()) {
            if (request.method == method)
                result << request;
        }
        return result;
    }

    LocalHttpServer server;

private:
    QTemporaryDir m_folder;
    QSslConfiguration m_saved;
    bool m_ready = false;
};

} // namespace ostra::test
