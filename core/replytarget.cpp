#include "core/replytarget.h"

ReplyTarget::ReplyTarget(QObject* owner)
    : m_owner(owner)
{ }

void ReplyTarget::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_owner = nullptr;
}

bool ReplyTarget::post(std::function<void()> f)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_owner)
        return false;
    QMetaObject::invokeMethod(m_owner, std::move(f), Qt::QueuedConnection);
    return true;
}
