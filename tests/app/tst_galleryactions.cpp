// The gallery grid's actions on a selection, over a real session and the real image
// service: Ctrl+E opens the export dialog, which checks the name and writes the selection;
// Ctrl+V pastes copied adjustments onto it and Ctrl+Z undoes the paste.
#include "support/testmain.h"

#include "app/typeregistration.h"
#include "display/imageitem.h"
#include "engine/imagelocator.h"
#include "engine/imageproperties.h"
#include "library/activesession.h"
#include "library/session.h"
#include "support/picturefiles.h"
#include "support/savedstate.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QFileInfo>
#include <QJSValue>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>

namespace {

QQuickItem* cellFor(QQuickItem* root, const QUrl& url)
{
    for (QQuickItem* child : root->childItems()) {
        if (auto* image = qobject_cast<ImageItem*>(child); image && QUrl(image->location()) == url)
            return image->parentItem()->parentItem();
        if (QQuickItem* found = cellFor(child, url))
            return found;
    }
    return nullptr;
}

} // namespace

class TestGalleryActions : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void exportPasteAndUndo()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        const QString folder = m_dir.filePath(QStringLiteral("day"));
        QDir().mkpath(folder);
        QList<QUrl> urls;
        for (int i = 0; i < 3; ++i)
            urls << QUrl::fromLocalFile(ostra::test::PictureFiles::write(folder,
                QStringLiteral("G%1.vrx").arg(i), ostra::test::PictureFiles::small(std::uint32_t(i + 5))));
        ImageLocator locator(2, nullptr);
        Session session;
        session.setResolver(&locator);
        ActiveSession gallery;
        gallery.setResolver(&locator);
        gallery.setSource(&session);
        ImageProperties copied;
        const auto exposure = copied.tuneToneEntry(QStringLiteral("exposure"));
        exposure->setCurrentValue(1.25);
        copied.markTuneTonePatch(exposure.get(), true);

        QQuickView view;
        view.resize(900, 900);
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        const QString out = m_dir.filePath(QStringLiteral("out"));
        view.setInitialProperties({ { "model", QVariant::fromValue<QObject*>(&gallery) },
            { "locator", QVariant::fromValue<QObject*>(&locator) },
            { "exportFolder", QUrl::fromLocalFile(out) } });
        view.setSource(QUrl::fromLocalFile(ostra::test::sourceDir() + "/qml/Views/ViewMainGallery.qml"));
        QCOMPARE(view.status(), QQuickView::Ready);
        QQuickItem* root = view.rootObject();
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        session.offer(QUrl::fromLocalFile(folder), false);
        QTRY_COMPARE_WITH_TIMEOUT(gallery.rowCount(), 3, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(cellFor(root, urls.at(1)), 20000);

        // A right click selects the cell and offers the menu.
        QObject* menu = root->findChild<QObject*>(QStringLiteral("galleryMenu"));
        QVERIFY(menu);
        QQuickItem* cell = cellFor(root, urls.at(1));
        QTest::mouseClick(&view, Qt::RightButton, {},
            cell->mapToScene(QPointF(cell->width() / 2, cell->height() / 2)).toPoint());
        QTRY_VERIFY(menu->property("visible").toBool());
        QCOMPARE(gallery.selectedFiles(), QList<QUrl>({ urls.at(1) }));
        QVERIFY(QMetaObject::invokeMethod(menu, "close"));
        QTRY_VERIFY(!menu->property("visible").toBool());

        // Ctrl+E on one picture: a name that is a path or ends in a dot is refused, the
        // name given (taken once the disk says it is free) is used for both formats.
        QTest::keyClick(&view, Qt::Key_E, Qt::ControlModifier);
        QObject* dialog = root->findChild<QObject*>(QStringLiteral("dialogExport"));
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->property("visible").toBool());
        QObject* button = dialog->findChild<QObject*>(QStringLiteral("export"));
        for (const char* name : { "sub/name", "name.", "", "chosen" }) {
            dialog->setProperty("fileName", QString::fromUtf8(name));
            QTRY_COMPARE(button->property("enabled").toBool(),
                !QByteArray(name).contains('/') && !QByteArray(name).endsWith('.'));
        }
        dialog->setProperty("formatIndex", 2);
        QVERIFY(QMetaObject::invokeMethod(dialog, "accept"));
        QVERIFY(!dialog->property("visible").toBool());
        QTRY_COMPARE_WITH_TIMEOUT(
            QDir(out).entryList(QDir::Files), QStringList({ "chosen.dng", "chosen.jpg" }), 60000);

        // Ctrl+E on a selection of all three: each keeps its own name.
        gallery.selectAll();
        QTest::keyClick(&view, Qt::Key_E, Qt::ControlModifier);
        QTRY_VERIFY(dialog->property("visible").toBool());
        QCOMPARE(dialog->property("files").toList().size(), 3);
        dialog->setProperty("formatIndex", 0);
        QVERIFY(QMetaObject::invokeMethod(dialog, "accept"));
        QTRY_COMPARE_WITH_TIMEOUT(QDir(out).entryList(QDir::Files).size(), 5, 60000);
        QVERIFY(QDir(out).entryList(QDir::Files).contains(QStringLiteral("G2.jpg")));

        // Nothing to paste before anything is copied; then paste and undo.
        QTest::keyClick(&view, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(locator.patchProgressHandler()->maximumProgress(), 0);
        root->setProperty("copiedAdjustments", copied.savePatch());
        QTest::keyClick(&view, Qt::Key_V, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(locator.patchUndoCount(), 3, 60000);
        for (const QUrl& url : urls)
            QCOMPARE(ostra::test::savedState(url.toLocalFile()).exposure, 1.25f);
        // The bulk undo asks first: declined, nothing is undone; accepted, all is.
        QObject* confirmUndo = root->findChild<QObject*>(QStringLiteral("confirmUndo"));
        QVERIFY(confirmUndo);
        QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier);
        QTRY_VERIFY(confirmUndo->property("opened").toBool());
        QVERIFY(QMetaObject::invokeMethod(confirmUndo, "reject"));
        QTRY_VERIFY(!confirmUndo->property("visible").toBool());
        QCoreApplication::processEvents();
        QCOMPARE(locator.patchUndoCount(), 3);
        QVERIFY(!locator.patchProgressHandler()->isInProgress());
        QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier);
        QTRY_VERIFY(confirmUndo->property("opened").toBool());
        QVERIFY(QMetaObject::invokeMethod(confirmUndo, "accept"));
        QTRY_COMPARE_WITH_TIMEOUT(locator.patchUndoCount(), 0, 60000);
        for (const QUrl& url : urls)
            QCOMPARE(ostra::test::savedState(url.toLocalFile()).exposure, 0.0f);

        // Dismissing the bulk undo asks too; accepted, the edits stay and cannot be undone.
        QTest::keyClick(&view, Qt::Key_V, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(locator.patchUndoCount(), 3, 60000);
        QTRY_VERIFY(!locator.patchProgressHandler()->isInProgress());
        QObject* confirmDismiss = root->findChild<QObject*>(QStringLiteral("confirmDismiss"));
        QVERIFY(confirmDismiss);
        QVERIFY(QMetaObject::invokeMethod(root, "dismissUndo"));
        QTRY_VERIFY(confirmDismiss->property("opened").toBool());
        QCOMPARE(locator.patchUndoCount(), 3);
        QVERIFY(QMetaObject::invokeMethod(confirmDismiss, "accept"));
        QTRY_COMPARE(locator.patchUndoCount(), 0);
        for (const QUrl& url : urls)
            QCOMPARE(ostra::test::savedState(url.toLocalFile()).exposure, 1.25f);

        // A preset on the selection is said once the batch has ended; one that carries
        // nothing is said to apply nothing, and starts nothing.
        QQmlExpression lastNote(qmlContext(root), root, QStringLiteral("NotificationsManager.lastText"));
        // Whether a note was shown: the export's own note may come after the one looked for,
        // and a note fades after seconds, which a loaded machine may take between two looks.
        QQmlExpression keepNotes(qmlContext(root), root,
            QStringLiteral("NotificationsManager.lifetimeMs = 3600000; NotificationsManager.maxCount = 100"));
        keepNotes.evaluate();
        QVERIFY(!keepNotes.hasError());
        const auto noteShown = [&](const QString& text) {
            QQmlExpression shown(qmlContext(root), root,
                QStringLiteral("(function(t) { var n = NotificationsManager.notifications;"
                               " for (var i = 0; i < n.count; ++i) if (n.get(i).text === t) return true;"
                               " return false })"));
            return shown.evaluate().value<QJSValue>().call({ text }).toBool();
        };
        ImageProperties preset;
        const auto presetExposure = preset.tuneToneEntry(QStringLiteral("exposure"));
        presetExposure->setCurrentValue(2.0);
        preset.markTuneTonePatch(presetExposure.get(), true);
        QVERIFY(QMetaObject::invokeMethod(
            root, "applyPreset", Q_ARG(QVariant, QVariant::fromValue<QObject*>(&preset))));
        QTRY_VERIFY_WITH_TIMEOUT(noteShown(QStringLiteral("Applying preset completed!")), 60000);
        for (const QUrl& url : urls)
            QCOMPARE(ostra::test::savedState(url.toLocalFile()).exposure, 2.0f);
        gallery.selectionModel()->clearSelection();
        gallery.selectionModel()->select(gallery.index(2, 0), QItemSelectionModel::Select);
        presetExposure->setCurrentValue(-1.0);
        QVERIFY(QMetaObject::invokeMethod(
            root, "applyPreset", Q_ARG(QVariant, QVariant::fromValue<QObject*>(&preset))));
        const QString name = QFileInfo(gallery.urlAt(2).toLocalFile()).fileName();
        QTRY_VERIFY_WITH_TIMEOUT(noteShown(QStringLiteral("Preset was applied to ") + name), 60000);
        QCOMPARE(ostra::test::savedState(gallery.urlAt(2).toLocalFile()).exposure, -1.0f);
        ImageProperties empty;
        QVERIFY(QMetaObject::invokeMethod(
            root, "applyPreset", Q_ARG(QVariant, QVariant::fromValue<QObject*>(&empty))));
        QCOMPARE(lastNote.evaluate().toString(), QStringLiteral("No settings were applied."));
        QVERIFY(!locator.patchProgressHandler()->isInProgress());
    }
};

OSTRA_TEST_MAIN(TestGalleryActions)
#include "tst_galleryactions.moc"
