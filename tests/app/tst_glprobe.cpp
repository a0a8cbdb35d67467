#include "support/testmain.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QQuickWindow>
#include <QRegularExpression>

#include "app/glprobe.h"

namespace {
constexpr int kUnknown = -1;
}

class TestGlProbe : public QObject
{
    Q_OBJECT
private slots:
    void shownWindowGivesItsContextsOrder()
    {
        // What the context of this display offers, found independently.
        QOpenGLContext reference;
        QVERIFY(reference.create());
        QOffscreenSurface surface;
        surface.create();
        QVERIFY(reference.makeCurrent(&surface));
        const bool bgra = reference.hasExtension(QByteArrayLiteral("GL_EXT_bgra"));
        QCOMPARE(ostra::channelOrderOf(&reference, kUnknown),
            bgra ? ChannelOrder::kGlBgra : ChannelOrder::kGlRgba);
        reference.doneCurrent();
        // Not current in this thread: nothing can be asked of it.
        QCOMPARE(ostra::channelOrderOf(&reference, kUnknown), kUnknown);
        QCOMPARE(ostra::channelOrderOf(nullptr, kUnknown), kUnknown);

        QQuickWindow window;
        window.resize(64, 64);
        window.show();
        const int order = ostra::probeChannelOrder(&window, kUnknown, 60000);
        QCOMPARE(order, bgra ? ChannelOrder::kGlBgra : ChannelOrder::kGlRgba);
    }

    void windowThatNeverShowsDoesNotHang()
    {
        // Never shown, so never initialised: the wait ends at its bound with the
        // value it started from.
        QQuickWindow window;
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(QStringLiteral("No scene graph within 100 ms")));
        QCOMPARE(ostra::probeChannelOrder(&window, ChannelOrder::kGlRgba, 100), ChannelOrder::kGlRgba);
    }
};

OSTRA_TEST_MAIN(TestGlProbe)
#include "tst_glprobe.moc"
