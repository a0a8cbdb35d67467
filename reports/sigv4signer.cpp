#include "reports/sigv4signer.h"

#include <QMessageAuthenticationCode>
#include <QNetworkRequest>
#include <QUuid>

#include "reports/amazonbackend.h"
#include "reports/evidencetrace.h"

namespace {

QByteArray sha256Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

} // namespace

QByteArray SigV4Signer::hmacOf(
    const QByteArray& key, const QByteArray& message, QCryptographicHash::Algorithm algorithm)
{
    // Knows each algorithm's block size (128 bytes for SHA-384 and SHA-512).
    return QMessageAuthenticationCode::hash(message, key, algorithm);
}

QByteArray SigV4Signer::signingKey(const QByteArray& secret, const QByteArray& dateStamp,
    const QByteArray& region, const QByteArray& service)
{
    const auto sha = QCryptographicHash::Sha256;
    const QByteArray kDate = hmacOf("AWS4" + secret, dateStamp, sha);
    const QByteArray kRegion = hmacOf(kDate, region, sha);
    const QByteArray kService = hmacOf(kRegion, service, sha);
    return hmacOf(kService, "aws4_request", sha);
}

QByteArray SigV4Signer::canonicalPath(const QString& path)
{
    // toPercentEncoding leaves only A-Z a-z 0-9 - . _ ~ alone, as SigV4 asks.
    return path.toUtf8().toPercentEncoding("/");
}

void SigV4Signer::sign(const AmazonBackend& backend, QNetworkRequest& request, const EvidenceTrace& state,
    const QPair<qint64, qint64>& segment)
{
    QString installId = state.info.value(QStringLiteral("installId")).toString();
    if (installId.isEmpty())
        installId = QUuid::createUuid().toString(QUuid::WithoutBraces);

    const QString host = backend.bucket() + QLatin1Char('.') + backend.domain();
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(host);
    url.setPath(QLatin1Char('/') + installId + QLatin1Char('/') + state.key().fileName(), QUrl::DecodedMode);
    request.setUrl(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    // Redirects are followed, but never from https to http.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);

    const QDateTime now = backend.serverNow();
    const QByteArray amzDate
        = now.toString(Qt::ISODate).remove(QLatin1Char('-')).remove(QLatin1Char(':')).toLatin1();
    const QByteArray dateStamp = now.toString(QStringLiteral("yyyyMMdd")).toLatin1();
    const QByteArray region = backend.region().toLatin1();

    const QList<QPair<QByteArray, QByteArray>> headers {
        { "Host", host.toLatin1() },
        { "x-amz-date", amzDate },
        { "Content-MD5", state.digests.value({ segment, QCryptographicHash::Md5 }).toBase64() },
        { "Content-Length", QByteArray::number(segment.second) },
        { "x-amz-content-sha256", "UNSIGNED-PAYLOAD" },
        { "x-amz-storage-class", "REDUCED_REDUNDANCY" },
    };
    for (const auto& [name, value] : headers)
        request.setRawHeader(name, value);

    const QList<QByteArray> signedNames { "content-length", "content-md5", "host", "x-amz-content-sha256",
        "x-amz-date", "x-amz-storage-class" };
    const QByteArray signedHeaders = signedNames.join(';');

    QByteArray canonical = "PUT\n" + canonicalPath(url.path(QUrl::FullyDecoded)) + '\n'
        + url.query(QUrl::FullyEncoded).toLatin1() + '\n';
    for (const QByteArray& name : signedNames) {
        for (const auto& [header, value] : headers) {
            if (header.toLower() == name)
                canonical += name + ':' + value + '\n';
        }
    }
    canonical += '\n' + signedHeaders + '\n' + "UNSIGNED-PAYLOAD";

    const QByteArray scope = dateStamp + '/' + region + "/s3/aws4_request";
    const QByteArray stringToSign
        = "AWS4-HMAC-SHA256\n" + amzDate + '\n' + scope + '\n' + sha256Hex(canonical);
    const QByteArray key = signingKey(AmazonBackend::secretAccessKey(), dateStamp, region, "s3");
    const QByteArray signature = hmacOf(key, stringToSign, QCryptographicHash::Sha256).toHex();

    request.setRawHeader("Authorization",
        "AWS4-HMAC-SHA256 Credential=" + AmazonBackend::accessKeyId() + '/' + dateStamp + '/' + region
            + "/s3/aws4_request,SignedHeaders=" + signedHeaders + ",Signature=" + signature);
}
