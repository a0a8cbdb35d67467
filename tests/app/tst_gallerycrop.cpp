#include "support/testmain.h"

#include "app/typeregistration.h"
#include "ciapi/state/statecodec.h"
#include "display/geometryedits.h"
#include "display/imageedititem.h"
#include "display/imageitem.h"
#include "engine/exportrequest.h"
#include "engine/imageeditor.h"
#include "engine/imagelocator.h"
#include "engine/imagenumberproperty.h"
#include "engine/imageproperties.h"
#include "engine/statefile.h"
#include "engine/transformhelpers.h"
#include "support/picturefiles.h"
#include "support/screenlikeness.h"
#include "support/testenvironment.h"

#include <QFile>
#include <QMatrix>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <cmath>

using ostra::test::likeness;
using ostra::test::pictureBox;
using ostra::test::PictureFiles;

namespace {

const QRgb kBlue = qRgb(0, 0, 255);

// Mean red, green and blue of an image.
QVector3D meanColour(const QImage& image)
{
    double r = 0, g = 0, b = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            r += qRed(p), g += qGreen(p), b += qBlue(p);
        }
    const double n = double(image.width()) * image.height();
    return QVector3D(float(r / n), float(g / n), float(b / n));
}

// Edits made on the canvas before it is compared with the exported file.
enum class CanvasEdit { None, Tone, Turned, Mirrored, Refocused };

// The largest difference of red, green or blue over two images of one size, averaged, and
// its largest value.
std::pair<double, int> difference(const QImage& a, const QImage& b)
{
    double sum = 0;
    int most = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            const int d = std::max({ std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                std::abs(qBlue(p) - qBlue(q)) });
            sum += d;
            most = std::max(most, d);
        }
    return { sum / std::max(1.0, double(a.width()) * a.height()), most };
}

} // namespace

Q_DECLARE_METATYPE(CanvasEdit)

// A gallery cell shows exactly what the canvas shows of a picture: the cropped part, turned
// and mirrored, in the same colours.
class TestGalleryCrop : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_path;

    // What the canvas shows of the picture, after `edit` (if any) was made there and saved;
    // with `exported`, the picture is also exported there (PPM, from its coarsest level).
    QImage canvasShot(const std::function<void(GeometryEdits*)>& edit, const QString& exported = QString())
    {
        ImageLocator locator(2, nullptr);
        QQuickWindow window;
        window.setColor(QColor(kBlue));
        window.resize(480, 360);
        auto* item = new ImageEditItem(window.contentItem());
        item->setSize(QSizeF(480, 360));
        item->setLocator(&locator);
        window.show();
        item->setLocation(QUrl::fromLocalFile(m_path).toString());
        if (!QTest::qWaitFor([&] { return !item->loading(); }, 60000))
            return QImage();
        if (edit) {
            edit(item->geometryEdits());
            item->flushTransformation();
        }
        if (!QTest::qWaitFor(
                [&] {
                    // The coarsest level is all a small view of a small picture needs.
                    const bool coarsest = item->currentLevel() == item->pyramid().levelCount() - 1;
                    return item->imageQuality() >= (coarsest ? ImageEditItem::Preview : ImageEditItem::Good)
                        && !item->isRefreshPending();
                },
                60000))
            return QImage();
        const QImage screen = window.grabWindow().convertToFormat(QImage::Format_RGB32);
        if (!exported.isEmpty()) {
            ExportRequest request;
            request.location = QUrl::fromLocalFile(m_path);
            request.format = 1;
            request.sizeMode = 2;
            request.sizeValue = item->pyramid().levelCount() - 1;
            request.path = exported;
            if (!exportImage(*item->viewer(), request, {}))
                return QImage();
        }
        item->setLocation(QString()); // saved on the recycle step, waited for by the locator
        return screen.copy(pictureBox(screen));
    }

    // What a gallery cell of the picture shows, from the image service's row.
    QImage cellShot()
    {
        ImageLocator locator(2, nullptr);
        const QUrl url = QUrl::fromLocalFile(m_path);
        locator.rowFor(url);
        if (!QTest::qWaitFor([&] { return !locator.rowFor(url).isEmpty(); }, 60000))
            return QImage();
        const QMap<int, QVariant> row = locator.rowFor(url);
        QQuickView view;
        view.setColor(QColor(kBlue));
        view.setSource(QUrl::fromLocalFile(ostra::test::sourceDir() + "/qml/Items/GalleryItem.qml"));
        QQuickItem* cell = view.rootObject();
        if (!cell)
            return QImage();
        cell->setSize(QSizeF(240, 180));
        view.resize(240, 180);
        cell->setProperty("locator", QVariant::fromValue<QObject*>(&locator));
        const QList<QPair<const char*, QVariant>> properties { { "imageMatrix",
                                                                   row.value(IResolver::Matrix) },
            { "imageCrop", row.value(IResolver::Crop) }, { "realWidth", row.value(IResolver::RealWidth) },
            { "realHeight", row.value(IResolver::RealHeight) }, { "location", url.toString() },
            { "offscreen", false } };
        for (const auto& [name, value] : properties)
            cell->setProperty(name, value);
        view.show();
        if (!QTest::qWaitForWindowExposed(&view)
            || !QTest::qWaitFor([&] { return cell->property("valid").toBool(); }, 60000))
            return QImage();
        QTest::qWait(50);
        const QImage screen = view.grabWindow().convertToFormat(QImage::Format_RGB32);
        return screen.copy(pictureBox(screen));
    }

    static void compare(const QImage& cell, const QImage& canvas)
    {
        QVERIFY(!cell.isNull() && !canvas.isNull());
        // Same shape (no band and nothing beyond the crop), same picture, same colours.
        const double aspects
            = double(cell.width()) * canvas.height() / (double(cell.height()) * canvas.width());
        QVERIFY2(std::fabs(aspects - 1.0) < 0.04, qPrintable(QString::number(aspects)));
        const double like = likeness(cell, canvas);
        QVERIFY2(like > 0.85, qPrintable(QString::number(like)));
        const float apart = (meanColour(cell) - meanColour(canvas)).length();
        QVERIFY2(apart < 8.f, qPrintable(QString::number(double(apart))));
    }

private slots:
    void initTestCase()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        vrxgen::PictureOptions o = PictureFiles::small(21);
        o.moduleWidth = 640;
        o.moduleHeight = 480;
        o.frames = 1;
        m_path = PictureFiles::write(m_dir.path(), "IMG_crop.vrx", o);
        QVERIFY(!m_path.isEmpty());
    }

    // An off-centre crop in each turn, mirrored or not, shows the same in the cell; before the
    // picture was ever opened, its thumbnail (made by the image service) has the canvas's
    // colours, and nothing is written for it.
    void cropTurnAndMirror_data()
    {
        QTest::addColumn<int>("quarterTurns"); // -1: never opened
        QTest::addColumn<bool>("mirrored");
        QTest::addColumn<QRectF>("crop");
        QTest::newRow("untouched") << -1 << false << QRectF();
        QTest::newRow("plain") << 0 << false << QRectF(0.4208, 0.2583, 0.1584, 0.4834);
        QTest::newRow("right") << 1 << false << QRectF(0.1, 0.3, 0.5, 0.6);
        QTest::newRow("half, mirrored") << 2 << true << QRectF(0.5, 0.05, 0.45, 0.4);
        QTest::newRow("left, mirrored") << 3 << true << QRectF(0.05, 0.5, 0.3, 0.45);
    }
    // A picture whose file or state records a 16:9 frame is rendered 4:3 like every
    // picture: its cell, its canvas, a crop preset and the exported file all keep the
    // aspect of the pixels, in every turn.
    void frameAspectAgrees_data()
    {
        QTest::addColumn<int>("aspectMode"); // of the file
        QTest::addColumn<int>("orientation"); // of the file, and of the state's frame
        QTest::addColumn<bool>("stateFrame"); // a state file with a 16:9 frame
        QTest::newRow("4:3") << 0 << 0 << false;
        QTest::newRow("16:9 file") << 1 << 0 << false;
        QTest::newRow("16:9 file, turned") << 1 << 1 << false;
        QTest::newRow("16:9 state") << 0 << 0 << true;
        QTest::newRow("16:9 state, mirrored") << 0 << 6 << true;
        QTest::newRow("16:9 state, turned") << 0 << 2 << true;
        QTest::newRow("16:9 file and state, turned mirrored") << 1 << 4 << true;
    }
    void frameAspectAgrees()
    {
        QFETCH(int, aspectMode);
        QFETCH(int, orientation);
        QFETCH(bool, stateFrame);
        vrxgen::PictureOptions o = PictureFiles::small(31);
        o.moduleWidth = 320;
        o.moduleHeight = 240;
        o.frames = 1;
        o.aspectMode = aspectMode;
        o.orientation = orientation;
        const vrxgen::Picture picture = vrxgen::makePicture(o);
        struct Keep
        {
            QString& path;
            QString kept;
            ~Keep() { path = kept; }
        } keep { m_path, m_path };
        m_path = PictureFiles::write(m_dir.path(), QStringLiteral("IMG_frame.vrx"), picture);
        QVERIFY(!m_path.isEmpty());
        const QString state = StateFile::pathFor(QUrl::fromLocalFile(m_path));
        QFile::remove(state);
        if (stateFrame) {
            CIAPI::state::EngineState s;
            s.imageId = picture.meta.imageUuid;
            s.rating = 1;
            CIAPI::Transform frame(CIAPI::Point<int> { 16, 9 });
            frame.reset(orientation);
            s.transform = frame;
            QVERIFY(vrxgen::writeFile(
                QFile::encodeName(state).toStdString(), CIAPI::state::StateCodec::write(s)));
        }
        const bool turned = orientation == 1 || orientation == 2 || orientation == 3 || orientation == 4;
        const double pixels = turned ? 3.0 / 4.0 : 4.0 / 3.0;
        const auto ratio = [](const QSizeF& s) { return s.height() > 0 ? s.width() / s.height() : 0.0; };
        const auto near
            = [](double a, double b, double tolerance) { return std::fabs(a / b - 1.0) < tolerance; };

        // The cell the gallery lays out and what it draws, against the canvas.
        {
            ImageLocator locator(2, nullptr);
            const QUrl url = QUrl::fromLocalFile(m_path);
            locator.rowFor(url);
            QVERIFY(QTest::qWaitFor([&] { return !locator.rowFor(url).isEmpty(); }, 60000));
            const QMap<int, QVariant> row = locator.rowFor(url);
            const double cell = ratio(QSizeF(
                row.value(IResolver::AspectWidth).toDouble(), row.value(IResolver::AspectHeight).toDouble()));
            QVERIFY2(near(cell, pixels, 0.01), qPrintable(QString::number(cell)));
        }
        const QImage canvas = canvasShot({});
        QVERIFY2(near(ratio(canvas.size()), pixels, 0.02), qPrintable(QString::number(ratio(canvas.size()))));
        compare(cellShot(), canvas);

        // A 16:9 preset (9:16 in a quarter turn) is that shape on the canvas and in the file.
        const QString exported = m_dir.filePath(QStringLiteral("frame.ppm"));
        QFile::remove(exported);
        const double preset = turned ? 9.0 / 16.0 : 16.0 / 9.0;
        const QImage cropped = canvasShot(
            [&](GeometryEdits* edits) {
                edits->setCropMode(turned ? GeometryEdits::Preset_9_16 : GeometryEdits::Preset_16_9);
                edits->applyCrop(false);
            },
            exported);
        QVERIFY2(
            near(ratio(cropped.size()), preset, 0.03), qPrintable(QString::number(ratio(cropped.size()))));
        const QImage file(exported);
        QVERIFY(!file.isNull());
        QVERIFY2(near(ratio(file.size()), preset, 0.03),
            qPrintable(QStringLiteral("%1 x %2").arg(file.width()).arg(file.height())));
        compare(cellShot(), cropped);
    }

    // Zoomed to one file pixel per screen pixel on the bottom right corner of the view, the
    // canvas shows exactly the pixels of the exported crop, up to its last column and row,
    // whatever was edited.
    void canvasAtOneToOneIsTheExport_data()
    {
        QTest::addColumn<CanvasEdit>("edit");
        QTest::newRow("untouched") << CanvasEdit::None;
        QTest::newRow("tone") << CanvasEdit::Tone;
        QTest::newRow("turned") << CanvasEdit::Turned;
        QTest::newRow("mirrored") << CanvasEdit::Mirrored;
        QTest::newRow("refocused") << CanvasEdit::Refocused;
    }
    void canvasAtOneToOneIsTheExport()
    {
        QFETCH(CanvasEdit, edit);
        // Level 0 is twice the module: a picture with detail down to the pixel.
        vrxgen::PictureOptions o = PictureFiles::small(5);
        o.moduleWidth = 2080;
        o.moduleHeight = 1560;
        o.focalLength = 150;
        const QString path = m_dir.filePath(QStringLiteral("IMG_fine.vrx"));
        if (!QFile::exists(path))
            QVERIFY(!PictureFiles::write(m_dir.path(), QStringLiteral("IMG_fine.vrx"), o).isEmpty());
        QFile::remove(StateFile::pathFor(QUrl::fromLocalFile(path)));

        ImageLocator locator(2, nullptr);
        QQuickWindow window;
        window.setColor(QColor(kBlue));
        window.resize(520, 520);
        auto* item = new ImageEditItem(window.contentItem());
        item->setSize(QSizeF(520, 520));
        item->setLocator(&locator);
        window.show();
        item->setLocation(QUrl::fromLocalFile(path).toString());
        QVERIFY(QTest::qWaitFor([&] { return item->hasDepthTools() && !item->loading(); }, 60000));
        GeometryEdits* edits = item->geometryEdits();
        switch (edit) {
        case CanvasEdit::Tone:
            item->properties()->tuneToneEntry("exposure")->setCurrentValue(0.6);
            item->properties()->tuneToneEntry("sharpening")->setCurrentValue(80);
            break;
        case CanvasEdit::Turned:
            edits->rotateRight();
            break;
        case CanvasEdit::Mirrored:
            edits->mirrorHorizontal();
            break;
        case CanvasEdit::Refocused:
            item->setDof(item->minDOF());
            item->setEditorMode(ImageEdit::Refocus);
            QTest::mouseClick(&window, Qt::LeftButton, {},
                item->mapToScene(item->geometry().imageToView(QPointF(0.31, 0.56))).toPoint());
            QVERIFY(item->hasReferencePoint());
            item->setEditorMode(ImageEdit::None);
            break;
        case CanvasEdit::None:
            break;
        }
        // An eighth of the view: 520 x 390 file pixels (390 x 520 turned).
        CIAPI::Transform t = edits->transform();
        setTransformCropFromView(t, QRectF(0.875, 0.875, 0.125, 0.125));
        edits->initTransform(t);
        item->flushTransformation();
        const auto settled = [&](ImageEditItem::ImageQuality quality) {
            return QTest::qWaitFor(
                [&] { return item->imageQuality() >= quality && !item->isRefreshPending(); }, 60000);
        };
        QVERIFY(settled(ImageEditItem::Good));
        item->setZoomLevel(1.0 / double(item->geometry().fitScale()));
        QVERIFY(settled(ImageEditItem::Best));
        QCOMPARE(item->currentLevel(), 0);
        QTest::qWait(100);
        const QImage screen = window.grabWindow().convertToFormat(QImage::Format_RGB32);

        ExportRequest request;
        request.location = QUrl::fromLocalFile(path);
        request.format = 1;
        request.sizeMode = 2;
        request.sizeValue = 0;
        request.path = m_dir.filePath(QStringLiteral("fine.ppm"));
        QVERIFY(exportImage(*item->viewer(), request, {}));
        item->setLocation(QString());
        const QImage file = QImage(request.path).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(file.size(), edit == CanvasEdit::Turned ? QSize(390, 520) : QSize(520, 390));
        const QRect box = pictureBox(screen);
        QCOMPARE(box, QRect(QPoint((520 - file.width()) / 2, (520 - file.height()) / 2), file.size()));
        const auto [mean, most] = difference(screen.copy(box), file);
        QVERIFY2(mean < 0.05 && most <= 2, qPrintable(QStringLiteral("%1 %2").arg(mean).arg(most)));
    }

    void cropTurnAndMirror()
    {
        QFETCH(int, quarterTurns);
        QFETCH(bool, mirrored);
        QFETCH(QRectF, crop);
        const QString state = StateFile::pathFor(QUrl::fromLocalFile(m_path));
        QFile::remove(state);
        if (quarterTurns < 0) {
            const QImage cell = cellShot();
            compare(cell, canvasShot({}));
            QVERIFY(!QFile::exists(state));
            return;
        }
        const QImage canvas = canvasShot([&](GeometryEdits* edits) {
            for (int i = 0; i < quarterTurns; ++i)
                edits->rotateRight();
            if (mirrored)
                edits->mirrorHorizontal();
            CIAPI::Transform t = edits->transform();
            setTransformCropFromView(t, crop);
            edits->initTransform(t);
        });
        QVERIFY(QFile::exists(state));
        compare(cellShot(), canvas);
    }
};

OSTRA_TEST_MAIN(TestGalleryCrop)
#include "tst_gallerycrop.moc"
