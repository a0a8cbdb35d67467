#pragma once

#include <QRunnable>

#include <functional>

class QThreadPool;

// A runnable around a function, for QThreadPool.
class AsyncTask : public QRunnable
{
public:
    AsyncTask(std::function<void()> fn, bool autoDelete);
    ~AsyncTask() override;

    // Calls the function; an empty function throws std::bad_function_call.
    void run() override;

    // Queues this task on the pool with priority 0.
    void start(QThreadPool* pool);

private:
    std::function<void()> m_fn;
};
