#include "core/asyncobject.h"

#include <QThread>

AsyncObject::AsyncObject(std::function<void()> fn)
    : QObject(nullptr)
    , AsyncTask(std::move(fn), true)
{ }

void AsyncObject::offloadTo(QThread* thread)
{
    moveToThread(thread);
    QMetaObject::invokeMethod(this, "offload", Qt::AutoConnection);
}

void AsyncObject::offload()
{
    run();
    deleteLater();
}
