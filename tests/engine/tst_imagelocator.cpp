#include "support/eventloopturns.h"
#include "support/filetree.h"
#include "support/heldmount.h"
#include "support/mountnamespace.h"
#include "support/picturefiles.h"
#include "support/recordingcanvas.h"
#include "support/rescuewatchdog.h"
#include "support/residentpages.h"
#include "support/testmain.h"

#include "ciapi/backgroundthread.h"
#include "engine/imagelocator.h"
#include "engine/sentinels.h"
#include "engine/statefile.h"
#include "engine/unreadablewatch.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "tools/vrxgen/generator.h"

namespace {

// The calling thread's own nice value.
int niceOfThisThread()
{
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)));
    return errno == 0 ? nice : -100;
}

using Client = ostra::test::RecordingCanvas;

// A gate that pool tasks wait at until the test opens it one pass at a time.
class Gate
{
public:
    void wait()
    {
        arrived.release();
        passes.acquire();
    }
    void open(int n = 1) { passes.release(n); }
    // Waits for `n` arrivals while the GUI thread keeps handling events (finished tasks
    // start the next ones through it).
    bool waitArrivals(int n)
    {
        for (int i = 0; i < 2000; ++i) {
            if (arrived.tryAcquire(n, 5))
                return true;
            QCoreApplication::processEvents();
        }
        return false;
    }
    QSemaphore arrived;
    QSemaphore passes;
};

// Opens a gate for good when a test ends (also a failing one), before the service it
// guards is destroyed.
struct GateOpener
{
    Gate& gate;
    ~GateOpener() { gate.open(1000); }
};

vrxgen::Picture writePicture(const QString& path, std::uint32_t seed)
{
    vrxgen::Picture p = vrxgen::makePicture(ostra::test::PictureFiles::small(seed));
    vrxgen::writeFile(QFile::encodeName(path).toStdString(), p.vrx);
    return p;
}

QUrl urlOf(const QString& path)
{
    return QUrl::fromLocalFile(path);
}

QString stateOf(const QString& picture)
{
    return StateFile::pathFor(urlOf(picture));
}

} // namespace

class TestImageLocator : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QStringList m_files;

    QString path(const QString& name) const { return m_dir.path() + "/" + name; }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QThreadPool::globalInstance()->setMaxThreadCount(qMax(8, QThread::idealThreadCount()));
        for (int i = 0; i < 12; ++i) {
            m_files << path(QString("IMG_%1.vrx").arg(i));
            writePicture(m_files.last(), std::uint32_t(100 + i));
        }
    }

    // Never more tasks than the thread count run at once, and waiting tasks start in
    // the order they were asked for.
    void boundedAndInOrder()
    {
        Gate gate;
        QMutex mutex;
        QList<QUrl> started;
        ImageLocator locator(3, nullptr);
        GateOpener opener { gate };
        locator.setTaskProbe([&](IndexTask::Step step, const QUrl& url) {
            if (step != IndexTask::Step::Started)
                return;
            {
                QMutexLocker lock(&mutex);
                started << url;
            }
            gate.wait();
        });
        QSignalSpy indexed(&locator, &ImageLocator::notifyFileIndexedSignal);
        for (const QString& f : qAsConst(m_files))
            locator.requestMetadata(urlOf(f));
        // Three run, held at the gate; a fourth would leave one fewer waiting.
        QVERIFY(gate.arrived.tryAcquire(3, 10000));
        QCOMPARE(locator.pendingCount(), m_files.size() - 3);
        // Let them through one at a time: each finish starts exactly the next one.
        for (int i = 3; i < m_files.size(); ++i) {
            gate.open();
            QVERIFY(gate.waitArrivals(1));
            QCOMPARE(locator.pendingCount(), m_files.size() - i - 1);
        }
        gate.open(3);
        QTRY_COMPARE(indexed.count(), m_files.size());
        QList<QUrl> asked;
        for (const QString& f : qAsConst(m_files))
            asked << urlOf(f);
        // The first three start together; every later one in the order asked.
        QCOMPARE(
            QSet<QUrl>(started.begin(), started.begin() + 3), QSet<QUrl>(asked.begin(), asked.begin() + 3));
        QCOMPARE(started.mid(3), asked.mid(3));
        for (const QList<QVariant>& args : qAsConst(indexed)) {
            const VrxMetadata m = args.at(0).value<VrxMetadata>();
            QVERIFY(!m.invalid);
            QVERIFY(!m.imageUuid.isNull());
        }
    }

    void userWorkRunsWhileThumbnailsHoldThePool_data()
    {
        QTest::addColumn<int>("poolThreads");
        QTest::addColumn<int>("taskThreads");
        QTest::addColumn<int>("running");
        QTest::newRow("two threads, two tasks") << 2 << 2 << 1;
        QTest::newRow("four threads, eight tasks") << 4 << 8 << 3;
        QTest::newRow("four threads, four tasks") << 4 << 4 << 3;
        QTest::newRow("four threads, two tasks") << 4 << 2 << 2;
    }

    // Index tasks held mid-render leave one thread of the shared pool free: a step handed
    // to the pool meanwhile runs before any of them is let go.
    void userWorkRunsWhileThumbnailsHoldThePool()
    {
        QFETCH(int, poolThreads);
        QFETCH(int, taskThreads);
        QFETCH(int, running);
        QThreadPool* pool = QThreadPool::globalInstance();
        struct PoolSize
        {
            QThreadPool* pool;
            int before;
            ~PoolSize() { pool->setMaxThreadCount(before); }
        } restore { pool, pool->maxThreadCount() };
        pool->setMaxThreadCount(poolThreads);
        QSemaphore userRan;
        Gate gate;
        ImageLocator locator(taskThreads, nullptr);
        GateOpener opener { gate };
        locator.setTaskProbe([&](IndexTask::Step step, const QUrl&) {
            if (step == IndexTask::Step::Render)
                gate.wait();
        });
        QSignalSpy indexed(&locator, &ImageLocator::notifyFileIndexedSignal);
        for (const QString& f : qAsConst(m_files))
            locator.requestMetadata(urlOf(f));
        QVERIFY(gate.arrived.tryAcquire(running, 10000));
        pool->start([&userRan] { userRan.release(); });
        // Not one held task has been let through yet.
        QVERIFY(userRan.tryAcquire(1, 10000));
        QCOMPARE(locator.pendingCount(), m_files.size() - running);
        QCOMPARE(gate.arrived.available(), 0);
        gate.open(1000);
        QTRY_COMPARE_WITH_TIMEOUT(indexed.count(), m_files.size(), 60000);
    }

    // Thumbnails are drawn at lowered CPU priority, while the pool thread that ran the index
    // task goes on serving other work at the priority it had.
    void thumbnailsAreDrawnAtLoweredPriority()
    {
        const int normal = niceOfThisThread();
        if (normal >= 19)
            QSKIP("the test runs at the lowest priority already");
        QMutex mutex;
        QList<int> drawnAt;
        ImageLocator locator(2, nullptr);
        locator.setTaskProbe([&](IndexTask::Step step, const QUrl&) {
            if (step == IndexTask::Step::Render) {
                QMutexLocker lock(&mutex);
                drawnAt << niceOfThisThread();
            }
        });
        QSignalSpy indexed(&locator, &ImageLocator::notifyFileIndexedSignal);
        for (int i = 0; i < 4; ++i)
            locator.requestMetadata(urlOf(m_files[i]));
        QTRY_COMPARE_WITH_TIMEOUT(indexed.count(), 4, 60000);
        {
            QMutexLocker lock(&mutex);
            QCOMPARE(drawnAt.size(), 4);
            for (int nice : qAsConst(drawnAt))
                QCOMPARE(nice, std::min(19, normal + CIAPI::BackgroundThread::kNiceSteps));
        }
        // As many steps as the pool has threads, each held until all started: every thread
        // of the pool, those that ran index tasks among them, runs at the ordinary priority.
        QThreadPool* pool = QThreadPool::globalInstance();
        const int threads = pool->maxThreadCount();
        QSemaphore started, go;
        QList<int> stepsAt;
        for (int i = 0; i < threads; ++i)
            pool->start([&] {
                {
                    QMutexLocker lock(&mutex);
                    stepsAt << niceOfThisThread();
                }
                started.release();
                go.acquire();
            });
        QVERIFY(started.tryAcquire(threads, 10000));
        go.release(threads);
        pool->waitForDone();
        QCOMPARE(stepsAt, QVector<int>(threads, normal).toList());
    }

    // A failure at any step of a task gives its slot back and reports the file
    // unreadable, both to the listener and as an announcement.
    void failureAtEachStepReleasesTheSlot_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<bool>("withState");
        QTest::newRow("start") << int(IndexTask::Step::Started) << false;
        QTest::newRow("token") << int(IndexTask::Step::Token) << false;
        QTest::newRow("raw metadata") << int(IndexTask::Step::RawMetadata) << true;
        QTest::newRow("render") << int(IndexTask::Step::Render) << false;
    }
    void failureAtEachStepReleasesTheSlot()
    {
        QFETCH(int, step);
        QFETCH(bool, withState);
        const QString bad = path("failing.vrx");
        const vrxgen::Picture picture = writePicture(bad, 7);
        QFile::remove(stateOf(bad));
        if (withState)
            ostra::test::PictureFiles::writeFlatThumbnailState(
                stateOf(bad), picture.meta.imageUuid, 32, 24, 10, 20, 30, 3);
        // One slot: a slot kept by the failing task would stop every later task.
        ImageLocator locator(1, nullptr);
        locator.setTaskProbe([&](IndexTask::Step s, const QUrl& url) {
            if (int(s) == step && url == urlOf(bad))
                throw std::runtime_error("injected");
        });
        QSignalSpy invalid(&locator, &ImageLocator::notifyFileInvalidSignal);
        QSignalSpy indexed(&locator, &ImageLocator::notifyFileIndexedSignal);
        Client client;
        locator.requestLoad(urlOf(bad), &client);
        locator.requestMetadata(urlOf(bad));
        for (int i = 0; i < 3; ++i)
            locator.requestMetadata(urlOf(m_files[i]));
        QTRY_COMPARE(indexed.count(), 3);
        QTRY_COMPARE(invalid.count(), 2);
        QCOMPARE(invalid.at(0).at(0).toUrl(), urlOf(bad));
        QVERIFY(!client.outputs.isEmpty());
        QVERIFY(client.outputs.first().pyramid == invalidPyramid());
        QCOMPARE(client.invalid.size(), 2);
        QTRY_VERIFY(!locator.indexedValues(urlOf(bad)).isEmpty());
        QCOMPARE(locator.indexedValues(urlOf(bad)).value(274).toBool(), true);
        // An unreadable file is watched until it changes.
        QVERIFY(locator.isWatched(urlOf(bad)));
        QFile::remove(stateOf(bad));
    }

    // A load of a picture whose state file holds a thumbnail shows that thumbnail
    // without rendering; one saved for another picture is ignored and the file rendered.
    void loadUsesTheSavedThumbnail()
    {
        const QString file = path("thumbed.vrx");
        const vrxgen::Picture picture = writePicture(file, 31);
        ostra::test::PictureFiles::writeFlatThumbnailState(
            stateOf(file), picture.meta.imageUuid, 40, 30, 200, 100, 20, 3);
        std::atomic<int> renders { 0 };
        auto countRenders = [&](ImageLocator& locator) {
            locator.setTaskProbe(
                [&](IndexTask::Step s, const QUrl&) { renders += s == IndexTask::Step::Render; });
        };
        {
            ImageLocator locator(2, nullptr);
            locator.setChannelOrder(ImageLocator::kGlRgba);
            countRenders(locator);
            Client client;
            locator.requestLoad(urlOf(file), &client);
            QTRY_COMPARE(client.outputs.size(), 1);
            const CIAPI::ImagePyramid p = client.outputs[0].pyramid;
            QVERIFY(!isSentinel(p));
            QCOMPARE(p[0].width(), 40);
            QCOMPARE(p[0].height(), 30);
            const uint8_t* px = p[0].row(15) + 20 * 4;
            QVERIFY2(qAbs(px[0] - 200) < 8 && qAbs(px[2] - 20) < 8, "thumbnail colours, RGBA order");
            // Letting go of a picture never asked for, or of no client, is harmless.
            locator.releaseClient(urlOf(path("never-asked.vrx")), &client);
            locator.releaseClient(urlOf(file), nullptr);
            // The row of a picture with a saved thumbnail comes without a render too.
            locator.requestMetadata(urlOf(file));
            QTRY_COMPARE(locator.indexedValues(urlOf(file)).value(IResolver::Rating).toInt(), 3);
            QCOMPARE(renders.load(), 0);
            // A rating reaches the state file: another service reads it back.
            locator.rate(urlOf(file), 5);
            QTRY_COMPARE(locator.ratingsBeingWritten(), 0);
            ImageLocator reader(2, nullptr);
            reader.requestMetadata(urlOf(file));
            QTRY_COMPARE(reader.indexedValues(urlOf(file)).value(IResolver::Rating).toInt(), 5);
        }
        // A thumbnail of another picture.
        ostra::test::PictureFiles::writeFlatThumbnailState(
            stateOf(file), vrxgen::imageUuidWords(999), 40, 30, 200, 100, 20, 3);
        {
            ImageLocator locator(2, nullptr);
            countRenders(locator);
            Client client;
            locator.requestLoad(urlOf(file), &client);
            QTRY_COMPARE(client.outputs.size(), 1);
            QVERIFY(client.outputs[0].pyramid[0].width() != 40);
            QCOMPARE(renders.load(), 1);
            // Rendered, the picture comes in the channel order asked for too.
            ImageLocator rgbaLocator(2, nullptr);
            rgbaLocator.setChannelOrder(ImageLocator::kGlRgba);
            Client rgba;
            rgbaLocator.requestLoad(urlOf(file), &rgba);
            QTRY_COMPARE(rgba.outputs.size(), 1);
            const CIAPI::Image& a = client.outputs[0].pyramid[0];
            const CIAPI::Image& b = rgba.outputs[0].pyramid[0];
            QCOMPARE(a.width(), b.width());
            int differing = 0;
            for (int x = 0; x < a.width(); ++x) {
                const uint8_t* p = a.row(a.height() / 2) + x * 4;
                const uint8_t* q = b.row(b.height() / 2) + x * 4;
                QVERIFY(p[0] == q[2] && p[1] == q[1] && p[2] == q[0]);
                differing += p[0] != p[2];
            }
            QVERIFY(differing > 0);
        }
    }

    // A picture's file stays mapped while anything holds it (its compression waiting in
    // the queue behind a folder's worth of others): rendering its thumbnail leaves none of
    // the file's pages resident in the meantime.
    void renderLeavesTheFilePagesToTheSystem()
    {
        vrxgen::PictureOptions options = ostra::test::PictureFiles::small(41);
        options.moduleWidth = 512;
        options.moduleHeight = 384;
        const QString file = ostra::test::PictureFiles::write(m_dir.path(), "resident.vrx", options);
        QVERIFY(!file.isEmpty());
        QVERIFY(QFileInfo(file).size() > 200000);
        ImageLocator locator(2, nullptr);
        const std::shared_ptr<StreamSource> waiting = locator.keeperFor(urlOf(file))->streamSource();
        Client client;
        locator.requestLoad(urlOf(file), &client);
        QTRY_COMPARE(client.outputs.size(), 1);
        QVERIFY(!isSentinel(client.outputs[0].pyramid));
        QVERIFY(waiting->data()); // the render read it through this very mapping
        QTRY_VERIFY2(ostra::test::residentKb(waiting->data()) < 64,
            qPrintable(QString::number(ostra::test::residentKb(waiting->data()))));
        QVERIFY(waiting->length() > 200000);
        locator.releaseClient(urlOf(file), &client);
    }

    // Keepers dropped by close or a channel-order change while tasks still hold them
    // die on the GUI thread.
    // A star click never waits on the GUI thread: with the state file's lock held elsewhere
    // the call returns at once and the write waits on its own thread; lock released in time,
    // it lands; held on, the row keeps what the file holds. Quick clicks land in order and
    // the last one wins.
    void ratingNeverWaitsForTheLock()
    {
        const QString file = path("rated.vrx");
        const vrxgen::Picture picture = writePicture(file, 41);
        ostra::test::PictureFiles::writeFlatThumbnailState(
            stateOf(file), picture.meta.imageUuid, 40, 30, 200, 100, 20, 3);
        const QUrl url = urlOf(file);
        ImageLocator locator(2, nullptr);
        locator.requestMetadata(url);
        QTRY_COMPARE(locator.indexedValues(url).value(IResolver::Rating).toInt(), 3);

        QLockFile held(StateFile::lockPath(stateOf(file)));
        QVERIFY(held.tryLock(0));
        locator.rate(url, 4);
        // Back while the lock is still held: the write waits on its own thread, also for
        // longer than a save on the GUI thread would (a batch step holds it that long).
        QCOMPARE(locator.ratingsBeingWritten(), 1);
        QTest::qWait(StateFile::kRatingLockWaitMs + 500);
        QCOMPARE(locator.ratingsBeingWritten(), 1);
        held.unlock();
        QTRY_COMPARE(locator.ratingsBeingWritten(), 0);
        QCOMPARE(locator.indexedValues(url).value(IResolver::Rating).toInt(), 4);

        locator.setRatingLockWait(500);
        QVERIFY(held.tryLock(0));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Error rating"));
        locator.rate(url, 1);
        QCOMPARE(locator.ratingsBeingWritten(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(locator.ratingsBeingWritten(), 0, 20000);
        QCOMPARE(locator.indexedValues(url).value(IResolver::Rating).toInt(), 4);
        held.unlock();

        for (int stars : { 1, 5, 2 })
            locator.rate(url, stars);
        QTRY_COMPARE(locator.ratingsBeingWritten(), 0);
        QCOMPARE(locator.indexedValues(url).value(IResolver::Rating).toInt(), 2);
        ImageLocator reader(2, nullptr);
        reader.requestMetadata(url);
        QTRY_COMPARE(reader.indexedValues(url).value(IResolver::Rating).toInt(), 2);
    }

    // A pipe in the state file's place takes no rating and holds nothing up: the write fails,
    // the row shows what no file holds (no stars), and the locator can go.
    void ratingOfAPipeNeverWaits()
    {
        const QString file = path("piped.vrx");
        writePicture(file, 43);
        const QString state = stateOf(file);
        QCOMPARE(::mkfifo(QFile::encodeName(state).constData(), 0600), 0);
        const QUrl url = urlOf(file);
        bool ended = false;
        {
            ImageLocator locator(2, nullptr);
            locator.requestMetadata(url);
            QTRY_VERIFY(locator.indexedValues(url).contains(IResolver::Rating));
            QCOMPARE(locator.indexedValues(url).value(IResolver::Rating).toInt(), 0);
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Error rating"));
            locator.rate(url, 4);
            ended = QTest::qWaitFor([&] { return locator.ratingsBeingWritten() == 0; }, 20000);
            if (!ended) {
                // Let the waiting read go, so that the locator can end.
                QFile writer(state);
                QVERIFY(writer.open(QIODevice::WriteOnly));
            }
        }
        QVERIFY2(ended, "the rating writer waited on a pipe");
        QFile::remove(state);
    }

    // Reads of a picture run in parallel and end in any order. A read that looked at the
    // state file before a star was written there ends after the star is shown: the row keeps
    // the star. A read that ends after a read begun later (the file changed meanwhile) tells
    // nothing: the row keeps what the later read found.
    void aReadEndingLateNeverShowsAnOlderFile()
    {
        const QString file = path("late.vrx");
        const vrxgen::Picture picture = writePicture(file, 45);
        QVERIFY(ostra::test::PictureFiles::writeFlatThumbnailState(
            stateOf(file), picture.meta.imageUuid, 40, 30, 200, 100, 20, 3));
        const QUrl url = urlOf(file);
        ImageLocator locator(2, nullptr);
        Gate gate;
        GateOpener opener { gate };
        std::atomic<bool> hold { false };
        std::atomic<int> finished { 0 };
        // The next read is held once it has read the state file, before it reports.
        locator.setTaskProbe([&](IndexTask::Step s, const QUrl&) {
            if (s == IndexTask::Step::Finished)
                ++finished;
            if ((s == IndexTask::Step::RawMetadata || s == IndexTask::Step::Render) && hold.exchange(false))
                gate.wait();
        });
        const auto rating = [&] { return locator.indexedValues(url).value(IResolver::Rating).toInt(); };
        // Every task finished and its results handed over.
        const auto settle = [&](int tasks) {
            const bool done = QTest::qWaitFor([&] { return finished == tasks; }, 20000);
            QCoreApplication::processEvents();
            QCoreApplication::processEvents();
            return done;
        };
        locator.requestMetadata(url);
        QVERIFY(settle(1));
        QCOMPARE(rating(), 3);

        QSignalSpy indexed(&locator, &ImageLocator::notifyFileIndexedSignal);
        hold = true;
        locator.requestMetadata(url);
        QVERIFY(gate.waitArrivals(1));
        locator.rate(url, 5);
        QTRY_COMPARE(locator.ratingsBeingWritten(), 0);
        QCOMPARE(rating(), 5);
        gate.open();
        QVERIFY(settle(2));
        // The late read was taken (its other values are new), the star stayed.
        QCOMPARE(indexed.count(), 1);
        QCOMPARE(rating(), 5);
        // A read begun after the star tells it as the file does.
        locator.requestMetadata(url);
        QVERIFY(settle(3));
        QCOMPARE(rating(), 5);

        hold = true;
        locator.requestMetadata(url);
        QVERIFY(gate.waitArrivals(1));
        // Another program rates the picture; the file is read again, and that read ends first.
        StateFile::writeRating(url, 2);
        locator.requestMetadata(url);
        QTRY_COMPARE(rating(), 2);
        gate.open();
        QVERIFY(settle(5));
        QCOMPARE(rating(), 2);
    }

    // The file changes while a read of its picture runs: the picture that read brings is
    // older than the file and is not kept, even when it arrives before the one read since.
    void aPictureReadBeforeAChangeIsNotKept()
    {
        const QString file = path("changing.vrx");
        const vrxgen::Picture picture = writePicture(file, 47);
        QVERIFY(ostra::test::PictureFiles::writeFlatThumbnailState(
            stateOf(file), picture.meta.imageUuid, 40, 30, 200, 100, 20, 3));
        const QUrl url = urlOf(file);
        ImageLocator locator(2, nullptr);
        locator.setChannelOrder(ImageLocator::kGlRgba);
        Gate afterState;
        Gate atStart;
        GateOpener openState { afterState };
        GateOpener openStart { atStart };
        std::atomic<bool> holdAfterState { false };
        std::atomic<bool> holdAtStart { false };
        std::atomic<int> finished { 0 };
        locator.setTaskProbe([&](IndexTask::Step s, const QUrl&) {
            if (s == IndexTask::Step::Finished)
                ++finished;
            if (s == IndexTask::Step::Started && holdAtStart.exchange(false))
                atStart.wait();
            if ((s == IndexTask::Step::RawMetadata || s == IndexTask::Step::Render)
                && holdAfterState.exchange(false))
                afterState.wait();
        });
        // The red of the first picture, or the blue of the second.
        const auto red = [](const VrxMessage& m) {
            const uint8_t* px = m.pyramid[0].row(15) + 20 * 4;
            return qAbs(px[0] - 200) < 8 && qAbs(px[2] - 20) < 8;
        };
        const auto blue = [](const VrxMessage& m) {
            const uint8_t* px = m.pyramid[0].row(15) + 20 * 4;
            return qAbs(px[0] - 20) < 8 && qAbs(px[2] - 200) < 8;
        };
        Client client;
        locator.requestLoad(url, &client);
        QTRY_COMPARE(client.outputs.size(), 1);
        QVERIFY(red(client.outputs.last()));

        holdAfterState = true;
        locator.requestMetadata(url);
        QVERIFY(afterState.waitArrivals(1));
        // Saved elsewhere with a new picture; the read of the change waits at its start.
        QVERIFY(ostra::test::PictureFiles::writeFlatThumbnailState(
            stateOf(file), picture.meta.imageUuid, 40, 30, 20, 100, 200, 3));
        holdAtStart = true;
        QVERIFY(QMetaObject::invokeMethod(&locator, "onFileContentsUpdated", Q_ARG(QUrl, url)));
        QVERIFY(atStart.waitArrivals(1));
        const int before = client.outputs.size();
        afterState.open();
        // The old read's results are handed over (and its picture dropped) before the new
        // read may go on.
        QVERIFY(QTest::qWaitFor([&] { return finished == 2; }, 20000));
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        atStart.open();
        QTRY_VERIFY(client.outputs.size() > before && blue(client.outputs.last()));
        QVERIFY(blue(locator.keeperFor(url)->kept()));
        // Asked for again, the kept picture is the file's.
        Client later;
        locator.requestLoad(url, &later);
        QTRY_COMPARE(later.outputs.size(), 1);
        QVERIFY(blue(later.outputs.last()));
    }

    // Another picture takes a file's name (an import overwriting it puts the new file in
    // its place in one step) and the file is read again: its cells show the new picture.
    void aReplacedFileShowsItsNewPicture()
    {
        const QString file = path("replaced.vrx");
        const vrxgen::Picture first = writePicture(file, 49);
        QVERIFY(ostra::test::PictureFiles::writeFlatThumbnailState(
            stateOf(file), first.meta.imageUuid, 40, 30, 200, 100, 20, 3));
        const QUrl url = urlOf(file);
        ImageLocator locator(2, nullptr);
        locator.setChannelOrder(ImageLocator::kGlRgba);
        const auto blue = [](const VrxMessage& m) {
            if (m.pyramid.levelCount() == 0)
                return false;
            const uint8_t* px = m.pyramid[0].row(15) + 20 * 4;
            return qAbs(px[0] - 20) < 8 && qAbs(px[2] - 200) < 8;
        };
        const auto red = [](const VrxMessage& m) {
            if (m.pyramid.levelCount() == 0)
                return false;
            const uint8_t* px = m.pyramid[0].row(15) + 20 * 4;
            return qAbs(px[0] - 200) < 8 && qAbs(px[2] - 20) < 8;
        };
        Client client;
        locator.requestLoad(url, &client);
        locator.requestMetadata(url);
        QTRY_VERIFY(!client.outputs.isEmpty() && !locator.indexedValues(url).isEmpty());
        QVERIFY(red(client.outputs.last()));
        const QByteArray firstId = locator.indexedValues(url).value(IResolver::ImageUUID).toByteArray();

        const QString incoming = path("incoming.vrx");
        const vrxgen::Picture second = writePicture(incoming, 50);
        QVERIFY(ostra::test::PictureFiles::writeFlatThumbnailState(
            stateOf(file) + ".new", second.meta.imageUuid, 40, 30, 20, 100, 200, 1));
        QCOMPARE(::rename(QFile::encodeName(stateOf(file) + ".new").constData(),
                     QFile::encodeName(stateOf(file)).constData()),
            0);
        QCOMPARE(::rename(QFile::encodeName(incoming).constData(), QFile::encodeName(file).constData()), 0);
        // The import asks for the copy to be read.
        locator.requestMetadata(url);
        QTRY_VERIFY(locator.indexedValues(url).value(IResolver::ImageUUID).toByteArray() != firstId);
        QCOMPARE(locator.indexedValues(url).value(IResolver::Rating).toInt(), 1);
        QTRY_VERIFY(blue(client.outputs.last()));
        QVERIFY(blue(locator.keeperFor(url)->kept()));

        // Replaced once more while no item shows it: the next item gets the newest picture.
        locator.releaseClient(url, &client);
        const QByteArray secondId = locator.indexedValues(url).value(IResolver::ImageUUID).toByteArray();
        const vrxgen::Picture third = writePicture(incoming, 51);
        QVERIFY(ostra::test::PictureFiles::writeFlatThumbnailState(
            stateOf(file) + ".new", third.meta.imageUuid, 40, 30, 200, 100, 20, 2));
        QCOMPARE(::rename(QFile::encodeName(stateOf(file) + ".new").constData(),
                     QFile::encodeName(stateOf(file)).constData()),
            0);
        QCOMPARE(::rename(QFile::encodeName(incoming).constData(), QFile::encodeName(file).constData()), 0);
        locator.requestMetadata(url);
        QTRY_VERIFY(locator.indexedValues(url).value(IResolver::ImageUUID).toByteArray() != secondId);
        Client later;
        locator.requestLoad(url, &later);
        QTRY_VERIFY(!later.outputs.isEmpty() && red(later.outputs.last()));
    }

    void droppedKeepersDieOnTheGuiThread()
    {
        for (int variant = 0; variant < 2; ++variant) {
            Gate gate;
            ImageLocator locator(2, nullptr);
            GateOpener opener { gate };
            locator.setTaskProbe([&](IndexTask::Step s, const QUrl&) {
                if (s == IndexTask::Step::Finished)
                    gate.wait();
            });
            const QUrl url = urlOf(m_files[5]);
            QPointer<ImageKeeper> keeper = locator.keeperFor(url).get();
            QThread* diedOn = nullptr;
            connect(keeper.data(), &QObject::destroyed, [&] { diedOn = QThread::currentThread(); });
            locator.requestMetadata(url);
            QVERIFY(gate.arrived.tryAcquire(1, 10000));
            if (variant == 0)
                locator.close();
            else
                locator.setChannelOrder(ImageLocator::kGlRgba);
            QVERIFY(!locator.hasKeeper(url));
            QVERIFY(keeper);
            gate.open();
            QTRY_VERIFY(!keeper);
            QCOMPARE(diedOn, QThread::currentThread());
        }
    }

    // A file that is unreadable while it is being written is watched, read again once
    // complete, and then no longer watched.
    void unreadableFileIsWatchedUntilReadable()
    {
        const QString file = path("growing.vrx");
        const vrxgen::Picture picture = writePicture(file, 77);
        const QByteArray bytes(reinterpret_cast<const char*>(picture.vrx.data()), int(picture.vrx.size()));
        QVERIFY(ostra::test::writeTreeFile(file, bytes.left(bytes.size() / 2)));
        ImageLocator locator(2, nullptr);
        QSignalSpy indexed(&locator, &ImageLocator::notifyFileIndexedSignal);
        QSignalSpy invalid(&locator, &ImageLocator::notifyFileInvalidSignal);
        locator.requestMetadata(urlOf(file));
        QTRY_COMPARE(invalid.count(), 1);
        QTRY_VERIFY(locator.isWatched(urlOf(file)));
        // Written whole: read as a picture (once per change the system tells, which may be
        // one or two for a rewrite), and no longer watched.
        QVERIFY(ostra::test::writeTreeFile(file, bytes));
        QTRY_VERIFY_WITH_TIMEOUT(indexed.count() >= 1, 15000);
        QTRY_VERIFY(!locator.isWatched(urlOf(file)));
    }

    // A file that is not a picture is read again when it changes, not over and over while
    // it stays as it was indexed.
    void notAPictureIsReadAgainOnlyWhenItChanges()
    {
        const QString file = path("notes.vrx");
        QVERIFY(ostra::test::writeTreeFile(file, "shopping: bread, milk\n"));
        VrxMetadata record;
        record.resetFromFile(urlOf(file));
        QVERIFY(record.invalid);
        const qint64 indexedSize = record.fileSize;
        UnreadableWatch watch([&](const QUrl&) {
            return QMap<int, QVariant> { { IResolver::Invalid, true }, { IResolver::FileSize, indexedSize } };
        });
        QSignalSpy changed(&watch, &UnreadableWatch::changed);
        watch.noteIndexed(file, record);
        QVERIFY(watch.isWatched(file));
        // The delayed look at the watched files, run now.
        QVERIFY(QMetaObject::invokeMethod(&watch, "shuffleFiles"));
        QTRY_VERIFY(!watch.isLooking());
        QCOMPARE(changed.count(), 0);
        QVERIFY(ostra::test::writeTreeFile(file, "shopping: bread, milk, eggs\n"));
        QVERIFY(QMetaObject::invokeMethod(&watch, "shuffleFiles"));
        QTRY_VERIFY(!watch.isLooking());
        QVERIFY(changed.count() >= 1);
        QCOMPARE(changed.first().first().toUrl(), urlOf(file));
    }

    // A file found unreadable on a drive that hangs: its watch, and the look at its size a
    // while later, are asked off the GUI thread, which turns meanwhile. Once the drive
    // answers, a file grown since is read again; a watch that goes meanwhile does not wait.
    void unreadableWatchAsksTheDiskOffTheGuiThread_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("watch asked") << 0;
        QTest::newRow("size looked at") << 1;
        QTest::newRow("deleted while the size is looked at") << 2;
    }

    void unreadableWatchAsksTheDiskOffTheGuiThread()
    {
        OSTRA_CONTINUE_IN_MOUNT_NAMESPACE(path("ns"));
        QFETCH(int, how);
        const QString ns = ostra::test::mountNamespaceFolder();
        QVERIFY(ostra::test::writeTreeFile(ns + "/disk/notes.vrx", "shopping: bread\n"));
        ostra::test::HeldMount drive(ns + "/disk", ns + "/mnt");
        if (!drive.isValid())
            QSKIP("cannot mount a file system of its own here");
        const QString file = ns + "/mnt/notes.vrx";
        VrxMetadata record;
        record.resetFromFile(urlOf(file));
        QVERIFY(record.invalid);
        const qint64 indexedSize = record.fileSize;
        auto watch = std::make_unique<UnreadableWatch>([&](const QUrl&) {
            return QMap<int, QVariant> { { IResolver::Invalid, true }, { IResolver::FileSize, indexedSize } };
        });
        QSignalSpy changed(watch.get(), &UnreadableWatch::changed);
        if (how != 0) {
            watch->noteIndexed(file, record);
            QTRY_VERIFY(drive.held() == 0 && drive.passed() > 0);
        }

        drive.close();
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        if (how == 0)
            watch->noteIndexed(file, record);
        else
            QVERIFY(QMetaObject::invokeMethod(watch.get(), "shuffleFiles"));
        QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, 15000);
        QVERIFY(ostra::test::eventLoopTurns());
        QVERIFY(watch->isWatched(file));
        QCOMPARE(watch->isLooking(), how != 0);
        // Grown behind the mount's back: only the look at its size sees it.
        QVERIFY(ostra::test::writeTreeFile(ns + "/disk/notes.vrx", "shopping: bread, milk\n"));
        if (how == 2)
            watch.reset();
        QVERIFY(watchdog.end());
        drive.open();
        if (!watch) {
            QTRY_VERIFY(drive.held() == 0);
            QVERIFY(ostra::test::eventLoopTurns());
            QCOMPARE(changed.count(), 0);
            return;
        }
        if (how == 1) {
            QTRY_VERIFY(!watch->isLooking());
            QCOMPARE(changed.count(), 1);
            QCOMPARE(changed.first().first().toUrl(), urlOf(file));
            return;
        }
        // Changed through the mount: the watch tells.
        QTRY_VERIFY(drive.held() == 0);
        QVERIFY(ostra::test::writeTreeFile(file, "shopping: bread, milk, eggs\n"));
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0, 15000);
        QCOMPARE(changed.first().first().toUrl(), urlOf(file));
    }

    // Destroying the service with tasks running and waiting is clean: running tasks are
    // waited for, waiting ones dropped, and nothing reaches the destroyed object.
    void destroyWithTasksInFlight()
    {
        for (int round = 0; round < 5; ++round) {
            auto* locator = new ImageLocator(4, nullptr);
            Client client;
            for (const QString& f : qAsConst(m_files)) {
                locator->requestLoad(urlOf(f), &client);
                locator->requestMetadata(urlOf(f));
            }
            delete locator;
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            // The waiting tasks were dropped: at most the four running ones delivered.
            QVERIFY(client.outputs.size() <= 4);
        }
    }
};

OSTRA_TEST_MAIN(TestImageLocator)
#include "tst_imagelocator.moc"
