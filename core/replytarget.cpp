#include "core/replytarget.h"

#include <QMutexLocker>

ReplyTarget::ReplyTarget(QObject* owner)
    : m_owner(owner)
{ }

void ReplyTarget::close()
{
    QMutexLocker lock(&m_mutex);
    m_owner = nullptr;
}

bool ReplyTarget::post(std::function<void()> f)
{
    QMutexLocker lock(&m_mutex);
    if (!m_owner)
        return false;
    QMetaObject::invokeMethod(m_owner, std::move(f), Qt::QueuedConnection);
    return true;
}
