#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>

// Deleter for a QObject held by std::shared_ptr whose last reference may drop on any
// thread: the object is deleted on its own thread, at once when that is the current
// one, otherwise by a call queued to it.
struct OwnThreadDeleter
{
    void operator()(QObject* object) const
    {
        if (!object)
            return;
        if (object->thread() == QThread::currentThread() || !object->thread())
            delete object;
        else
            object->deleteLater();
    }
};
