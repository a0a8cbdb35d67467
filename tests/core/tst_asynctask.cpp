#include "support/testmain.h"

#include <QPointer>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>

#include <atomic>

#include "core/asyncobject.h"
#include "core/asynctask.h"

class TestAsyncTask : public QObject
{
    Q_OBJECT
private slots:
    void runsOnThePoolAndDeletesItself()
    {
        QSemaphore done;
        QThreadPool pool;
        std::atomic<QThread*> ranOn { nullptr };
        auto capture = std::make_shared<int>(0);
        std::weak_ptr<int> observer = capture;
        auto* task = new AsyncTask(
            [capture = std::move(capture), &done, &ranOn] {
                ranOn = QThread::currentThread();
                done.release();
            },
            true);
        task->start(&pool);
        QVERIFY(done.tryAcquire(1, 30000));
        pool.waitForDone();
        QVERIFY(ranOn.load() && ranOn.load() != QThread::currentThread());
        // The task, and with it the function and what it captured, is gone.
        QVERIFY(observer.expired());
    }

    void objectRunsInItsThreadAndDeletesItself()
    {
        QThread thread;
        thread.start();
        std::atomic<QThread*> ranOn { nullptr };
        auto* object = new AsyncObject([&ranOn] { ranOn = QThread::currentThread(); });
        QPointer<AsyncObject> guard(object);
        std::atomic<QThread*> destroyedOn { nullptr };
        connect(
            object, &QObject::destroyed, object, [&destroyedOn] { destroyedOn = QThread::currentThread(); },
            Qt::DirectConnection);
        object->offloadTo(&thread);
        QTRY_VERIFY_WITH_TIMEOUT(destroyedOn.load() != nullptr, 30000);
        QCOMPARE(ranOn.load(), &thread);
        QCOMPARE(destroyedOn.load(), &thread);
        thread.quit();
        thread.wait();
        QVERIFY(guard.isNull());
    }
};

OSTRA_TEST_MAIN_CORE(TestAsyncTask)
#include "tst_asynctask.moc"
