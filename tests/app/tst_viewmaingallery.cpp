#include "support/testmain.h"

#include "app/typeregistration.h"
#include "display/imageitem.h"
#include "engine/imagelocator.h"
#include "library/activesession.h"
#include "library/session.h"
#include "library/spineoutline.h"
#include "support/testenvironment.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QQuickItem>
#include <QQuickView>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <functional>

#include "support/picturefiles.h"
#include "support/pixelchecks.h"
#include "support/quickitems.h"
#include "support/screenchecks.h"

namespace {

using displaytest::describe;
using displaytest::near;

// The items of a type under an item, through the visual tree (view delegates have no
// object parent); given a name, only the visible ones of that name.
template <typename T> QList<T*> itemsUnder(QQuickItem* root, const QString& name = QString())
{
    QList<T*> found;
    const QList<QQuickItem*> children = root->childItems();
    for (QQuickItem* child : children) {
        if (!name.isEmpty() && !child->isVisible())
            continue;
        auto* item = qobject_cast<T*>(child);
        if (item && (name.isEmpty() || child->objectName() == name))
            found.append(item);
        found += itemsUnder<T>(child, name);
    }
    return found;
}

// The texts of the visible items of a name.
QStringList visibleTexts(QQuickItem* root, const QString& name)
{
    QStringList texts;
    for (QQuickItem* item : itemsUnder<QQuickItem>(root, name))
        texts.append(item->property("text").toString());
    return texts;
}

QPointF centreOf(QQuickItem* item)
{
    return item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
}

// Every image item under an item has its picture.
bool allShown(QQuickItem* root, int count)
{
    const QList<ImageItem*> items = itemsUnder<ImageItem>(root);
    return items.size() >= count
        && std::all_of(items.begin(), items.end(), [](ImageItem* item) { return item->valid(); });
}

// The cell (grid delegate) that shows a file.
QQuickItem* cellFor(QQuickItem* root, const QUrl& url)
{
    const QList<ImageItem*> items = itemsUnder<ImageItem>(root);
    for (ImageItem* item : items) {
        if (QUrl(item->location()) == url)
            return item->parentItem()->parentItem();
    }
    return nullptr;
}

// The gallery view over a session of folders and the real image service, on the screen.
struct GalleryOnScreen
{
    ImageLocator locator { 2, nullptr };
    Session session;
    ActiveSession gallery;
    QQuickView view;

    explicit GalleryOnScreen(const QString& sortField)
    {
        session.setResolver(&locator);
        gallery.setResolver(&locator);
        gallery.setSortField(sortField);
        gallery.setSource(&session);
    }
    // Loads the view at `size` (with `rowHeight` when given) and shows it; its root item, or
    // null when it did not load or show.
    QQuickItem* show(QSize size, double rowHeight = 0)
    {
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.resize(size);
        QVariantMap properties { { QStringLiteral("model"), QVariant::fromValue<QObject*>(&gallery) },
            { QStringLiteral("locator"), QVariant::fromValue<QObject*>(&locator) } };
        if (rowHeight > 0)
            properties.insert(QStringLiteral("baseRowHeight"), rowHeight);
        view.setInitialProperties(properties);
        view.setSource(QUrl::fromLocalFile(ostra::test::sourceDir() + "/qml/Views/ViewMainGallery.qml"));
        if (view.status() != QQuickView::Ready)
            return nullptr;
        view.show();
        return QTest::qWaitForWindowExposed(&view) ? view.rootObject() : nullptr;
    }
};

} // namespace

class TestViewMainGallery : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString m_folder;
    QList<QUrl> m_urls;
    QList<QColor> m_colours;

private slots:
    void initTestCase()
    {
        ostra::test::useApplicationStyle();
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        QVERIFY(m_dir.isValid());
        m_folder = m_dir.path() + QStringLiteral("/shots of a day");
        QVERIFY(QDir().mkpath(m_folder));
        const QStringList names { "IMG #1.vrx", "IMG[2].vrx", "IMG 3 turned.vrx", "\u00e9t\u00e9 4.vrx" };
        m_colours = { QColor(200, 40, 60), QColor(40, 180, 70), QColor(50, 90, 210), QColor(230, 200, 40) };
        for (int i = 0; i < names.size(); ++i) {
            // Two days of two pictures; each state holds a flat thumbnail of one colour.
            vrxgen::PictureOptions o = ostra::test::PictureFiles::small(std::uint32_t(30 + i));
            o.orientation = i == 2 ? 1 : 0; // shot a quarter turn round
            o.captureTime = 1600000000 + (i / 2) * 86400 + i * 60;
            const vrxgen::Picture picture = vrxgen::makePicture(o);
            const QString file = ostra::test::PictureFiles::write(m_folder, names.at(i), picture);
            QVERIFY(
                displaytest::writeFlatThumbnail(file, picture.meta.imageUuid, 64, 48, m_colours.at(i), 0));
            m_urls.append(QUrl::fromLocalFile(file));
        }
    }

    // Stars are shown and take clicks on a picture's cell only: a file that is not a
    // picture, or one of a newer format, has none.
    void starsOnlyOnPictures_data()
    {
        QTest::addColumn<bool>("invalid");
        QTest::addColumn<bool>("incompatible");
        QTest::newRow("picture") << false << false;
        QTest::newRow("not a picture") << true << false;
        QTest::newRow("newer format") << false << true;
    }
    void starsOnlyOnPictures()
    {
        QFETCH(bool, invalid);
        QFETCH(bool, incompatible);
        QQuickView view;
        view.setSource(QUrl::fromLocalFile(ostra::test::sourceDir() + "/qml/Items/GalleryItem.qml"));
        QQuickItem* cell = view.rootObject();
        QVERIFY(cell);
        cell->setSize(QSizeF(240, 180));
        view.resize(240, 180);
        cell->setProperty("invalid", invalid);
        cell->setProperty("incompatible", incompatible);
        cell->setProperty("rating", 2);
        cell->setProperty("selected", true);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QSignalSpy rated(cell, SIGNAL(rated(int)));
        QQuickItem* stars = nullptr;
        for (QQuickItem* item : itemsUnder<QQuickItem>(cell))
            if (item->objectName() == QLatin1String("ratingStars"))
                stars = item;
        QVERIFY(stars && stars->objectName() == QLatin1String("ratingStars"));
        const bool picture = !invalid && !incompatible;
        QCOMPARE(stars->isVisible(), picture);
        // A file that is no picture has no size: its word stays within the square drawn
        // for it, however long its name and reason.
        if (invalid) {
            cell->setProperty("realWidth", 0);
            cell->setProperty("realHeight", 0);
            cell->setProperty(
                "location", QStringLiteral("file:///card/IMG_9999 damaged during the copy.vrx"));
            cell->setProperty("problem", QStringLiteral("Unreadable VRX file: not a VRX file"));
            QQuickItem* word = nullptr;
            QQuickItem* image = nullptr;
            for (QQuickItem* item : itemsUnder<QQuickItem>(cell)) {
                if (item->objectName() == QLatin1String("cellWord"))
                    word = item;
                if (item->objectName() == QLatin1String("galleryImage"))
                    image = item;
            }
            QVERIFY(word && image);
            QTRY_VERIFY(word->property("text").toString().contains("not a VRX file"));
            const QRectF wordBox = word->mapRectToScene(QRectF(0, 0, word->width(), word->height()));
            const QRectF imageBox = image->mapRectToScene(QRectF(0, 0, image->width(), image->height()));
            QVERIFY2(wordBox.left() >= imageBox.left() && wordBox.right() <= imageBox.right(),
                qPrintable(QStringLiteral("%1-%2 in %3-%4")
                               .arg(wordBox.left())
                               .arg(wordBox.right())
                               .arg(imageBox.left())
                               .arg(imageBox.right())));
        }
        // A click where the fourth star is (or would be).
        QTest::mouseClick(&view, Qt::LeftButton, {},
            stars->mapToScene(QPointF(stars->width() * 0.7, stars->height() / 2)).toPoint());
        QCOMPARE(rated.count(), picture ? 1 : 0);
    }

    // Justified rows of mixed pictures (landscape, turned to portrait, with a 16:9 frame)
    // fill the width exactly, one height per row, in every order; only the last row of a
    // section may be shorter. What each cell draws has the cell's shape (no bands).
    void rowsFillTheWidth_data()
    {
        QTest::addColumn<QString>("order");
        QTest::newRow("date") << QStringLiteral("timestamp");
        QTest::newRow("folder") << QStringLiteral("filePath");
        QTest::newRow("rating") << QStringLiteral("rating");
    }
    void rowsFillTheWidth()
    {
        QFETCH(QString, order);
        const QString folder = m_dir.path() + QStringLiteral("/mixed");
        QList<QUrl> urls;
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/inner")));
        for (int i = 0; i < 11; ++i) {
            vrxgen::PictureOptions o = ostra::test::PictureFiles::small(std::uint32_t(60 + i));
            o.orientation = (i % 3 == 1) ? 1 : (i % 5 == 2 ? 6 : 0);
            o.aspectMode = i % 4 == 3 ? 1 : 0;
            o.captureTime = 1600000000 + i * 60;
            const QString where = i < 7 ? folder : folder + QStringLiteral("/inner");
            const QString name = QStringLiteral("IMG_%1.vrx").arg(i);
            const QString file = QFile::exists(where + "/" + name)
                ? where + "/" + name
                : ostra::test::PictureFiles::write(where, name, o);
            QVERIFY(!file.isEmpty());
            urls.append(QUrl::fromLocalFile(file));
        }
        GalleryOnScreen screen(order);
        auto& [locator, session, gallery, view] = screen;
        QQuickItem* root = screen.show(QSize(1000, 1060), 160.0);
        QVERIFY(root);
        session.offer(QUrl::fromLocalFile(folder), true);
        QTRY_COMPARE_WITH_TIMEOUT(gallery.rowCount(), urls.size(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(allShown(root, urls.size()), 30000);
        // The rows are laid out once every cell of a section exists.
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(urls.cbegin(), urls.cend(),
                                     [&](const QUrl& url) {
                                         QQuickItem* cell = cellFor(root, url);
                                         return cell && cell->height() > 0;
                                     }),
            20000);
        // Rows by section: cells of one section share the section's Flow.
        QMap<QQuickItem*, QMap<int, QList<QQuickItem*>>> sections;
        for (const QUrl& url : qAsConst(urls)) {
            QQuickItem* cell = cellFor(root, url);
            QVERIFY(cell);
            sections[cell->parentItem()][qRound(cell->y())].append(cell);
        }
        for (auto section = sections.cbegin(); section != sections.cend(); ++section) {
            const double width = section.key()->width();
            int row = 0;
            for (const QList<QQuickItem*>& cells : section.value()) {
                double used = -4;
                for (QQuickItem* cell : cells) {
                    QVERIFY2(qAbs(cell->height() - cells.first()->height()) < 0.5,
                        qPrintable(
                            QStringLiteral("%1 / %2").arg(cell->height()).arg(cells.first()->height())));
                    used += cell->width() + 4;
                    // The picture fills its cell: no band beside or above it.
                    auto* image = itemsUnder<ImageItem>(cell).value(0);
                    QVERIFY(image);
                    QVERIFY2(qAbs(image->width() - (cell->width() - 6)) < 2.5
                            && qAbs(image->height() - (cell->height() - 6)) < 2.5,
                        qPrintable(QStringLiteral("%1 x %2 in %3 x %4")
                                       .arg(image->width())
                                       .arg(image->height())
                                       .arg(cell->width())
                                       .arg(cell->height())));
                }
                if (++row < section.value().size())
                    QVERIFY2(qAbs(used - width) < 1.5,
                        qPrintable(QStringLiteral("%1 of %2").arg(used).arg(width)));
                else
                    QVERIFY2(
                        used <= width + 0.5, qPrintable(QStringLiteral("%1 of %2").arg(used).arg(width)));
            }
        }
    }

    // A section of many pictures makes cells only for the rows within a screen of the
    // view, wherever the view is: at the top, at the end (End) and back (Home). The cells
    // there show the right files, take clicks for them and show their selection.
    void cellsOnlyNearTheView_data()
    {
        QTest::addColumn<int>("days");
        QTest::newRow("one long day") << 1;
        // Many short sections, portraits among them: the view settles at the end at once.
        QTest::newRow("a day each") << 90;
    }
    void cellsOnlyNearTheView()
    {
        QFETCH(int, days);
        const QString folder = m_dir.path() + QStringLiteral("/%1 days").arg(days);
        QVERIFY(QDir().mkpath(folder));
        QList<QUrl> urls;
        for (int i = 0; i < 90; ++i) {
            vrxgen::PictureOptions o = ostra::test::PictureFiles::small(std::uint32_t(100 + i));
            o.captureTime = 1600000000 + (days > 1 ? i * 86400 : i * 60);
            o.orientation = days > 1 && i % 3 == 0 ? 1 : 0;
            const QString file = ostra::test::PictureFiles::write(
                folder, QStringLiteral("P%1.vrx").arg(i, 3, 10, QChar('0')), o);
            QVERIFY(!file.isEmpty());
            urls.append(QUrl::fromLocalFile(file));
        }
        GalleryOnScreen screen(QStringLiteral("timestamp"));
        auto& [locator, session, gallery, view] = screen;
        QQuickItem* root = screen.show(QSize(800, 500), 200.0);
        QVERIFY(root);
        session.offer(QUrl::fromLocalFile(folder), false);
        QTRY_COMPARE_WITH_TIMEOUT(gallery.rowCount(), urls.size(), 30000);
        if (days == 1)
            QCOMPARE(gallery.outlineModel()->rowCount(), 3); // one year, month and day
        auto* collection = ostra::test::findItem(root, "galleryCollection");
        QVERIFY(collection);
        // Rows of three or four pictures 200 high (or a day each): many screens long.
        QTRY_VERIFY(collection->property("contentHeight").toDouble() > 8 * collection->height());
        const auto cellCount = [&] { return itemsUnder<ImageItem>(root).size(); };
        QTRY_VERIFY(cellFor(root, urls.first()));
        // Sections settle in their places over a few frames; what stays is the view's cells.
        QTRY_VERIFY(!cellFor(root, urls.last()));
        QVERIFY2(cellCount() < 40, qPrintable(QString::number(cellCount())));

        QVERIFY(ostra::test::activateWindow(&view));
        collection->forceActiveFocus();
        QTest::keyClick(&view, Qt::Key_End);
        QCOMPARE(gallery.urlAt(gallery.currentIndex()), urls.last());
        QTRY_VERIFY(qAbs(collection->property("contentY").toDouble() + collection->height()
                        - collection->property("contentHeight").toDouble())
            < 1);
        QTRY_VERIFY(cellFor(root, urls.last()));
        QTRY_VERIFY(!cellFor(root, urls.first()));
        QVERIFY2(cellCount() < 40, qPrintable(QString::number(cellCount())));
        // Clicks select the cell's own file; every cell shows its file's selection.
        QQuickItem* last = cellFor(root, urls.last());
        QTRY_VERIFY(last->height() > 0);
        QTest::mouseClick(&view, Qt::LeftButton, {}, centreOf(last).toPoint());
        QCOMPARE(gallery.selectedFiles(), QList<QUrl> { urls.last() });
        // The one before it, brought into sight (a day's picture may fill the view alone).
        const int otherFile = urls.size() - 2;
        const QRectF visible
            = collection->mapRectToScene(QRectF(0, 0, collection->width(), collection->height()));
        QTRY_VERIFY(cellFor(root, urls.at(otherFile)));
        if (!visible.contains(centreOf(cellFor(root, urls.at(otherFile))))) {
            const double y = centreOf(cellFor(root, urls.at(otherFile))).y();
            collection->setProperty(
                "contentY", collection->property("contentY").toDouble() + y - visible.center().y());
        }
        QTRY_VERIFY(cellFor(root, urls.at(otherFile))
            && visible.contains(centreOf(cellFor(root, urls.at(otherFile)))));
        QTest::mouseClick(&view, Qt::LeftButton, Qt::ControlModifier,
            centreOf(cellFor(root, urls.at(otherFile))).toPoint());
        QCOMPARE(gallery.selectionSize(), 2);
        QVERIFY(gallery.selectedFiles().contains(urls.at(otherFile)));
        for (ImageItem* image : itemsUnder<ImageItem>(root)) {
            QQuickItem* cell = image->parentItem()->parentItem();
            const QUrl url(image->location());
            QCOMPARE(cell->property("selected").toBool(), gallery.selectedFiles().contains(url));
        }

        // Clicks and scrolls took a while on a loaded machine: the window may have lost the
        // keyboard to another one meanwhile.
        QVERIFY(ostra::test::activateWindow(&view));
        collection->forceActiveFocus();
        QTest::keyClick(&view, Qt::Key_Home);
        QCOMPARE(gallery.urlAt(gallery.currentIndex()), urls.first());
        QTRY_VERIFY(cellFor(root, urls.first()));
        QTRY_VERIFY(!cellFor(root, urls.last()));
        QCOMPARE(gallery.selectionSize(), 2);
    }

    // The sectioned gallery over a real session and the real image service: a header per
    // year, month and day, each day's pictures in one justified row, in capture order,
    // each drawn in its picture's colour and shape; a double click or Enter asks for the
    // picture to be opened.
    void galleryShowsTheSession()
    {
        GalleryOnScreen screen(QStringLiteral("timestamp"));
        auto& [locator, session, gallery, view] = screen;
        QAbstractItemModelTester tester(&gallery, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QQuickItem* root = screen.show(QSize(900, 1100), 300.0);
        QVERIFY(root);

        session.offer(QUrl::fromLocalFile(m_folder), false);
        QTRY_COMPARE_WITH_TIMEOUT(gallery.rowCount(), m_urls.size(), 20000);
        QTRY_COMPARE(root->property("count").toInt(), m_urls.size());
        QTRY_VERIFY_WITH_TIMEOUT(allShown(root, m_urls.size()), 20000);
        for (int row = 0; row < m_urls.size(); ++row)
            QCOMPARE(gallery.urlAt(row), m_urls.at(row));
        // A year, a month and two days.
        QCOMPARE(gallery.outlineModel()->rowCount(), 4);
        const QStringList titles = visibleTexts(root, QStringLiteral("sectionTitle"));
        QCOMPARE(titles.size(), 4);
        QVERIFY2(titles.contains(QStringLiteral("2020")), qPrintable(titles.join('|')));

        // Each day's two pictures share a row that spans the width beside the scroll bar;
        // the turned one is a portrait beside a landscape picture.
        QQuickItem* rowsIn = ostra::test::findItem(root, "galleryCollection");
        QVERIFY(rowsIn);
        const qreal rowWidth = rowsIn->property("availableWidth").toReal();
        QVERIFY(rowWidth > 0 && rowWidth < rowsIn->width());
        QTRY_VERIFY(cellFor(root, m_urls.at(0)) && cellFor(root, m_urls.at(0))->width() > 100);
        QTest::qWait(50);
        const QImage frame = view.grabWindow();
        const qreal dpr = frame.devicePixelRatio();
        for (int i = 0; i < m_urls.size(); ++i) {
            QQuickItem* cell = cellFor(root, m_urls.at(i));
            QVERIFY(cell);
            QQuickItem* partner = cellFor(root, m_urls.at(i ^ 1));
            QCOMPARE(cell->height(), partner->height());
            QVERIFY2(qAbs(cell->width() + partner->width() + 4 - rowWidth) < 2,
                qPrintable(QString::number(cell->width() + partner->width())));
            QCOMPARE(cell->width() < cell->height(), i == 2);
            const QRgb got = frame.pixel((centreOf(cell) * dpr).toPoint());
            QVERIFY2(
                near(got, m_colours.at(i)), qPrintable(QStringLiteral("%1: %2").arg(i).arg(describe(got))));
        }

        QSignalSpy open(root, SIGNAL(openRequested(QUrl)));
        QQuickItem* third = cellFor(root, m_urls.at(2));
        QTest::mouseDClick(&view, Qt::LeftButton, Qt::NoModifier, centreOf(third).toPoint());
        QTRY_COMPARE(open.count(), 1);
        QCOMPARE(open.at(0).at(0).toUrl(), m_urls.at(2));
        QCOMPARE(root->property("currentIndex").toInt(), 2);

        QTest::keyClick(&view, Qt::Key_Right);
        QTest::keyClick(&view, Qt::Key_Return);
        QTRY_COMPARE(open.count(), 2);
        QCOMPARE(open.at(1).at(0).toUrl(), m_urls.at(3));

        // Sorted by folder: the outline holds a section per folder level, and the one folder
        // with pictures is shown once, by its whole path, its four pictures in rows that
        // fill the width, one height per row.
        const QList<QQuickItem*> byFolder = itemsUnder<QQuickItem>(root, QStringLiteral("sortBy_filePath"));
        QCOMPARE(byFolder.size(), 1);
        QTest::mouseClick(&view, Qt::LeftButton, Qt::NoModifier, centreOf(byFolder.first()).toPoint());
        QCOMPARE(gallery.sortField(), QStringLiteral("filePath"));
        QTRY_VERIFY(gallery.outlineModel()->rowCount() >= 3);
        QTRY_COMPARE(visibleTexts(root, QStringLiteral("sectionTitle")), QStringList { m_folder });
        QTRY_VERIFY_WITH_TIMEOUT(allShown(root, m_urls.size()), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(m_urls.cbegin(), m_urls.cend(),
                                     [&](const QUrl& url) {
                                         QQuickItem* cell = cellFor(root, url);
                                         return cell && cell->height() > 0;
                                     }),
            20000);
        QMap<int, QList<QQuickItem*>> rows; // by the top of the cell in the scene
        for (const QUrl& url : qAsConst(m_urls)) {
            QQuickItem* cell = cellFor(root, url);
            QVERIFY(cell);
            rows[qRound(cell->mapToScene(QPointF(0, 0)).y())].append(cell);
        }
        int row = 0;
        for (const QList<QQuickItem*>& cells : qAsConst(rows)) {
            double width = -4;
            for (QQuickItem* cell : cells) {
                QCOMPARE(cell->height(), cells.first()->height());
                width += cell->width() + 4;
            }
            // Every row but the last fills the width of the section (beside the scroll bar).
            if (++row < rows.size())
                QVERIFY2(qAbs(width - rowWidth) < 2, qPrintable(QString::number(width)));
            else
                QVERIFY(width <= rowWidth + 0.5);
        }

        // All closed (a new empty session): no header stays over the empty gallery, neither a
        // day's nor the month's and year's above it.
        gallery.setSortField(QStringLiteral("timestamp"));
        QTRY_COMPARE(visibleTexts(root, QStringLiteral("sectionTitle")).size(), 4);
        Session empty;
        empty.setResolver(&locator);
        gallery.setSource(&empty);
        QCOMPARE(gallery.rowCount(), 0);
        QTRY_COMPARE(visibleTexts(root, QStringLiteral("sectionTitle")), QStringList());
    }

    // An empty gallery says how pictures come in, readable at both window sizes; a full
    // one has a scroll bar, and Home and End make the first or the last picture current
    // with it in view.
    void emptyHintScrollBarAndEnds()
    {
        GalleryOnScreen screen(QStringLiteral("timestamp"));
        auto& [locator, session, gallery, view] = screen;
        QQuickItem* root = screen.show(QSize(1280, 740), 700.0);
        QVERIFY(root);
        QQuickItem* hint = ostra::test::findItem(root, "emptyHint");
        QVERIFY(hint && hint->isVisible());
        for (const QSize size : { QSize(1280, 740), QSize(1920, 1020) }) {
            view.resize(size);
            QTRY_COMPARE(root->width(), qreal(size.width()));
            QTest::qWait(50); // a frame at the new size
            const QStringList faults = ostra::test::readabilityFaults(&view);
            QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
        }

        view.resize(800, 500);
        session.offer(QUrl::fromLocalFile(m_folder), false);
        QTRY_COMPARE_WITH_TIMEOUT(root->property("count").toInt(), m_urls.size(), 20000);
        QVERIFY(!hint->isVisible());
        auto* collection = ostra::test::findItem(root, "galleryCollection");
        QVERIFY(collection);
        QTRY_VERIFY(collection->property("contentHeight").toDouble() > collection->height() + 100);
        QQuickItem* bar = ostra::test::findItem(root, "collectionScrollBar");
        QVERIFY(bar && bar->isVisible());
        // The rows end beside the bar, never under it.
        int cells = 0;
        const QStringList under = ostra::test::cellsUnderScrollBar(collection, &cells);
        QVERIFY2(under.isEmpty(), qPrintable(under.join(' ')));
        QVERIFY(cells > 0);
        QVERIFY(ostra::test::activateWindow(&view));
        collection->forceActiveFocus();
        const auto atBottom = [&] {
            return qAbs(collection->property("contentY").toDouble() + collection->height()
                       - collection->property("contentHeight").toDouble())
                < 1;
        };
        QTest::keyClick(&view, Qt::Key_End);
        QCOMPARE(root->property("currentIndex").toInt(), m_urls.size() - 1);
        QTRY_VERIFY(atBottom());
        QTRY_VERIFY(qAbs(bar->property("position").toDouble() + bar->property("size").toDouble() - 1) < 0.01);
        QTest::keyClick(&view, Qt::Key_Home);
        QCOMPARE(root->property("currentIndex").toInt(), 0);
        QTRY_COMPARE(collection->property("contentY").toDouble(), 0.0);

        // A failed export names the file and the reason, wrapped within its dialog, and
        // Return closes it.
        const QString path = m_dir.filePath("exports/a picture with a long name taken at the lake.jpg");
        QVERIFY(QMetaObject::invokeMethod(&locator, "exportFailed", Q_ARG(QString, path),
            Q_ARG(QString, QStringLiteral("the disk is full"))));
        auto* failure = root->findChild<QObject*>("exportFailure");
        QVERIFY(failure);
        QTRY_VERIFY(failure->property("opened").toBool());
        QQuickItem* failureText = ostra::test::findItem(failure, "exportFailureText");
        QVERIFY(failureText);
        QCOMPARE(failureText->property("text").toString(),
            path + QStringLiteral(" could not be written: the disk is full"));
        const QStringList faults = ostra::test::readabilityFaults(
            &view, {}, 4.5, failure->property("contentItem").value<QQuickItem*>()->parentItem());
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
        QTest::keyClick(&view, Qt::Key_Return);
        QTRY_VERIFY(!failure->property("visible").toBool());
    }

    // A folder open that shows no pictures says so once it is read, and where pictures of
    // its subfolders are: opened without its subfolders, the preference that takes them
    // is named; an empty folder is called empty; with its subfolders, the pictures show.
    void emptyFolderSaysWhy_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("recursive");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("textPart");
        QTest::newRow("pictures in a subfolder") << "card" << false << "No pictures here"
                                                 << "Preferences";
        QTest::newRow("empty folder") << "empty" << true << "No pictures here"
                                      << "holds no pictures.";
        QTest::newRow("subfolders read") << "card" << true << ""
                                         << "";
        QTest::newRow("folder gone") << "gone" << false << "Not found"
                                     << "not there any more";
        QTest::newRow("folder missing when opened") << "never made" << false << "Not found"
                                                    << "not there any more";
    }

    void emptyFolderSaysWhy()
    {
        QFETCH(QString, folder);
        QFETCH(bool, recursive);
        QFETCH(QString, title);
        QFETCH(QString, textPart);
        QVERIFY(QDir().mkpath(m_dir.filePath("card/DCIM/100Z40")));
        QVERIFY(QDir().mkpath(m_dir.filePath("empty")));
        QVERIFY(QDir().mkpath(m_dir.filePath("gone")));
        if (!QFile::exists(m_dir.filePath("gone/IMG_0002.vrx"))) {
            QVERIFY(!ostra::test::PictureFiles::write(
                m_dir.filePath("gone"), "IMG_0002.vrx", ostra::test::PictureFiles::small(6))
                         .isEmpty());
        }
        const QString inside = m_dir.filePath("card/DCIM/100Z40/IMG_0001.vrx");
        if (!QFile::exists(inside)) {
            QVERIFY(!ostra::test::PictureFiles::write(
                m_dir.filePath("card/DCIM/100Z40"), "IMG_0001.vrx", ostra::test::PictureFiles::small(5))
                         .isEmpty());
        }
        GalleryOnScreen screen(QStringLiteral("timestamp"));
        auto& [locator, session, gallery, view] = screen;
        QQuickItem* root = screen.show(QSize(1280, 740));
        QVERIFY(root);
        QQuickItem* hint = ostra::test::findItem(root, "emptyHint");
        QQuickItem* heading = ostra::test::findItem(root, "emptyTitle");
        QQuickItem* text = ostra::test::findItem(root, "emptyText");
        QVERIFY(hint && heading && text);
        QCOMPARE(heading->property("text").toString(), QStringLiteral("No pictures open"));
        QSignalSpy settled(&session, &Session::settled);
        session.offer(QUrl::fromLocalFile(m_dir.filePath(folder)), recursive);
        QTRY_VERIFY_WITH_TIMEOUT(settled.count() > 0 && !session.isReading(), 20000);
        if (title.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(root->property("count").toInt(), 1, 20000);
            QVERIFY(!hint->isVisible());
            return;
        }
        // A folder whose pictures were shown goes away (renamed): its pictures leave, and
        // the hint says the folder is not there, not that it is empty.
        const QString away = m_dir.filePath("gone, renamed");
        const auto putBack = qScopeGuard([&] {
            if (QFileInfo::exists(away))
                QDir().rename(away, m_dir.filePath(folder));
        });
        if (folder == QLatin1String("gone")) {
            QTRY_COMPARE_WITH_TIMEOUT(root->property("count").toInt(), 1, 20000);
            QVERIFY(QDir().rename(m_dir.filePath(folder), away));
            QTRY_COMPARE_WITH_TIMEOUT(root->property("count").toInt(), 0, 20000);
        }
        QTRY_COMPARE(heading->property("text").toString(), title);
        QVERIFY(hint->isVisible());
        QTRY_VERIFY2(text->property("text").toString().contains(textPart),
            qPrintable(text->property("text").toString()));
        QTest::qWait(50); // a frame
        const QStringList faults = ostra::test::readabilityFaults(&view);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
    }

    // A folder with a long path, the gallery sorted by folder: its header names it shortened
    // in the middle, never under the header's buttons, and reads whole at the window sizes
    // people use.
    void longFolderHeaderStaysClearOfItsButtons_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("1280x740") << QSize(1280, 740);
        QTest::newRow("1920x1020") << QSize(1920, 1020);
    }

    void longFolderHeaderStaysClearOfItsButtons()
    {
        QFETCH(QSize, size);
        QString folder = m_dir.path();
        for (const char* part : { "Holidays 2024 - the long trip through the northern islands and fjords",
                 "Day one, arrival at the harbour in the rain and the walk to the old lighthouse",
                 "Second card, pictures of the boats and of the market by the water" })
            folder += QLatin1Char('/') + QLatin1String(part);
        QVERIFY(QDir().mkpath(folder));
        if (!QFile::exists(folder + "/far.vrx")) {
            QVERIFY(!ostra::test::PictureFiles::write(folder, "far.vrx", ostra::test::PictureFiles::small(77))
                         .isEmpty());
        }
        GalleryOnScreen screen(QStringLiteral("filePath"));
        auto& [locator, session, gallery, view] = screen;
        QQuickItem* root = screen.show(size);
        QVERIFY(root);
        session.offer(QUrl::fromLocalFile(folder), false);
        QTRY_COMPARE_WITH_TIMEOUT(root->property("count").toInt(), 1, 20000);
        // The header shown: the folder's parents head no section of their own.
        const std::function<QQuickItem*(QQuickItem*)> shownTitle = [&](QQuickItem* item) -> QQuickItem* {
            if (item->objectName() == QLatin1String("sectionTitle") && item->isVisible())
                return item;
            for (QQuickItem* child : item->childItems()) {
                if (QQuickItem* found = shownTitle(child))
                    return found;
            }
            return nullptr;
        };
        QQuickItem* title = nullptr;
        QTRY_VERIFY((title = shownTitle(root)) != nullptr);
        QTest::qWait(50); // a frame
        QVERIFY(title->property("text").toString().endsWith("by the water"));
        const QRectF titleBox = title->mapRectToScene(QRectF(0, 0, title->width(), title->height()));
        QQuickItem* header = title->parentItem();
        while (header && !header->inherits("QQuickRectangle"))
            header = header->parentItem();
        QVERIFY(header);
        int neighbours = 0;
        QStringList covered;
        std::function<void(QQuickItem*)> visit = [&](QQuickItem* item) {
            for (QQuickItem* child : item->childItems()) {
                if (!child->isVisible())
                    continue;
                if (child->objectName() == QLatin1String("sectionButton")
                    || child->objectName() == QLatin1String("sectionSubtitle")) {
                    ++neighbours;
                    const QRectF box = child->mapRectToScene(QRectF(0, 0, child->width(), child->height()));
                    if (box.intersects(titleBox))
                        covered << child->property("text").toString();
                }
                visit(child);
            }
        };
        visit(header);
        QVERIFY(neighbours >= 4); // the count, select, deselect, collapse
        QVERIFY2(covered.isEmpty(), qPrintable(covered.join(", ")));
        QStringList faults = ostra::test::readabilityFaults(&view, { QStringLiteral("sectionTitle") });
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
        // Titles that fit (the year, month and day of the picture) are shown whole.
        gallery.setSortField(QStringLiteral("timestamp"));
        QTRY_VERIFY((title = shownTitle(root)) != nullptr);
        QTest::qWait(50); // a frame
        faults = ostra::test::readabilityFaults(&view);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
    }
};

OSTRA_TEST_MAIN(TestViewMainGallery)
#include "tst_viewmaingallery.moc"
