#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QProcess>
#include <QStringList>
#include <QUrl>

#include <memory>

namespace ostra::test {

// A scripted HTTP/1.1 server on 127.0.0.1 (Python 3's standard library), run as a
// child of the test. Each method and path answers with its queued responses in turn,
// the last one for every further request; an unscripted path answers 404. Every
// request it receives is recorded. Stopped (and killed if need be) when destroyed.
class LocalHttpServer
{
public:
    struct Response
    {
        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        // The answer waits this long (other connections are served meanwhile).
        int delayMs = 0;
    };
    struct Request
    {
        QByteArray method;
        QByteArray path;
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
        // Received inside a TLS tunnel.
        bool tls = false;
    };
    struct Options
    {
        // With both: CONNECT tunnels end in TLS with this certificate (else in plain
        // HTTP). Proxied requests are answered like direct ones; each CONNECT is recorded
        // as a request, and a failed handshake as "HANDSHAKE-FAILED".
        QString certFile;
        QString keyFile;
        // Added to the clock the server states ("Date") and checks against.
        qint64 clockOffsetSecs = 0;
        // When set: every PUT must carry a valid object-store signature (Signature
        // Version 4, checked by botocore), a time stamp within 15 minutes and a matching
        // Content-MD5; else it is refused with 403 or 400.
        QByteArray accessKey;
        QByteArray secretKey;
    };

    LocalHttpServer();
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    // Starts the server; false when it did not come up.
    bool start();
    bool start(const Options& options);
    // Makes a self-signed certificate for `hosts` in `folder` (with openssl).
    static bool makeCertificate(
        const QString& folder, const QStringList& hosts, QString* certFile, QString* keyFile);
    QUrl url(const QString& path = QStringLiteral("/")) const;

    // Queues a response for `method` and `path` (decoded, without query); returns once the
    // server has it.
    bool respond(const QByteArray& method, const QByteArray& path, const Response& response);

    // The requests received so far.
    QList<Request> requests();
    // Handles events until `count` requests have been received.
    bool waitForRequests(int count, int timeoutMs = 10000);

private:
    // Reads the server's output lines; returns the acknowledgements seen.
    int pump(int waitMs);

    std::unique_ptr<QProcess> m_process;
    QByteArray m_pending;
    QList<Request> m_requests;
    quint16 m_port = 0;
    int m_acks = 0;
};

} // namespace ostra::test
