#include "pipeline/copygroup.h"

#include <QFile>
#include <QHash>

#include <cerrno>

#include "pipeline/filecopy.h"
#include "platform/ifilecalls.h"

CopyGroup::CopyGroup(QObject* parent)
    : QObject(parent)
{
    qRegisterMetaType<CopyOutcome>("CopyOutcome");
    qRegisterMetaType<QVector<CopyOutcome>>("QVector<CopyOutcome>");
}

CopyGroup::~CopyGroup()
{
    // Copies placed but never settled (the thread ends with them) are not reported: their
    // names may not be durable, and nobody waits for them any more.
    for (FileCopy* copy : qAsConst(m_copies)) {
        copy->settle(ECANCELED);
        delete copy;
    }
}

void CopyGroup::take(FileCopy* copy)
{
    if (m_copies.isEmpty())
        m_age.start();
    copy->place();
    m_copies.append(copy);
    m_bytes += copy->size;
    if (m_copies.size() >= kMaxCopies || m_bytes >= kMaxBytes || m_age.elapsed() >= maxAgeMs) {
        flush();
        return;
    }
    // Behind every copy handed over so far: those join this group.
    if (!m_closeQueued) {
        m_closeQueued = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_closeQueued = false;
                flush();
            },
            Qt::QueuedConnection);
    }
}

void CopyGroup::flush()
{
    if (m_copies.isEmpty())
        return;
    const QList<FileCopy*> copies = std::exchange(m_copies, {});
    m_bytes = 0;
    // Each folder that received a placed copy is synced once, before any copy is reported.
    QHash<QString, int> folderErrors;
    for (FileCopy* copy : copies) {
        if (!copy->isPlaced() || folderErrors.contains(copy->folder()))
            continue;
        const int error
            = copy->io().syncFolder(QFile::encodeName(copy->folder()).constData()) == 0 ? 0 : errno;
        folderErrors.insert(copy->folder(), error);
    }
    QVector<CopyOutcome> outcomes;
    outcomes.reserve(copies.size());
    for (FileCopy* copy : copies) {
        const bool success = copy->settle(folderErrors.value(copy->folder()));
        outcomes.append({ copy->target, copy->recipe, copy->volume, success });
        copy->deleteLater();
    }
    emit settled(outcomes);
}
