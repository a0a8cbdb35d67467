#include "support/testmain.h"

#include "ciapi/state/statecodec.h"
#include "ciapi/vrx/focalsize.h"
#include "engine/imagelocator.h"
#include "engine/statefile.h"
#include "library/activesession.h"
#include "library/session.h"
#include "support/picturefiles.h"
#include "support/taskprobe.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QMatrix>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cstdio>

#include "tools/vrxgen/generator.h"

namespace {

// A small picture of one frame, its camera named after its seed.
vrxgen::PictureOptions shot(std::uint32_t seed, std::int64_t captureTime = 1600000000)
{
    vrxgen::PictureOptions o = ostra::test::PictureFiles::small(seed);
    o.cameraSeed = seed + 100;
    o.captureTime = captureTime;
    return o;
}

vrxgen::Picture writePicture(const QString& path, const vrxgen::PictureOptions& o)
{
    vrxgen::Picture p = vrxgen::makePicture(o);
    if (!vrxgen::writeFile(QFile::encodeName(path).toStdString(), p.vrx))
        qFatal("cannot write %s", qPrintable(path));
    return p;
}

// A state file beside a picture: its rating, whether it holds depth edits, and an
// optional transform with a crop.
void writeState(const QString& rawPath, const vrxgen::Picture& picture, int rating, bool depthEdits,
    const CIAPI::Transform* transform = nullptr)
{
    CIAPI::state::EngineState s;
    s.imageId = picture.meta.imageUuid;
    s.rating = rating;
    if (depthEdits)
        s.depthEdits = std::vector<std::uint8_t> { 1, 2, 3, 4 };
    if (transform)
        s.transform = *transform;
    const std::vector<std::uint8_t> bytes = CIAPI::state::StateCodec::write(s);
    // Put in place at once, so a reader sees the old state or the new one.
    const QString statePath = StateFile::pathFor(QUrl::fromLocalFile(rawPath));
    const QString temp = statePath + ".new";
    if (!vrxgen::writeFile(QFile::encodeName(temp).toStdString(), bytes)
        || std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(statePath).constData()) != 0)
        qFatal("cannot write %s", qPrintable(statePath));
}

QByteArray uuidBytes(const std::string& text)
{
    return QUuid(QString::fromStdString(text)).toRfc4122();
}

// Waits until the locator holds a row for the URL (without asking for it again).
bool waitForRow(ImageLocator& locator, const QUrl& url)
{
    return QTest::qWaitFor([&] { return !locator.indexedValues(url).isEmpty(); }, 20000);
}

// Waits until the locator has finished indexing the URL once more (a valid result is
// announced whether or not the row changed).
bool waitForIndexing(ImageLocator& locator, const QUrl& url)
{
    QSignalSpy spy(&locator, &ImageLocator::notifyFileIndexedSignal);
    locator.requestMetadata(url);
    return QTest::qWaitFor(
        [&] {
            return std::any_of(spy.begin(), spy.end(), [&](const QList<QVariant>& args) {
                return ImageLocator::fileKey(args.at(0).value<VrxMetadata>().location) == url;
            });
        },
        20000);
}

} // namespace

class TestImageLocatorResolver : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;

    QString path(const QString& name) const { return m_dir.path() + "/" + name; }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<VrxMetadata>("VrxMetadata");
        QVERIFY(m_dir.isValid());
    }

    // Every value of a row against what the generator wrote into the file.
    void rowsOfGeneratedFiles()
    {
        ImageLocator locator(2, nullptr);

        vrxgen::PictureOptions turned = shot(12, 1700000000);
        turned.orientation = 1;
        turned.frames = 2;
        turned.focalLength = 35;
        turned.utcOffsetMinutes = -300;
        const QString turnedPath = path("turned.vrx");
        const vrxgen::Picture turnedPicture = writePicture(turnedPath, turned);
        writeState(turnedPath, turnedPicture, 4, true);

        const QUrl turnedUrl = QUrl::fromLocalFile(turnedPath);
        QVERIFY(locator.rowFor(turnedUrl).isEmpty());
        QVERIFY(waitForRow(locator, turnedUrl));
        // Bytes that are no picture get an invalid row that says why and still names the
        // file, with its size.
        const QString garbage = path("garbage.vrx");
        QVERIFY(vrxgen::writeFile(
            QFile::encodeName(garbage).toStdString(), std::vector<std::uint8_t>(3000, 'x')));
        const QUrl garbageUrl = QUrl::fromLocalFile(garbage);
        locator.rowFor(garbageUrl);
        QVERIFY(waitForRow(locator, garbageUrl));
        const QMap<int, QVariant> bad = locator.rowFor(garbageUrl);
        QVERIFY(bad.value(IResolver::Invalid).toBool());
        QVERIFY(!bad.value(IResolver::Problem).toString().isEmpty());
        QCOMPARE(bad.value(IResolver::Name).toString(), QStringLiteral("garbage"));
        QCOMPARE(bad.value(IResolver::FileSize).toLongLong(), 3000);

        // A quarter turn: the turned frame of a 4:3 picture is 3:4, and the matrix swaps
        // the axes.
        const QMap<int, QVariant> t = locator.rowFor(turnedUrl);
        QCOMPARE(t.value(IResolver::Timestamp).toString(), QStringLiteral("2023-11-14T17:13:20.000-05:00"));
        QCOMPARE(t.value(IResolver::Rating).toInt(), 4);
        QCOMPARE(t.value(IResolver::Edited).toBool(), true);
        QCOMPARE(t.value(IResolver::FrameCount).toInt(), 2);
        const QMatrix m = t.value(IResolver::Matrix).value<QMatrix>();
        QVERIFY(m.m11() == 0 && m.m22() == 0 && qAbs(m.m12()) == 1 && qAbs(m.m21()) == 1);
        const QRectF crop = t.value(IResolver::Crop).toRectF();
        QVERIFY(qAbs(crop.width() - 0.75) < 1e-6);
        QVERIFY(qAbs(crop.height() - 4.0 / 3.0) < 1e-6);
        const double w = t.value(IResolver::AspectWidth).toDouble();
        const double h = t.value(IResolver::AspectHeight).toDouble();
        QVERIFY(qAbs(w / h - 0.75) < 1e-4);
    }

    // The first result only resolves; an identical re-read says nothing; a change is
    // announced by `modified` while the old row still answers, then `resolved`.
    void changesAreAnnouncedInOrder()
    {
        ImageLocator locator(2, nullptr);
        ostra::test::TaskProbe tasks(locator);
        const QString file = path("rated.vrx");
        const vrxgen::Picture picture = writePicture(file, shot(31));
        writeState(file, picture, 3, false);
        const QUrl url = QUrl::fromLocalFile(file);

        QStringList events;
        const auto record = [&](const QString& what) {
            return [&, what](QUrl u) {
                events << what + " " + u.fileName() + " "
                        + QString::number(locator.rowFor(u).value(IResolver::Rating).toInt());
            };
        };
        connect(&locator, &IResolver::modified, this, record("modified"), Qt::DirectConnection);
        connect(&locator, &IResolver::resolved, this, record("resolved"), Qt::DirectConnection);

        locator.rowFor(url);
        QVERIFY(waitForRow(locator, url));
        QVERIFY(tasks.settle());
        QCOMPARE(events, QStringList { QStringLiteral("resolved rated.vrx 3") });

        events.clear();
        QVERIFY(waitForIndexing(locator, url));
        QVERIFY(tasks.settle());
        QCOMPARE(events, QStringList());

        writeState(file, picture, 5, false);
        QVERIFY(waitForIndexing(locator, url));
        QVERIFY(tasks.settle());
        QCOMPARE(events,
            (QStringList { QStringLiteral("modified rated.vrx 3"), QStringLiteral("resolved rated.vrx 5") }));
    }

    // A file reached through a linked folder is known by the path it was asked for.
    void linkedFolderKeepsTheRequestedUrl()
    {
        const QString real = path("real");
        const QString link = path("link");
        QVERIFY(QDir().mkpath(real));
        QVERIFY(QFile::link(real, link));
        const vrxgen::Picture picture = writePicture(real + "/inside.vrx", shot(51));

        ImageLocator locator(2, nullptr);
        QSignalSpy resolved(&locator, &IResolver::resolved);
        const QUrl viaLink = QUrl::fromLocalFile(link + "/inside.vrx");
        locator.rowFor(viaLink);
        QVERIFY(waitForRow(locator, viaLink));
        QCOMPARE(resolved.count(), 1);
        QCOMPARE(resolved.at(0).at(0).toUrl(), viaLink);
        const QMap<int, QVariant> row = locator.rowFor(viaLink);
        QCOMPARE(row.value(IResolver::Location).toString(), viaLink.toString());
        QCOMPARE(row.value(IResolver::ImageUUID).toByteArray(),
            uuidBytes(vrxgen::imageUuidText(picture.meta.imageUuid)));

        // A path with "." and ".." parts names the same key.
        const QUrl unclean = QUrl::fromLocalFile(link + "/./../link/inside.vrx");
        QCOMPARE(locator.rowFor(unclean), row);
        // The real path is another key, indexed on its own.
        QVERIFY(locator.rowFor(QUrl::fromLocalFile(real + "/inside.vrx")).isEmpty());
    }

    // The whole road: a folder offered to a session, the gallery filling with rows whose
    // values are the image service's, and staying right through a change that moves a row.
    void sessionGalleryFillsFromTheService()
    {
        const QString folder = path("library");
        QVERIFY(QDir().mkpath(folder + "/sub"));
        const QStringList names { "IMG[1].vrx", "a#b.vrx", "50%.vrx", "with space.vrx", "\u00fcber.vrx",
            "sub/deeper.vrx" };
        QList<QUrl> urls;
        QList<vrxgen::Picture> pictures;
        for (int i = 0; i < names.size(); ++i) {
            // A day apart, in an order that differs from the names' order.
            const QString file = folder + "/" + names.at(i);
            pictures.append(writePicture(file,
                shot(std::uint32_t(60 + i), 1600000000 + std::int64_t((i * 5) % names.size()) * 86400)));
            urls.append(QUrl::fromLocalFile(file));
        }
        writeState(urls.at(2).toLocalFile(), pictures.at(2), 1, false);
        // Not a picture: left out by the session.
        QFile other(folder + "/notes.txt");
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.close();

        ImageLocator locator(2, nullptr);
        ostra::test::TaskProbe tasks(locator);
        Session session;
        session.setResolver(&locator);
        ActiveSession gallery;
        QAbstractItemModelTester tester(&gallery, QAbstractItemModelTester::FailureReportingMode::QtTest);
        gallery.setResolver(&locator);
        gallery.setSortField(QStringLiteral("timestamp"));
        gallery.setSource(&session);
        session.offer(QUrl::fromLocalFile(folder), true);

        QTRY_COMPARE_WITH_TIMEOUT(gallery.rowCount(), names.size(), 20000);
        QSet<QUrl> listed;
        QString previous;
        for (int row = 0; row < gallery.rowCount(); ++row) {
            const QModelIndex index = gallery.index(row, 0);
            const QUrl url = gallery.urlAt(index);
            listed.insert(url);
            QCOMPARE(gallery.itemData(index), locator.rowFor(url));
            QCOMPARE(gallery.data(index, IResolver::Location).toString(), url.toString());
            const QString stamp = gallery.data(index, IResolver::Timestamp).toString();
            QVERIFY2(previous < stamp, qPrintable(previous + " / " + stamp));
            previous = stamp;
        }
        QCOMPARE(listed, QSet<QUrl>(urls.begin(), urls.end()));
        QCOMPARE(gallery.roleNames().value(IResolver::Location), QByteArray("filePath"));

        // Rated highest now: under "rating" the file moves to the end, listed once.
        gallery.setSortField(QStringLiteral("rating"));
        QCOMPARE(gallery.urlAt(gallery.rowCount() - 1), urls.at(2));
        QVERIFY(tasks.settle());
        writeState(urls.at(0).toLocalFile(), pictures.at(0), 5, false);
        QVERIFY(waitForIndexing(locator, urls.at(0)));
        QVERIFY(tasks.settle());
        QCOMPARE(gallery.rowCount(), names.size());
        QCOMPARE(gallery.urlAt(gallery.rowCount() - 1), urls.at(0));
        QCOMPARE(gallery.urlAt(gallery.rowCount() - 2), urls.at(2));
        QCOMPARE(gallery.list().count(urls.at(0)), 1);

        // A file removed from the folder leaves the gallery.
        QVERIFY(QFile::remove(urls.at(1).toLocalFile()));
        QTRY_COMPARE_WITH_TIMEOUT(gallery.rowCount(), names.size() - 1, 20000);
        QVERIFY(!gallery.isListed(urls.at(1)));
    }
};

OSTRA_TEST_MAIN_CORE(TestImageLocatorResolver)
#include "tst_imagelocatorresolver.moc"
