#pragma once

#include <QDateTime>
#include <QElapsedTimer>

#include "reports/networkbackend.h"

// The route back-end that puts each report archive into an object-store bucket with
// one signed PUT. A plain GET first learns the server's clock, so that the signature's
// time stamps are the server's; the part's MD5 comes from the checksum back-end.
class AmazonBackend : public NetworkBackend
{
    Q_OBJECT
    Q_PROPERTY(QString domain READ domain WRITE setDomain)
    Q_PROPERTY(QString bucket READ bucket WRITE setBucket)
    Q_PROPERTY(QString region READ region WRITE setRegion)
    Q_PROPERTY(int partMb READ partMb WRITE setPartMb)
public:
    explicit AmazonBackend(QObject* parent = nullptr);

    QVariant key() const override { return QStringLiteral("amazon"); }
    QVariantList planRoute(EvidenceTrace& state) override;
    bool accept(EvidenceTrace& state, const osm::Step& step) override;
    osm::Job* execute(EvidenceTrace& state, const osm::Step& step) override;

    QString domain() const { return m_domain; }
    QString bucket() const { return m_bucket; }
    QString region() const { return m_region; }
    qint64 partSize() const { return m_partSize; }
    int partMb() const { return int(m_partSize >> 20); }
    // The server's clock: its last "Date" plus the time elapsed since (invalid before).
    QDateTime serverNow() const;

    // The credentials, assembled at run time.
    static QByteArray accessKeyId();
    static QByteArray secretAccessKey();

public slots:
    void setDomain(const QString& domain) { m_domain = domain; }
    void setBucket(const QString& bucket) { m_bucket = bucket; }
    void setRegion(const QString& region) { m_region = region; }
    void setPartMb(int mb) { m_partSize = qint64(mb) << 20; }
    void onNetworkResponseFinished(QNetworkReply* reply) override;

private:
    QString m_domain;
    QString m_bucket;
    QString m_region;
    qint64 m_partSize = qint64(5) << 20;
    QDateTime m_serverDate;
    QElapsedTimer m_dateClock;
};
