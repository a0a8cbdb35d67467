#pragma once

#include <QObject>

#include "core/asynctask.h"

class QThread;

// The same task as a QObject: moved to a thread, it runs there from that
// thread's event loop and deletes itself afterwards.
class AsyncObject : public QObject, public AsyncTask
{
    Q_OBJECT
public:
    explicit AsyncObject(std::function<void()> fn);

    // Moves this object to the thread and queues offload() into its event loop.
    void offloadTo(QThread* thread);

public slots:
    // Runs the task in the current thread, then schedules deletion.
    void offload();
};
