#include "engine/exifreader.h"
#include "engine/exportqueue.h"
#include "engine/imageeditor.h"
#include "engine/imageproperties.h"
#include "engine/statefile.h"
#include "engine/streamsource.h"
#include "engine/transformhelpers.h"

#include "ciapi/renderer.h"

#include "support/filebytes.h"
#include "support/filesizelimit.h"
#include "support/filetree.h"
#include "support/picturefiles.h"
#include "support/testmain.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtConcurrent>

using ostra::test::PictureFiles;

using ostra::test::fileBytes;

namespace {

using Size = Export::SizeSpec;

// The pixel size stored in an exported PPM, read from its own header.
QSize storedSize(const QString& path)
{
    const QList<QByteArray> tokens = fileBytes(path).left(32).simplified().split(' ');
    return tokens.value(0) == "P6" ? QSize(tokens.value(1).toInt(), tokens.value(2).toInt()) : QSize();
}

QString uniqueIdOf(const QString& path)
{
    QString id;
    Exif::Callbacks c;
    c.filter = [](const Exif::EntrySpec&) { return true; };
    c.entry = [&](quint64, const Exif::Directory&, const Exif::ExifEntry& e, QIODevice&) {
        if (e.tag == 0xA420 && e.toString())
            id = *e.toString();
    };
    Exif::readExifFromFile(QUrl::fromLocalFile(path), c);
    return id;
}

std::shared_ptr<StreamPart> sourceOf(const QString& path)
{
    return std::make_shared<StreamSource>(QUrl::fromLocalFile(path));
}

} // namespace

class TestExportQueue : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_a;
    QString m_b;
    FilePerm m_perm;

    void openIn(ImageViewer& viewer, const QString& path)
    {
        viewer.setFilePerm(&m_perm);
        QVERIFY(viewer.loadImageWithState(QUrl::fromLocalFile(path), sourceOf(path), {}, 0, 0));
    }

    QString out(const QString& name) const { return m_dir.filePath(name); }

    // Runs the queue once with a fresh writer, on a pool thread as the image service does.
    void runQueue(ExportQueue& queue, ImageViewer& writer)
    {
        writer.setFilePerm(&m_perm);
        queue.setWriter(&writer);
        QFuture<void> done = QtConcurrent::run([&] { queue.run(writer); });
        QVERIFY(QTest::qWaitFor([&] { return done.isFinished(); }, 300000));
        QCoreApplication::processEvents();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_a = PictureFiles::write(m_dir.path(), "a.vrx", PictureFiles::small(21));
        m_b = PictureFiles::write(m_dir.path(), "b.vrx", PictureFiles::small(22));
        QVERIFY(!m_a.isEmpty() && !m_b.isEmpty());
    }

    void refusedRequestsWriteNothing()
    {
        ImageViewer viewer;
        openIn(viewer, m_a);
        ExportRequest r;
        r.location = QUrl::fromLocalFile(m_a);
        r.sizeMode = 1;
        r.size = QSize(64, 48);
        const std::pair<int, QString> refused[]
            = { { 4, out("bad4.jpg") }, { -1, out("bad-1.jpg") }, { 0, out("no/such/folder/x.jpg") } };
        for (const auto& [format, path] : refused) {
            r.format = format;
            r.path = path;
            try {
                exportImage(viewer, r, {});
                QFAIL("no exception");
            } catch (const std::runtime_error& e) {
                QCOMPARE(QString(e.what()),
                    QString(format == 0 ? "Couldn't open file for writing!" : "Unexpected export format!"));
            }
            QVERIFY(!QFileInfo::exists(r.path));
        }
        viewer.closeImage();
    }

    // Turned, mirrored and cropped: the file holds the crop as the view shows it.
    void exportsTheViewsCrop_data()
    {
        QTest::addColumn<int>("quarterTurns"); // rotate90 argument
        QTest::addColumn<bool>("mirror");
        QTest::addColumn<QRectF>("view");
        QTest::newRow("upright") << 0 << false << QRectF(0, 0, 1, 1);
        QTest::newRow("cropped") << 0 << false << QRectF(0.1, 0.2, 0.5, 0.6);
        QTest::newRow("quarter") << -1 << false << QRectF(0, 0, 1, 1);
        QTest::newRow("quarter cropped") << 1 << false << QRectF(0.25, 0.1, 0.5, 0.8);
        QTest::newRow("half mirrored cropped") << 2 << true << QRectF(0.0, 0.5, 0.75, 0.5);
    }

    void exportsTheViewsCrop()
    {
        QFETCH(int, quarterTurns);
        QFETCH(bool, mirror);
        QFETCH(QRectF, view);
        ImageViewer viewer;
        openIn(viewer, m_a);
        CIAPI::Transform t = viewer.properties()->transformProperties();
        t.reset(0);
        t.rotate90(quarterTurns);
        if (mirror)
            t.flipHorizontal();
        setTransformCropFromView(t, view);
        viewer.setTransform(t);
        ExportRequest r;
        r.location = QUrl::fromLocalFile(m_a);
        r.format = 1;
        r.sizeMode = 1;
        r.size = QSize(240, 180);
        r.path = out(QStringLiteral("view-%1.ppm").arg(QTest::currentDataTag()));
        QList<int> progress;
        // Done means the file has its name: a quit waiting for the export to be done must
        // not cut it before it is renamed into place.
        bool namedWhenDone = false;
        QVERIFY(exportImage(viewer, r, [&](int p) {
            progress << p;
            if (p == 100)
                namedWhenDone = QFileInfo(r.path).size() > 0;
        }));
        QVERIFY(!progress.isEmpty() && progress.last() == 100);
        QCOMPARE(progress.count(100), 1);
        QVERIFY(namedWhenDone);
        const QSize turned = quarterTurns % 2 != 0 ? QSize(180, 240) : QSize(240, 180);
        const QSize stored = storedSize(r.path);
        QVERIFY(qAbs(stored.width() - turned.width() * view.width()) <= 2);
        QVERIFY(qAbs(stored.height() - turned.height() * view.height()) <= 2);
        viewer.closeImage();
    }

    // A crop read from a preset, however thin, leaves the export the smallest crop the crop
    // tool makes, not an export without a pixel.
    void presetSliverCropStillExports()
    {
        ImageProperties preset;
        QVERIFY(preset.loadPatch(
            R"({"versionMajor": 1, "versionMinor": 0, "geometry": {"crop": [0.5, 0.5, 1e-9, 1e-9]}})"));
        ImageViewer viewer;
        openIn(viewer, m_a);
        viewer.properties()->applyPatch(&preset);
        viewer.setTransform(viewer.properties()->transformProperties());
        ExportRequest r;
        r.location = QUrl::fromLocalFile(m_a);
        r.format = 1;
        r.sizeMode = 1;
        r.size = QSize(240, 180);
        r.path = out(QStringLiteral("sliver.ppm"));
        QVERIFY(exportImage(viewer, r, {}));
        const QSize stored = storedSize(r.path);
        QVERIFY2(qAbs(stored.width() - 12) <= 1 && qAbs(stored.height() - 9) <= 1,
            qPrintable(QStringLiteral("%1 x %2").arg(stored.width()).arg(stored.height())));
        viewer.closeImage();
    }

    void overwriteIsWholeOrNothing_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("none") << QString();
        QTest::newRow("disk full") << QStringLiteral("full");
        QTest::newRow("killed") << QStringLiteral("kill");
    }

    // An export over a file of the same name replaces it whole or not at all: a disk that
    // fills up or a process killed half-way leaves the file that was there as it was, and
    // no cut-off output under any name that shows; what a killed export left goes with the
    // next export into the folder.
    void overwriteIsWholeOrNothing()
    {
        QFETCH(QString, fault);
        QTemporaryDir dir;
        const QString name = QStringLiteral("IMG #1 %20 \u00e9t\u00e9.ppm");
        const QString target = dir.filePath(name);
        const QByteArray old = QByteArray("P6\n1 1\n255\n") + QByteArray(3, 'o');
        QVERIFY(ostra::test::writeTreeFile(target, old));
        ExportRequest r;
        r.location = QUrl::fromLocalFile(m_a);
        r.format = 1;
        r.sizeMode = 2;
        r.path = target;
        ImageViewer viewer;
        openIn(viewer, m_a);
        if (fault == QLatin1String("kill")) {
            QProcess child;
            child.start(ostra::test::binaryDir() + QStringLiteral("/tests/engine/engine_statewriter"),
                { QStringLiteral("crash-export"), m_a, target, QStringLiteral("1") });
            QVERIFY(child.waitForFinished(120000));
            QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        } else if (fault == QLatin1String("full")) {
            ostra::test::FileSizeLimit limit(4096);
            bool written = true;
            try {
                written = exportImage(viewer, r, {});
            } catch (const std::exception&) {
                written = false;
            }
            QVERIFY(!written);
        } else {
            QVERIFY(exportImage(viewer, r, {}));
        }
        const QSize level0(
            viewer.renderer().outputBuffer()[0].width(), viewer.renderer().outputBuffer()[0].height());
        if (fault.isEmpty()) {
            QCOMPARE(storedSize(target), level0);
            QVERIFY(QFileInfo(target).size() > qint64(level0.width()) * level0.height() * 3);
        } else {
            QCOMPARE(fileBytes(target), old);
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList { name });
        if (fault == QLatin1String("kill")) {
            // The next export into the folder clears what the killed one left.
            r.path = dir.filePath(QStringLiteral("next.ppm"));
            QVERIFY(exportImage(viewer, r, {}));
            QCOMPARE(storedSize(r.path), level0);
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(),
            fault == QLatin1String("kill") ? 2 : 1);
        viewer.closeImage();
    }

    // The background renders not begun of closed files are dropped; their exports stay,
    // and so do other files' renders.
    void backgroundRendersOfClosedFilesAreDropped()
    {
        ExportQueue queue;
        queue.setBackgroundProcessing(true);
        const QUrl a = QUrl::fromLocalFile(m_a);
        const QUrl b = QUrl::fromLocalFile(m_b);
        const auto tiny = Size { Export::Literal, 0, QSize(64, 48) };
        const auto depth = Size { Export::DepthOnly, -1, {} };
        QVERIFY(queue.enqueue(a, sourceOf(m_a), 1, QStringLiteral("/dev/null"), depth, 0));
        QVERIFY(!queue.enqueue(a, sourceOf(m_a), 0, out("d-a.jpg"), tiny, 0));
        QVERIFY(!queue.enqueue(b, sourceOf(m_b), 1, QStringLiteral("/dev/null"), depth, 0));
        QCOMPARE(queue.pendingCount(), 3);
        QCOMPARE(queue.dropBackground({ a, QUrl::fromLocalFile(QStringLiteral("/nowhere.vrx")) }), 1);
        QCOMPARE(queue.pendingCount(), 2);
        QCOMPARE(queue.dropBackground({ b }), 1);
        QCOMPARE(queue.pendingCount(), 1);
        QCOMPARE(queue.dropBackground({ a, b }), 0);

        QStringList written;
        connect(&queue, &ExportQueue::notifyPartialProgress, this, [&](int percentage, const QString& path) {
            if (percentage == 100)
                written << QFileInfo(path).fileName();
        });
        ImageViewer writer;
        runQueue(queue, writer);
        QCOMPARE(written, QStringList { "d-a.jpg" });
        QVERIFY(queue.isIdle());
        writer.closeImage();
    }

    void queueOrderAndDuplicates()
    {
        ExportQueue queue;
        QSignalSpy reset(&queue, &ExportQueue::notifyResetProgress);
        const QUrl a = QUrl::fromLocalFile(m_a);
        const QUrl b = QUrl::fromLocalFile(m_b);
        const auto tiny = Size { Export::Literal, 0, QSize(64, 48) };
        QVERIFY(queue.enqueue(a, sourceOf(m_a), 0, out("q-a1.jpg"), tiny, 0));
        QCOMPARE(reset.count(), 1);
        QVERIFY(!queue.enqueue(a, sourceOf(m_a), 0, out("q-a1.jpg"), tiny, 0)); // the same
        QCOMPARE(queue.pendingCount(), 1);
        QVERIFY(!queue.enqueue(a, sourceOf(m_a), 2, out("q-a1.dng"), tiny, 0));
        QVERIFY(!queue.enqueue(a, sourceOf(m_a), 0, out("q-a9.jpg"), tiny, 0));
        QVERIFY(!queue.enqueue(b, sourceOf(m_b), 0, out("q-b.jpg"), tiny, 0));
        queue.setBackgroundProcessing(true);
        // A background request of b: after b's export, and only while the state is unchanged.
        QVERIFY(!queue.enqueue(
            b, sourceOf(m_b), 1, QStringLiteral("/dev/null"), Size { Export::DepthOnly, -1, {} }, 0));
        QCOMPARE(queue.pendingCount(), 5);
        QCOMPARE(reset.count(), 1);

        QStringList order;
        connect(&queue, &ExportQueue::notifyPartialProgress, this, [&](int percentage, const QString& path) {
            if (percentage == 100)
                order << QFileInfo(path).fileName();
        });
        ImageViewer writer;
        runQueue(queue, writer);
        // a first (it came first): greater paths before smaller, then b.
        QCOMPARE(order, (QStringList { "q-a9.jpg", "q-a1.jpg", "q-a1.dng", "q-b.jpg" }));
        QVERIFY(fileBytes(out("q-a1.dng")).startsWith("II*"));
        // The background request was taken last: the writer holds b open.
        QCOMPARE(writer.currentUrl(), b);
        QCOMPARE(queue.pendingCount(), 0);
        QVERIFY(queue.isIdle());
        QVERIFY(queue.writer() == nullptr);

        // Idle again: the next request starts a new writer. The same file at another size is
        // another request.
        QVERIFY(queue.enqueue(a, sourceOf(m_a), 0, out("q-again.jpg"), Size { Export::MinDimP, 120, {} }, 0));
        QVERIFY(
            !queue.enqueue(a, sourceOf(m_a), 0, out("q-again.jpg"), Size { Export::MinDimP, 240, {} }, 0));
        QCOMPARE(queue.pendingCount(), 2);
        queue.abort(); // as a cancelled export: nothing stays queued
        QCOMPARE(queue.pendingCount(), 0);
    }

    // A picture queued for background work alone goes before other exports as soon as an
    // export of it is added; background work that is refused is passed over.
    void exportsBeforeBackgroundWork()
    {
        ExportQueue queue;
        const QUrl a = QUrl::fromLocalFile(m_a);
        const QUrl b = QUrl::fromLocalFile(m_b);
        const auto tiny = Size { Export::Literal, 0, QSize(64, 48) };
        const auto depthOnly = Size { Export::DepthOnly, -1, {} };
        QVERIFY(queue.enqueue(a, sourceOf(m_a), 1, QStringLiteral("/dev/null"), depthOnly, 0));
        QVERIFY(!queue.enqueue(b, sourceOf(m_b), 0, out("o-b.jpg"), tiny, 0));
        QVERIFY(!queue.enqueue(a, sourceOf(m_a), 0, out("o-a.jpg"), tiny, 0));
        for (int i = 0; i < 50; ++i) {
            const QString other = m_dir.path() + QStringLiteral("/none%1.vrx").arg(i);
            QVERIFY(!queue.enqueue(
                QUrl::fromLocalFile(other), sourceOf(other), 1, QStringLiteral("/dev/null"), depthOnly, 0));
        }
        QCOMPARE(queue.pendingCount(), 53);
        QStringList order;
        connect(&queue, &ExportQueue::notifyPartialProgress, this, [&](int percentage, const QString& path) {
            if (percentage == 100)
                order << QFileInfo(path).fileName();
        });
        ImageViewer writer;
        runQueue(queue, writer);
        QCOMPARE(order, (QStringList { "o-a.jpg", "o-b.jpg" }));
        QCOMPARE(queue.pendingCount(), 0);
        QVERIFY(queue.isIdle());
    }

    void backgroundRequestsNeedTheirState()
    {
        const QString c = PictureFiles::write(m_dir.path(), "c.vrx", PictureFiles::small(23));
        const QUrl url = QUrl::fromLocalFile(c);
        ExportQueue queue;
        ImageViewer writer;
        // Off: dropped.
        queue.enqueue(url, sourceOf(c), 1, "/dev/null", Size { Export::DepthOnly, -1, {} }, 1);
        runQueue(queue, writer);
        QVERIFY(writer.currentUrl().isEmpty());
        // On, but the state file changed since the request was made: dropped.
        queue.setBackgroundProcessing(true);
        writeRating(url, 1);
        queue.enqueue(url, sourceOf(c), 1, "/dev/null", Size { Export::DepthOnly, -1, {} }, 1);
        runQueue(queue, writer);
        QVERIFY(writer.currentUrl().isEmpty());
        // On and unchanged: the picture is opened for its render.
        const int size = int(QFileInfo(stateFilePathFor(url)).size());
        queue.enqueue(url, sourceOf(c), 1, "/dev/null", Size { Export::DepthOnly, size, {} }, 1);
        runQueue(queue, writer);
        QCOMPARE(writer.currentUrl(), url);
        QVERIFY(writer.ratingDirty());
        writer.closeImage();
    }

    // A picture whose state cannot be saved when the queue moves on stays open with its
    // changes: the request in hand fails and says why, and the changes reach the file once
    // it can be written (a file size limit fails the write, for root too).
    void failedSaveKeepsTheChanges()
    {
        const QString d = PictureFiles::write(m_dir.path(), "d.vrx", PictureFiles::small(24));
        const QUrl url = QUrl::fromLocalFile(d);
        ImageViewer writer;
        openIn(writer, d);
        writer.setRendererProperty0(2.5);
        QVERIFY(writer.serializeCurrentState(false));
        const qint64 saved = QFileInfo(stateFilePathFor(url)).size();
        QVERIFY(saved > 1024);
        writer.setRendererProperty0(7.0);
        QVERIFY(writer.contentDirty());

        ExportQueue queue;
        QSignalSpy failures(&queue, &ExportQueue::notifyExportFailed);
        queue.enqueue(QUrl::fromLocalFile(m_b), sourceOf(m_b), 1, QProcess::nullDevice(),
            Size { Export::Literal, 0, QSize(32, 24) }, 0);
        {
            const ostra::test::FileSizeLimit limit(rlim_t(saved / 2));
            runQueue(queue, writer);
        }
        QCOMPARE(failures.count(), 1);
        QCOMPARE(failures.at(0).at(0).toString(), QProcess::nullDevice());
        const QString reason = failures.at(0).at(1).toString();
        QVERIFY2(reason.startsWith("Can't serialize") && reason.contains(d), qPrintable(reason));
        QCOMPARE(writer.currentUrl(), url);
        QVERIFY(writer.contentDirty());

        QVERIFY(writer.serializeCurrentState(false));
        writer.closeImage();
        ImageViewer reader;
        openIn(reader, d);
        QCOMPARE(reader.propertyValue0(), 7.0f);
        reader.closeImage();
    }

    // Two pictures exported with equal settings give two different files; the same picture
    // again with nothing edited is served by a copy; an edit in between forces a render.
    void equalSettingsNeverMixPictures()
    {
        ExportQueue queue;
        QHash<QString, QList<int>> progress;
        connect(
            &queue, &ExportQueue::notifyPartialProgress, this,
            [&](int p, const QString& path) { progress[QFileInfo(path).fileName()] << p; },
            Qt::DirectConnection);
        const auto size = Size { Export::MinDimP, 120, {} };
        const QUrl a = QUrl::fromLocalFile(m_a);
        const QUrl b = QUrl::fromLocalFile(m_b);
        queue.enqueue(a, sourceOf(m_a), 0, out("m-a.jpg"), size, 0);
        queue.enqueue(a, sourceOf(m_a), 0, out("m-a-copy.jpg"), size, 0);
        queue.enqueue(b, sourceOf(m_b), 0, out("m-b.jpg"), size, 0);
        ImageViewer writer;
        runQueue(queue, writer);
        const QByteArray fa = fileBytes(out("m-a.jpg"));
        const QByteArray fb = fileBytes(out("m-b.jpg"));
        QVERIFY(!fa.isEmpty() && !fb.isEmpty());
        QVERIFY(fa != fb);
        QVERIFY(!uniqueIdOf(out("m-a.jpg")).isEmpty());
        QVERIFY(uniqueIdOf(out("m-a.jpg")) != uniqueIdOf(out("m-b.jpg")));
        // "m-a.jpg" sorts after "m-a-copy.jpg", so it was rendered and the other copied.
        QCOMPARE(fileBytes(out("m-a-copy.jpg")), fa);
        QCOMPARE(progress.value("m-a-copy.jpg"), (QList<int> { 0, 100 }));
        QVERIFY(progress.value("m-a.jpg").size() > 2);

        // An edit of the picture between two requests: the second is rendered again.
        progress.clear();
        bool edited = false;
        connect(
            &queue, &ExportQueue::notifyPartialProgress, this,
            [&](int p, const QString& path) {
                if (p == 100 && path == out("e-2.jpg") && !edited) {
                    writeRating(a, 5);
                    edited = true;
                }
            },
            Qt::DirectConnection);
        queue.enqueue(a, sourceOf(m_a), 0, out("e-2.jpg"), size, 0);
        queue.enqueue(a, sourceOf(m_a), 0, out("e-1.jpg"), size, 0);
        ImageViewer second;
        runQueue(queue, second);
        QVERIFY(edited);
        QVERIFY(progress.value("e-1.jpg").size() > 2);
    }

    // An abort made while the worker opens the picture of its request (before the engine
    // starts writing it, so that the renderer has no write to abort yet) still cancels that
    // export: no file is written, and the export is reported as not written.
    void abortBeforeTheWriteCancelsIt()
    {
        ExportQueue queue;
        ImageViewer writer;
        QSemaphore reached, proceed;
        queue.setSaveWait([&](const QUrl&) {
            reached.release();
            proceed.acquire();
        });
        QStringList failed;
        QList<bool> cancelled;
        connect(&queue, &ExportQueue::notifyExportFailed, this,
            [&](const QString& path, const QString&, bool byAbort) {
                failed << path;
                cancelled << byAbort;
            });
        const QString path = out("cancelled-early.jpg");
        QVERIFY(queue.enqueue(QUrl::fromLocalFile(m_a), sourceOf(m_a), 0, path,
            Size { Export::Literal, 0, QSize(320, 240) }, 0));
        writer.setFilePerm(&m_perm);
        queue.setWriter(&writer);
        QFuture<void> done = QtConcurrent::run([&] { queue.run(writer); });
        QVERIFY(QTest::qWaitFor([&] { return reached.tryAcquire(); }, 60000));
        queue.abort();
        proceed.release();
        QVERIFY(QTest::qWaitFor([&] { return done.isFinished(); }, 300000));
        QCoreApplication::processEvents();
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(failed, QStringList { path });
        // Told as stopped, not as a fault of the picture or the disk.
        QCOMPARE(cancelled, QList<bool> { true });
        QVERIFY(queue.isIdle());
    }

    // Aborts at any moment of a running queue (while it opens pictures, replaces its renderer,
    // writes, between requests), once or twice, run after run: the worker ends, nothing stays
    // queued, and each export's name holds a whole file or nothing: no cut-off output and no
    // hidden part file is left.
    void abortsAnywhereLeaveWholeFilesOrNothing()
    {
        const QString folder = out("aborts");
        QVERIFY(QDir().mkpath(folder));
        const QUrl urls[] = { QUrl::fromLocalFile(m_a), QUrl::fromLocalFile(m_b) };
        const QString files[] = { m_a, m_b };
        int cut = 0, whole = 0;
        for (int run = 0; run < 12; ++run) {
            ExportQueue queue;
            ImageViewer writer;
            writer.setFilePerm(&m_perm);
            int reports = 0;
            connect(
                &queue, &ExportQueue::notifyPartialProgress, this, [&](int, const QString&) { ++reports; });
            QStringList paths;
            for (int i = 0; i < 4; ++i) {
                // Pictures in turn (the writer opens another one each time), JPEG and PPM.
                const int format = (run + i) % 2 == 0 ? 0 : 1;
                const QString path = QDir(folder).filePath(
                    QStringLiteral("r%1-%2.%3").arg(run).arg(i).arg(format ? "ppm" : "jpg"));
                paths << path;
                queue.enqueue(urls[(run + i) % 2], sourceOf(files[(run + i) % 2]), format, path,
                    Size { Export::Literal, 0, QSize(480 + 16 * i, 360 + 12 * i) }, 0);
            }
            queue.setWriter(&writer);
            QFuture<void> done = QtConcurrent::run([&] { queue.run(writer); });
            // After a few reports, or none at all; a second abort for some runs.
            const int after = run % 4 == 0 ? 0 : 3 * run;
            QVERIFY(QTest::qWaitFor([&] { return reports >= after || done.isFinished(); }, 60000));
            queue.abort();
            if (run % 3 == 1) {
                QTest::qWait(run);
                queue.abort();
            }
            QVERIFY(QTest::qWaitFor([&] { return done.isFinished(); }, 300000));
            QCoreApplication::processEvents();
            QCOMPARE(queue.pendingCount(), 0);
            QVERIFY(queue.isIdle());
            for (int i = 0; i < paths.size(); ++i) {
                const QString& path = paths[i];
                if (!QFileInfo::exists(path)) {
                    ++cut;
                    continue;
                }
                ++whole;
                const QByteArray bytes = fileBytes(path);
                if (path.endsWith(".ppm")) {
                    const QSize size(480 + 16 * i, 360 + 12 * i);
                    QCOMPARE(storedSize(path), size);
                    QCOMPARE(qint64(bytes.size()),
                        qint64(bytes.indexOf("255\n") + 4) + qint64(size.width()) * size.height() * 3);
                } else {
                    QVERIFY(bytes.startsWith("\xFF\xD8"));
                    QVERIFY2(bytes.endsWith("\xFF\xD9"), qPrintable(path));
                }
            }
            const QStringList parts
                = QDir(folder).entryList({ QStringLiteral(".*.part") }, QDir::Files | QDir::Hidden);
            QVERIFY2(parts.isEmpty(), qPrintable(parts.join(' ')));
        }
        // The aborts cut some exports short, and some ran whole before them.
        QVERIFY(cut > 0);
        QVERIFY(whole > 0);
    }

    // A copy of an export over a file of the same name, cut off by a kill, leaves that file
    // whole and nothing in sight beside it, touches no other file, and the next export into
    // the folder clears the rest.
    void copyCutOffByAKill()
    {
        QTemporaryDir dir;
        // The greater path is written first; the other is its copy.
        const QString first = dir.filePath(QStringLiteral("z-first.ppm"));
        const QString second = dir.filePath(QStringLiteral("a-second.ppm"));
        const QByteArray old = QByteArray("P6\n1 1\n255\n") + QByteArray(3, 'o');
        QVERIFY(ostra::test::writeTreeFile(second, old));
        // A file of the user's whose name only looks like a leftover of the copy.
        const QString mine = second + QStringLiteral(".transfer");
        QVERIFY(ostra::test::writeTreeFile(mine, "mine"));
        QProcess child;
        child.start(ostra::test::binaryDir() + QStringLiteral("/tests/engine/engine_statewriter"),
            { QStringLiteral("crash-copy"), m_a, first, second });
        QVERIFY(child.waitForFinished(120000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QVERIFY(QFileInfo(first).size() > 1000);
        QCOMPARE(fileBytes(second), old);
        QCOMPARE(fileBytes(mine), QByteArray("mine"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files),
            (QStringList { "a-second.ppm", "a-second.ppm.transfer", "z-first.ppm" }));

        ExportRequest r;
        r.location = QUrl::fromLocalFile(m_a);
        r.format = 1;
        r.sizeMode = 1;
        r.size = QSize(64, 48);
        r.path = dir.filePath(QStringLiteral("next.ppm"));
        ImageViewer viewer;
        openIn(viewer, m_a);
        QVERIFY(exportImage(viewer, r, {}));
        viewer.closeImage();
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
            (QStringList { "a-second.ppm", "a-second.ppm.transfer", "next.ppm", "z-first.ppm" }));
    }

    // Requests arrive while the worker runs and while it ends: every one is written, by
    // this run or by the run that the next idle answer starts.
    void noRequestIsStranded()
    {
        ExportQueue queue;
        QList<std::shared_ptr<ImageViewer>> writers;
        QList<QFuture<void>> runs;
        QSet<QString> done;
        connect(&queue, &ExportQueue::notifyPartialProgress, this, [&](int p, const QString& path) {
            if (p == 100)
                done.insert(path);
        });
        const QUrl urls[] = { QUrl::fromLocalFile(m_a), QUrl::fromLocalFile(m_b) };
        const QString files[] = { m_a, m_b };
        const int count = 24;
        for (int i = 0; i < count; ++i) {
            const QString path = out(QStringLiteral("race-%1.ppm").arg(i));
            if (queue.enqueue(urls[i % 2], sourceOf(files[i % 2]), 1, path,
                    Size { Export::Literal, 0, QSize(32 + i, 24) }, 0)) {
                auto writer = std::make_shared<ImageViewer>();
                writer->setFilePerm(&m_perm);
                writers << writer;
                queue.setWriter(writer.get());
                runs << QtConcurrent::run([&queue, writer] { queue.run(*writer); });
            }
            if (i % 5 == 4)
                QTest::qWait(i * 3);
        }
        QVERIFY(QTest::qWaitFor(
            [&] {
                return std::all_of(runs.begin(), runs.end(), [](const auto& r) { return r.isFinished(); });
            },
            300000));
        QCoreApplication::processEvents();
        QCOMPARE(queue.pendingCount(), 0);
        QVERIFY(queue.isIdle());
        QCOMPARE(done.size(), count);
        for (int i = 0; i < count; ++i)
            QCOMPARE(storedSize(out(QStringLiteral("race-%1.ppm").arg(i))), QSize(32 + i, 24));
    }
};

OSTRA_TEST_MAIN_CORE(TestExportQueue)
#include "tst_exportqueue.moc"
