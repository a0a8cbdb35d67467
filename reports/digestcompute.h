#pragma once

#include <QCryptographicHash>
#include <QObject>
#include <QUrl>

// Hashes one byte range of a local file (a segment URL, see FileSegment) on the
// thread it lives on, and reports the digest with `checksum`.
class DigestCompute : public QObject
{
    Q_OBJECT
public:
    DigestCompute(const QUrl& record, bool deleteWhenDone, QCryptographicHash::Algorithm algorithm);

public slots:
    void compute();

signals:
    void checksum(const QUrl& record, QCryptographicHash::Algorithm algorithm, const QByteArray& digest);

private:
    QUrl m_record;
    QCryptographicHash::Algorithm m_algorithm;
    bool m_deleteWhenDone;
};
