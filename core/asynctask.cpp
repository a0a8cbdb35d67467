#include "core/asynctask.h"

#include <QThreadPool>

AsyncTask::AsyncTask(std::function<void()> fn, bool autoDelete)
    : m_fn(std::move(fn))
{
    setAutoDelete(autoDelete);
}

AsyncTask::~AsyncTask() = default;

void AsyncTask::run()
{
    m_fn();
}

void AsyncTask::start(QThreadPool* pool)
{
    pool->start(this, 0);
}
