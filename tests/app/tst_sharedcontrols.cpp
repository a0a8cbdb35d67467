#include "support/testenvironment.h"
#include "support/testmain.h"

#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>

#include <functional>
#include <memory>

#include "app/typeregistration.h"

// The shared controls: the slider's reset by double click, the bottom bar's zoom, the
// stack of notifications, and the grid of justified rows as pictures keep arriving.
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

    // Pictures arriving sorted while the user looks at the middle of the grid: rows added
    // or removed before the view leave the picture at its top where it was; rows after it
    // change nothing there; a view at the very top stays at the top.
    void collectionHoldsTheViewWhileRowsArrive_data()
    {
        QTest::addColumn<QList<int>>("added"); // keys added, each as a row of its own
        QTest::addColumn<QList<int>>("removed"); // keys removed
        QTest::addColumn<qreal>("scrolled");
        QList<int> before, after, gone;
        for (int key = 1; key < 60; key += 2)
            before << key;
        for (int key = 301; key < 360; key += 2)
            after << key;
        for (int key = 0; key < 60; key += 2)
            gone << key;
        QTest::newRow("added before the view") << before << QList<int>() << 1200.0;
        QTest::newRow("removed before the view") << QList<int>() << gone << 1200.0;
        QTest::newRow("added after the view") << after << QList<int>() << 300.0;
        QTest::newRow("added with the view at the top") << before << QList<int>() << 0.0;
    }
    void collectionHoldsTheViewWhileRowsArrive()
    {
        QFETCH(QList<int>, added);
        QFETCH(QList<int>, removed);
        QFETCH(qreal, scrolled);
        QStandardItemModel pictures;
        const QSize aspects[] = { { 4, 3 }, { 3, 4 }, { 16, 9 }, { 1, 1 } };
        auto picture = [&](int key) {
            auto* item = new QStandardItem(QStringLiteral("k%1").arg(key, 4, 10, QChar('0')));
            item->setData(aspects[key % 4], Qt::SizeHintRole);
            return item;
        };
        for (int key = 0; key < 400; key += 2)
            pictures.appendRow(picture(key));
        QSortFilterProxyModel sorted; // as the capture model sorts: rows arrive in their place
        sorted.setSourceModel(&pictures);
        sorted.setDynamicSortFilter(true);
        sorted.sort(0);
        QQmlEngine engine;
        engine.rootContext()->setContextProperty("pictures", &sorted);
        std::unique_ptr<QObject> root(create(engine,
            "Window { width: 800; height: 600; visible: true\n"
            "  FairCollection { objectName: 'collection'; anchors.fill: parent; holdView: true\n"
            "    FairSection { width: 800; model: pictures; baseRowHeight: 100\n"
            "      delegate: Rectangle { objectName: 'cell'; required property var model;"
            "        property string key: model.display; color: 'grey' } } } }"));
        QVERIFY(root);
        auto* window = qobject_cast<QQuickWindow*>(root.get());
        QVERIFY(QTest::qWaitForWindowExposed(window));
        auto* collection = root->findChild<QQuickItem*>("collection");
        QVERIFY(collection);
        auto* content = collection->property("contentItem").value<QQuickItem*>();
        // The cells, through the visual tree (delegates have no object parent).
        std::function<QList<QQuickItem*>(QQuickItem*)> cellsOf = [&](QQuickItem* item) {
            QList<QQuickItem*> found;
            const QList<QQuickItem*> children = item->childItems();
            for (QQuickItem* child : children)
                found += child->objectName() == QLatin1String("cell") ? QList<QQuickItem*> { child }
                                                                      : cellsOf(child);
            return found;
        };
        // Every row has its sized cell.
        auto settled = [&] {
            const QList<QQuickItem*> cells = cellsOf(collection);
            if (cells.size() != sorted.rowCount())
                return false;
            for (QQuickItem* cell : cells)
                if (cell->height() <= 0)
                    return false;
            return true;
        };
        // The picture at the top left of the view, and how far below the view's top it starts.
        auto top = [&] {
            const qreal y = collection->property("contentY").toReal();
            QQuickItem* first = nullptr;
            QRectF at;
            const QList<QQuickItem*> cells = cellsOf(collection);
            for (QQuickItem* cell : cells) {
                const QRectF r = cell->mapRectToItem(content, QRectF(0, 0, cell->width(), cell->height()));
                if (r.bottom() > y
                    && (!first || r.top() < at.top() - 0.5
                        || (r.top() < at.top() + 0.5 && r.left() < at.left()))) {
                    first = cell;
                    at = r;
                }
            }
            return first ? qMakePair(first->property("key").toString(), at.top() - y)
                         : qMakePair(QString(), 0.0);
        };
        QTRY_VERIFY(settled());
        QTRY_VERIFY(collection->property("contentHeight").toReal() > scrolled + 1200);
        collection->setProperty("contentY", scrolled);
        const QPair<QString, qreal> before = top();
        QVERIFY(!before.first.isEmpty());

        // In small batches, as the camera's listing reports them.
        for (int i = 0; i < added.size(); ++i) {
            pictures.appendRow(picture(added[i]));
            if (i % 7 == 6)
                QTRY_VERIFY(settled());
        }
        for (int key : removed) {
            const QList<QStandardItem*> found
                = pictures.findItems(QStringLiteral("k%1").arg(key, 4, 10, QChar('0')));
            QCOMPARE(found.size(), 1);
            pictures.removeRow(found.first()->row());
        }
        QTRY_VERIFY(settled());
        QCoreApplication::processEvents();
        const QPair<QString, qreal> after = top();
        if (scrolled == 0) {
            QCOMPARE(collection->property("contentY").toReal(), 0.0);
            QCOMPARE(after.first, sorted.index(0, 0).data().toString());
            return;
        }
        // The same picture, at the same height in the view.
        QList<QQuickItem*> cells = cellsOf(collection);
        QQuickItem* held = nullptr;
        for (QQuickItem* cell : cells)
            held = cell->property("key").toString() == before.first ? cell : held;
        QVERIFY(held);
        const qreal heldTop = held->mapRectToItem(content, QRectF(0, 0, 1, 1)).top()
            - collection->property("contentY").toReal();
        QVERIFY2(qAbs(heldTop - before.second) < 0.5,
            qPrintable(
                QStringLiteral("%1 at %2, then at %3").arg(before.first).arg(before.second).arg(heldTop)));
        QVERIFY2(qAbs(after.second - before.second) < 0.5 || after.first == before.first,
            qPrintable(after.first + " " + QString::number(after.second)));
    }
};

OSTRA_TEST_MAIN(TestSharedControls)
#include "tst_sharedcontrols.moc"
