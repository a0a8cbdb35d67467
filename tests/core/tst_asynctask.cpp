#include "support/testmain.h"

#include <QPointer>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <memory>

#include "core/asyncobject.h"
#include "core/asynctask.h"
#include "core/leavableworker.h"
#include "core/replytarget.h"

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

    // A worker runs its tasks in order on a thread of its own. Left while a task hangs, it
    // waits no longer than asked, drops the tasks that did not start and takes no more;
    // the hung task ends on its own later and lets go of what it captured, and its reply
    // reaches no one once the owner closed its target.
    void leavableWorkerLeavesAHungTask()
    {
        auto worker = std::make_unique<LeavableWorker>();
        QSemaphore gate;
        QSemaphore started;
        std::atomic<int> ran { 0 };
        auto capture = std::make_shared<int>(0);
        std::weak_ptr<int> observer = capture;
        QObject owner;
        auto replies = std::make_shared<ReplyTarget>(&owner);
        int replied = 0;
        QList<QThread*> threads;
        QVERIFY(worker->start([&] {
            threads << QThread::currentThread();
            ++ran;
        }));
        QVERIFY(worker->start([&] {
            threads << QThread::currentThread();
            ++ran;
        }));
        QTRY_COMPARE(ran.load(), 2);
        QTRY_VERIFY(!worker->busy());
        QVERIFY(!threads.contains(QThread::currentThread()));
        QVERIFY(worker->start([&, capture = std::move(capture), replies] {
            started.release();
            gate.acquire();
            replies->post([&] { ++replied; });
        }));
        QVERIFY(worker->start([&] { ++ran; })); // waits behind the hung one
        QVERIFY(started.tryAcquire(1, 30000));
        QVERIFY(worker->busy());
        QVERIFY(!worker->leave(20));
        QVERIFY(!worker->start([&] { ++ran; }));
        replies->close();
        worker.reset();
        QVERIFY(!observer.expired());
        gate.release();
        QTRY_VERIFY(observer.expired());
        QCoreApplication::processEvents();
        QCOMPARE(ran.load(), 2);
        QCOMPARE(replied, 0);
    }
};

OSTRA_TEST_MAIN_CORE(TestAsyncTask)
#include "tst_asynctask.moc"
