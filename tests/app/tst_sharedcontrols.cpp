#include "support/testenvironment.h"
#include "support/testmain.h"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>

#include <memory>

#include "app/typeregistration.h"

// The shared controls: the slider's reset by double click, the bottom bar's zoom, and the
// stack of notifications.
class TestSharedControls : public QObject
{
    Q_OBJECT
private:
    // An object made from `qml`, which sees the components under qml/Items and qml/Utils.
    static QObject* create(QQmlEngine& engine, const QByteArray& qml)
    {
        QQmlComponent component(&engine);
        component.setData("import QtQuick 2.15\nimport QtQuick.Window 2.15\nimport \"../Items\"\n"
                          "import \"../Utils\"\n"
                + qml,
            QUrl::fromLocalFile(ostra::test::sourceDir() + QStringLiteral("/qml/AppLayers/Test.qml")));
        QObject* object = component.create();
        if (!object)
            qWarning() << component.errors();
        return object;
    }

private slots:
    void initTestCase()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
    }

    void sliderDoubleClickResetsWhileADragMoves()
    {
        QQmlEngine engine;
        std::unique_ptr<QObject> root(create(engine,
            "Window { width: 300; height: 80; visible: true\n"
            "  ItemBottomBar { objectName: 'bar'; anchors.fill: parent; minZoom: 1; maxZoom: 5; zoom: 3;"
            "    defaultZoom: 2 } }"));
        QVERIFY(root);
        auto* window = qobject_cast<QQuickWindow*>(root.get());
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QQuickItem* bar = root->findChild<QQuickItem*>("bar");
        QQuickItem* slider = root->findChild<QQuickItem*>("zoomSlider");
        QVERIFY(bar && slider);

        QSignalSpy zoomMoved(bar, SIGNAL(zoomMoved(qreal)));
        QSignalSpy reset(slider, SIGNAL(resetRequested()));
        const QPoint start = slider->mapToScene(QPointF(slider->width() / 2, slider->height() / 2)).toPoint();
        QTest::mousePress(window, Qt::LeftButton, Qt::NoModifier, start);
        QTest::mouseMove(window, start + QPoint(40, 0));
        const QPoint end(window->width() - 1, start.y());
        QTest::mouseMove(window, end);
        QTest::mouseRelease(window, Qt::LeftButton, Qt::NoModifier, end);
        QCOMPARE(zoomMoved.value(zoomMoved.size() - 1).value(0).toReal(), 5.0);
        QCOMPARE(reset.count(), 0);

        zoomMoved.clear();
        QTest::mouseDClick(window, Qt::LeftButton, Qt::NoModifier, start + QPoint(30, 0));
        QTRY_COMPARE(reset.count(), 1);
        QCOMPARE(slider->property("value").toReal(), 2.0);
        QCOMPARE(zoomMoved.last().first().toReal(), 2.0);
        // The bar's zoom still reaches the slider afterwards.
        bar->setProperty("zoom", 4.0);
        QCOMPARE(slider->property("value").toReal(), 4.0);
    }

    void notificationsStackAndExpireOldestFirst()
    {
        QQmlEngine engine;
        std::unique_ptr<QObject> root(create(engine,
            "QtObject { property QtObject manager: NotificationsManager\n"
            "  function texts() { var r = []; for (var i = 0; i < manager.notifications.count; ++i)"
            " r.push(manager.notifications.get(i).text); return r } }"));
        QVERIFY(root);
        auto* manager = root->property("manager").value<QObject*>();
        QVERIFY(manager);
        manager->setProperty("maxCount", 3);
        manager->setProperty("lifetimeMs", 60000);
        auto texts = [&] {
            QVariant result;
            QMetaObject::invokeMethod(root.get(), "texts", Q_RETURN_ARG(QVariant, result));
            return result.toStringList();
        };
        for (const char* text : { "one", "", "two", "three", "four" })
            QMetaObject::invokeMethod(manager, "show", Q_ARG(QVariant, QString::fromLatin1(text)));
        QCOMPARE(texts(), QStringList({ "two", "three", "four" }));
        QCOMPARE(manager->property("lastText").toString(), QStringLiteral("four"));

        // Once their time is over they go, the oldest first, and a new one starts its own time.
        manager->setProperty("lifetimeMs", 150);
        QTRY_COMPARE(texts(), QStringList());
        QMetaObject::invokeMethod(manager, "show", Q_ARG(QVariant, QStringLiteral("five")));
        QCOMPARE(texts(), QStringList({ "five" }));
        QTRY_COMPARE(texts(), QStringList());
    }
};

OSTRA_TEST_MAIN(TestSharedControls)
#include "tst_sharedcontrols.moc"
