#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QPair>

class AmazonBackend;
class EvidenceTrace;
class QNetworkRequest;

// Signs object-store requests with AWS Signature Version 4.
class SigV4Signer
{
public:
    // Builds the complete signed PUT of the part (offset, length) of the state's report:
    // URL, headers and "Authorization", time-stamped with the back-end's server clock.
    static void sign(const AmazonBackend& backend, QNetworkRequest& request, const EvidenceTrace& state,
        const QPair<qint64, qint64>& segment);

    // HMAC (RFC 2104) of `message` under `key`, with the block size of `algorithm`.
    static QByteArray hmacOf(
        const QByteArray& key, const QByteArray& message, QCryptographicHash::Algorithm algorithm);

    // The signing key for a date stamp ("yyyyMMdd"), region and service.
    static QByteArray signingKey(const QByteArray& secret, const QByteArray& dateStamp,
        const QByteArray& region, const QByteArray& service);

    // A URL path as a SigV4 canonical URI: every byte but the unreserved ones and "/"
    // percent-encoded.
    static QByteArray canonicalPath(const QString& path);
};
