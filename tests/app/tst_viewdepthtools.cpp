#include "support/testmain.h"

#include "app/typeregistration.h"
#include "display/imageedititem.h"
#include "engine/imagelocator.h"
#include "engine/statefile.h"
#include "support/depthcanvas.h"
#include "support/quickitems.h"
#include "support/testenvironment.h"

#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>

// The canvas view's depth tool strip, driven from the keyboard and the pointer as a user
// would: choose the brush, paint, pick the depth, apply, undo, redo, leave the tool.
class TestViewDepthTools : public QObject
{
    Q_OBJECT

private slots:
    void keyboardDrivesTheDepthTools()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        QTemporaryDir dir;
        const QString picture = dir.path() + "/IMG_strip.vrx";
        QVERIFY(ostra::test::writeDepthPicture(picture, 640, 480, 1));

        ImageLocator locator(2, nullptr);
        QQuickView view;
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.resize(1000, 700);
        view.setInitialProperties({ { QStringLiteral("locator"), QVariant::fromValue<QObject*>(&locator) },
            { QStringLiteral("location"), QUrl::fromLocalFile(picture).toString() } });
        view.setSource(QUrl::fromLocalFile(ostra::test::sourceDir() + "/qml/Views/ViewCanvas.qml"));
        QCOMPARE(view.status(), QQuickView::Ready);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QVERIFY(ostra::test::activateWindow(&view));
        auto* canvas = view.rootObject()->findChild<ImageEditItem*>();
        QVERIFY(canvas);
        QVERIFY(QTest::qWaitFor(
            [&] { return canvas->hasDepthTools() && canvas->imageQuality() >= ImageEditItem::Preview; },
            60000));
        const auto at = [&](const QPointF& p) {
            return canvas->mapToScene(canvas->geometry().imageToView(p)).toPoint();
        };

        QTest::keyClick(&view, Qt::Key_B);
        QCOMPARE(canvas->editorMode(), ImageEdit::DepthEditingBrush);
        QCOMPARE(canvas->pickerMode(), ImageEdit::Trajectory);
        const double size = canvas->brushSizeValue();
        QTest::keyClick(&view, Qt::Key_BracketRight);
        QCOMPARE(canvas->brushSizeValue(), size + 1);

        QTest::mousePress(&view, Qt::LeftButton, {}, at({ 0.3, 0.3 }));
        for (int k = 1; k <= 20; ++k)
            QTest::mouseMove(&view, at({ 0.3 + 0.02 * k, 0.3 + 0.01 * k }));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, at({ 0.7, 0.5 }));
        QCOMPARE(canvas->pickerMode(), ImageEdit::Reference);
        QTest::mouseClick(&view, Qt::LeftButton, {}, at({ 0.9, 0.9 }));
        QVERIFY(canvas->hasReferencePoint() && canvas->hasClosedEditArea());
        QTest::keyClick(&view, Qt::Key_Return);
        QVERIFY(!canvas->hasClosedEditArea());
        QVERIFY(canvas->hasDepthEdits());
        QCOMPARE(canvas->pickerMode(), ImageEdit::Trajectory); // ready for the next stroke

        QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier);
        QVERIFY(!canvas->hasDepthEdits());
        QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(canvas->hasDepthEdits());

        QTest::keyClick(&view, Qt::Key_L);
        QCOMPARE(canvas->editorMode(), ImageEdit::DepthEditingLasso);
        QCOMPARE(canvas->pickerMode(), ImageEdit::Segmented);
        QTest::keyClick(&view, Qt::Key_Escape);
        QCOMPARE(canvas->editorMode(), ImageEdit::None);
    }
};

OSTRA_TEST_MAIN(TestViewDepthTools)
#include "tst_viewdepthtools.moc"
