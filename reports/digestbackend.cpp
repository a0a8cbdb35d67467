#include "reports/digestbackend.h"

#include <QFileInfo>
#include <QStringList>

#include "reports/digestcompute.h"
#include "reports/filesegment.h"
#include "reports/logging.h"

DigestBackend::DigestBackend(QObject* parent)
    : NetworkBackend(parent)
    , m_algorithms(QMetaEnum::fromType<QCryptographicHash::Algorithm>())
    , m_worker(new QThread(this))
{
    qRegisterMetaType<QCryptographicHash::Algorithm>("QCryptographicHash::Algorithm");
    m_worker->start(QThread::InheritPriority);
}

DigestBackend::~DigestBackend()
{
    m_worker->quit();
    m_worker->wait();
}

osm::Job* DigestBackend::execute(EvidenceTrace& state, const osm::Step& step)
{
    qint64 offset = 0;
    qint64 length = -1;
    if (step.size() >= 4) {
        offset = step.at(2).toLongLong();
        length = step.at(3).toLongLong();
    }
    QUrl record = state.key();
    if (offset >= 0 && length >= 0)
        record.setQuery(FileSegment::segmentQuery(offset, length));

    auto algorithm = QCryptographicHash::Md5;
    if (step.size() >= 2) {
        bool ok = false;
        const int value = m_algorithms.keyToValue(step.at(1).toString().toLatin1().constData(), &ok);
        if (ok)
            algorithm = QCryptographicHash::Algorithm(value);
    }

    auto* compute = new DigestCompute(record, true, algorithm);
    connect(compute, &DigestCompute::checksum, this, &DigestBackend::onChecksum, Qt::QueuedConnection);
    compute->moveToThread(m_worker);
    QMetaObject::invokeMethod(compute, "compute", Qt::QueuedConnection);
    return new osm::Job();
}

void DigestBackend::onNetworkResponseFinished(QNetworkReply* reply)
{
    Q_UNUSED(reply)
}

void DigestBackend::onChecksum(
    const QUrl& record, QCryptographicHash::Algorithm algorithm, const QByteArray& digest)
{
    const QUrl url = record.adjusted(QUrl::RemoveQuery);
    EvidenceTrace* state = machine ? machine->findState(url) : nullptr;
    if (!state) {
        QStringList known;
        if (machine) {
            for (const QUrl& key : machine->stateKeys())
                known << key.toString();
        }
        qCDebug(lcReports).noquote() << "State not found" << url.toString() << "(" + known.join(", ") + ")";
        return;
    }
    const QPair<qint64, qint64> range = FileSegment::segmentOf(record);
    state->digests.insert({ range, algorithm }, digest);
    const QString name = QString::fromLatin1(m_algorithms.valueToKey(algorithm));
    if (!state->markStep({ key(), name, range.first, range.second }, true)) {
        if (range.first == 0 && QFileInfo(url.toLocalFile()).size() == range.second)
            state->markStep({ key(), name }, true);
    }
    machine->rethink(*state);
}
