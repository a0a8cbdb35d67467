#include "reports/digestcompute.h"

#include "reports/filesegment.h"
#include "reports/logging.h"

DigestCompute::DigestCompute(const QUrl& record, bool deleteWhenDone, QCryptographicHash::Algorithm algorithm)
    : m_record(record)
    , m_algorithm(algorithm)
    , m_deleteWhenDone(deleteWhenDone)
{ }

void DigestCompute::compute()
{
    const QPair<qint64, qint64> range = FileSegment::segmentOf(m_record);
    qCDebug(lcReports) << "Rq md5" << m_record << range;
    QCryptographicHash hash(m_algorithm);
    FileSegment segment(m_record.toLocalFile(), range.first, range.second);
    if (segment.open(QIODevice::ReadOnly) && segment.seek(0)) {
        QByteArray buffer(1 << 16, Qt::Uninitialized);
        for (;;) {
            const qint64 got = segment.read(buffer.data(), buffer.size());
            if (got <= 0)
                break;
            hash.addData(buffer.constData(), int(got));
        }
    }
    emit checksum(m_record, m_algorithm, hash.result());
    if (m_deleteWhenDone)
        deleteLater();
}
