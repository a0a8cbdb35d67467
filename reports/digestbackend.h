#pragma once

#include <QMetaEnum>
#include <QThread>

#include "reports/networkbackend.h"

// The route back-end that computes checksums of report files (or byte ranges of them)
// on a worker thread of its own. Its steps are [digest, algorithm name, offset, length]
// or [digest, algorithm name] for the whole file.
class DigestBackend : public NetworkBackend
{
    Q_OBJECT
public:
    explicit DigestBackend(QObject* parent = nullptr);
    ~DigestBackend() override;

    QVariant key() const override { return QStringLiteral("digest"); }
    osm::Job* execute(EvidenceTrace& state, const osm::Step& step) override;

public slots:
    void onNetworkResponseFinished(QNetworkReply* reply) override;
    void onChecksum(const QUrl& record, QCryptographicHash::Algorithm algorithm, const QByteArray& digest);

private:
    QMetaEnum m_algorithms;
    QThread* m_worker;
};
