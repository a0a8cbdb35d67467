#include "support/testmain.h"

#include "display/imageitem.h"
#include "engine/imagelocator.h"
#include "engine/sentinels.h"
#include "engine/statefile.h"
#include "engine/vrxmessage.h"

#include <QFile>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

#include "support/picturefiles.h"
#include "support/pixelchecks.h"
#include "support/taskprobe.h"
#include "tools/vrxgen/generator.h"

namespace {

constexpr QRgb kBackground = 0xffffffff;
// The colour saved as the thumbnail of the state file.
const QColor kThumbColour(200, 40, 60);

using displaytest::describe;
using displaytest::near;

// Another listener of the same file, to see what the service sent.
class Listener : public QObject, public ImageClient
{
public:
    QObject* object() override { return this; }
    void imageOutput(const VrxMessage& message) override { outputs.push_back(message); }
    void fileInvalid(QUrl) override { }
    void routerDetached(ImageRouter*) override { }
    std::vector<VrxMessage> outputs;
};

// A white window with one image item in it.
struct Scene
{
    explicit Scene(QSize size, QRectF itemRect = QRectF())
    {
        window.resize(size);
        window.setColor(Qt::white);
        item = new ImageItem(window.contentItem());
        const QRectF r = itemRect.isNull() ? QRectF(QPointF(0, 0), QSizeF(size)) : itemRect;
        item->setPosition(r.topLeft());
        item->setSize(r.size());
    }
    // Shows the item drawing on screen what the locator gives for the location.
    bool show(ImageLocator& locator, const QString& location)
    {
        item->setOffscreen(false);
        item->setLocator(&locator);
        item->setLocation(location);
        window.show();
        return QTest::qWaitForWindowExposed(&window);
    }
    QRgb pixel(int x, int y)
    {
        const QImage frame = window.grabWindow();
        return frame.pixel(QPoint(x, y) * frame.devicePixelRatio());
    }
    QQuickWindow window;
    ImageItem* item;
};

} // namespace

class TestImageItem : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_thumbed; // a picture whose state holds a flat thumbnail
    QString m_plain; // a picture without state: the service renders it

    QString path(const QString& name) const { return m_dir.path() + "/" + name; }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<VrxMetadata>("VrxMetadata");
        qRegisterMetaType<VrxMessage>("VrxMessage");
        QVERIFY(m_dir.isValid());
        const vrxgen::Picture thumbed = vrxgen::makePicture(ostra::test::PictureFiles::small(7));
        m_thumbed = ostra::test::PictureFiles::write(m_dir.path(), "thumbed shot.vrx", thumbed);
        QVERIFY(displaytest::writeFlatThumbnail(m_thumbed, thumbed.meta.imageUuid, 64, 48, kThumbColour, 2));
        m_plain = ostra::test::PictureFiles::write(
            m_dir.path(), "plain.vrx", ostra::test::PictureFiles::small(8));
        QVERIFY(!m_plain.isEmpty());
    }

    // The pulsing placeholder while the service works, then the picture's own colour.
    void placeholderThenThumbnail()
    {
        ImageLocator locator(2, nullptr);
        ostra::test::TaskProbe gate(locator);
        gate.closed = true;
        Scene scene(QSize(200, 150), QRectF(20, 15, 160, 120));
        QVERIFY(scene.show(locator, QUrl::fromLocalFile(m_thumbed).toString()));
        QTRY_COMPARE(gate.started.load(), 1);
        QVERIFY(scene.item->loading());
        QVERIFY(!scene.item->valid());

        const QRgb waiting = scene.pixel(100, 75);
        QVERIFY2(
            qRed(waiting) == qGreen(waiting) && qGreen(waiting) == qBlue(waiting) && qRed(waiting) <= 100,
            qPrintable(describe(waiting)));
        QCOMPARE(scene.pixel(5, 5), kBackground);

        gate.open();
        QTRY_VERIFY_WITH_TIMEOUT(scene.item->valid(), 20000);
        QVERIFY(!scene.item->loading());
        // Red and blue in their places: the service's pixel order and the textures' agree.
        for (const QPoint& p : { QPoint(100, 75), QPoint(24, 19), QPoint(176, 131) }) {
            const QRgb got = scene.pixel(p.x(), p.y());
            QVERIFY2(near(got, kThumbColour), qPrintable(describe(got)));
        }
        QCOMPARE(scene.pixel(5, 5), kBackground);
        QCOMPARE(scene.pixel(195, 145), kBackground);
    }

    void unreadableFileShowsDarkGrey()
    {
        const QString garbage = path("garbage.vrx");
        QVERIFY(vrxgen::writeFile(
            QFile::encodeName(garbage).toStdString(), std::vector<std::uint8_t>(5000, 0x5a)));

        ImageLocator locator(2, nullptr);
        Scene scene(QSize(100, 80));
        QVERIFY(scene.show(locator, QUrl::fromLocalFile(garbage).toString()));
        QTRY_VERIFY_WITH_TIMEOUT(scene.item->pyramid() == invalidPyramid(), 20000);
        QVERIFY(scene.item->loading());
        QVERIFY(!scene.item->valid());
        QVERIFY2(near(scene.pixel(50, 40), QColor(40, 40, 40), 0), qPrintable(describe(scene.pixel(50, 40))));
    }

    // Off the screen an item holds no pixels, so the service may drop the picture to stay
    // within its budget; back on the screen the kept picture is shown at once, and a dropped
    // one is read again.
    void offscreenItemsHoldNoPixels()
    {
        ImageLocator locator(2, nullptr);
        const QUrl url = QUrl::fromLocalFile(m_plain);
        auto item = std::make_unique<ImageItem>();
        item->setLocator(&locator);
        item->setLocation(url.toString());
        const std::shared_ptr<ImageKeeper> keeper = locator.keeperFor(url);
        QTRY_VERIFY_WITH_TIMEOUT(keeper->hasOutput(), 20000);
        QVERIFY(!item->valid()); // created off the screen: nothing taken
        QVERIFY(!item->showsOutput());

        item->setOffscreen(false);
        QVERIFY(item->valid());
        QVERIFY(item->showsOutput());
        QCOMPARE(item->pyramid(), keeper->kept().pyramid);

        item->setOffscreen(true);
        QVERIFY(!item->valid());
        QCOMPARE(item->pyramid(), loadingPyramid());
        locator.setThumbnailBudgetBytes(1); // nothing shows it: it goes
        QVERIFY(!keeper->hasOutput());

        item->setOffscreen(false);
        QTRY_VERIFY_WITH_TIMEOUT(item->valid(), 20000);
        QVERIFY(keeper->hasOutput()); // shown, so kept beyond the budget
    }

    // A file found unreadable (still being written) is complete and read again while its
    // item is off the screen: back on the screen the item shows the picture.
    void fileReadableWhileOffscreenIsShownWhenBack()
    {
        const QString file = path("landing.vrx");
        QVERIFY(
            vrxgen::writeFile(QFile::encodeName(file).toStdString(), std::vector<std::uint8_t>(4000, 0x5a)));
        const QUrl url = QUrl::fromLocalFile(file);
        ImageLocator locator(2, nullptr);
        auto item = std::make_unique<ImageItem>();
        item->setOffscreen(false);
        item->setLocator(&locator);
        item->setLocation(url.toString());
        QTRY_VERIFY_WITH_TIMEOUT(item->pyramid() == invalidPyramid(), 20000);

        item->setOffscreen(true);
        QVERIFY(
            ostra::test::PictureFiles::write(m_dir.path(), "landing.vrx", ostra::test::PictureFiles::small(9))
            == file);
        const std::shared_ptr<ImageKeeper> keeper = locator.keeperFor(url);
        QVERIFY(QMetaObject::invokeMethod(&locator, "onFileContentsUpdated", Q_ARG(QUrl, url)));
        // Whether background work renders the picture meanwhile or not, off the screen the
        // item takes nothing, and back on the screen it shows the picture.
        QTRY_VERIFY_WITH_TIMEOUT(locator.rowFor(url).value(IResolver::Invalid).isValid()
                && !locator.rowFor(url).value(IResolver::Invalid).toBool(),
            20000);
        QVERIFY(!item->valid());

        item->setOffscreen(false);
        QTRY_VERIFY_WITH_TIMEOUT(item->valid(), 20000);
        QCOMPARE(item->pyramid(), keeper->kept().pyramid);
    }

    // Leaving a file, whichever way, stops its output from reaching the item.
    void leavingALocationReleasesIt_data()
    {
        QTest::addColumn<QString>("next");
        QTest::newRow("invalid url") << QStringLiteral("http://[not an address");
        QTest::newRow("empty") << QString();
        QTest::newRow("another file") << QUrl::fromLocalFile(m_thumbed).toString();
    }
    void leavingALocationReleasesIt()
    {
        QFETCH(QString, next);
        ImageLocator locator(2, nullptr);
        const QUrl url = QUrl::fromLocalFile(m_plain);
        auto item = std::make_unique<ImageItem>();
        item->setOffscreen(false);
        item->setLocator(&locator);
        item->setLocation(url.toString());
        QTRY_VERIFY_WITH_TIMEOUT(item->valid(), 20000);
        const std::shared_ptr<ImageKeeper> keeper = locator.keeperFor(url);
        QVERIFY(keeper->hasListener(item.get()));

        item->setLocation(next);
        QVERIFY(!keeper->hasListener(item.get()));
        const CIAPI::ImagePyramid shown = item->pyramid();
        if (!QUrl(next).isValid()) {
            QCOMPARE(item->location(), QString());
            QCOMPARE(shown, emptyPyramid());
            QVERIFY(item->loading());
        }

        // The old file is read again: its new output reaches its listeners, not the item.
        Listener listener;
        keeper->addListener(&listener);
        keeper->clearPyramid();
        locator.requestMetadata(url);
        QTRY_VERIFY_WITH_TIMEOUT(!listener.outputs.empty(), 20000);
        QCoreApplication::processEvents();
        if (!QUrl(next).isValid())
            QCOMPARE(item->pyramid(), emptyPyramid());
        QVERIFY(item->pyramid() != listener.outputs.back().pyramid);

        item.reset();
        QCOMPARE(keeper->listenerCount(), 1);
        keeper->removeListener(&listener);
    }

    // The service drops its kept outputs when the pixel order changes: the item asks
    // again and still shows the right colours.
    void pixelOrderChangeRefreshesTheItem()
    {
        ImageLocator locator(2, nullptr);
        Scene scene(QSize(80, 60));
        QVERIFY(scene.show(locator, QUrl::fromLocalFile(m_thumbed).toString()));
        QTRY_VERIFY_WITH_TIMEOUT(scene.item->valid(), 20000);
        const CIAPI::ImagePyramid before = scene.item->pyramid();
        QVERIFY(near(scene.pixel(40, 30), kThumbColour));

        locator.setChannelOrder(ImageLocator::kGlRgba);
        QTRY_VERIFY_WITH_TIMEOUT(scene.item->valid() && scene.item->pyramid() != before, 20000);
        QVERIFY2(near(scene.pixel(40, 30), kThumbColour), qPrintable(describe(scene.pixel(40, 30))));
    }
};

OSTRA_TEST_MAIN(TestImageItem)
#include "tst_imageitem.moc"
