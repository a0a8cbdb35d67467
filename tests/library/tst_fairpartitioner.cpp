#include <QAbstractItemModelTester>
#include <QQuickItem>
#include <QStandardItemModel>
#include <QStringListModel>
#include <QtTest>

#include <memory>

#include "library/cellwindow.h"
#include "library/fairpartitioner.h"
#include "support/testmain.h"

namespace {

// The rows of a layout: runs of equal heights, in order.
QList<QList<int>> rowsOf(const QVector<QSizeF>& sizes)
{
    QList<QList<int>> rows;
    for (int i = 0; i < sizes.size(); ++i) {
        if (rows.isEmpty() || qAbs(sizes[rows.last().first()].height() - sizes[i].height()) > 1e-9)
            rows.append(QList<int>());
        rows.last().append(i);
    }
    return rows;
}

// The source rows a window shows, read through it.
QStringList shown(const CellWindow& window)
{
    QStringList texts;
    for (int row = 0; row < window.rowCount(); ++row)
        texts.append(window.index(row, 0).data().toString());
    return texts;
}

QStringList numbers(int first, int last)
{
    QStringList texts;
    for (int i = first; i <= last; ++i)
        texts.append(QString::number(i));
    return texts;
}

// A list that tells of its new length while its rows are still being inserted or removed,
// as a section does when the gallery changes: whoever listens may ask for rows then.
class ChattyList : public QAbstractListModel
{
    Q_OBJECT
public:
    QStringList texts;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : texts.size();
    }
    QVariant data(const QModelIndex& index, int role) const override
    {
        return role == Qt::DisplayRole && index.row() < texts.size() ? texts.at(index.row()) : QVariant();
    }
    void insert(int row, const QString& text)
    {
        beginInsertRows(QModelIndex(), row, row);
        texts.insert(row, text);
        emit lengthChanged();
        endInsertRows();
    }
    void remove(int row)
    {
        beginRemoveRows(QModelIndex(), row, row);
        texts.removeAt(row);
        emit lengthChanged();
        endRemoveRows();
    }
signals:
    void lengthChanged();
};

// What a view shows of a model: each row's text read when the row came, as a view's
// delegates do, and read again only when the model says it changed.
class EagerView : public QObject
{
public:
    QStringList texts;
    explicit EagerView(QAbstractItemModel* model)
    {
        const auto read = [model](int row) { return model->index(row, 0).data().toString(); };
        connect(model, &QAbstractItemModel::rowsInserted, this,
            [this, read](const QModelIndex&, int first, int last) {
                for (int row = first; row <= last; ++row)
                    texts.insert(row, read(row));
            });
        connect(
            model, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex&, int first, int last) {
                texts.erase(texts.begin() + first, texts.begin() + last + 1);
            });
        connect(model, &QAbstractItemModel::dataChanged, this,
            [this, read](const QModelIndex& from, const QModelIndex& to) {
                for (int row = from.row(); row <= to.row(); ++row)
                    texts[row] = read(row);
            });
        connect(model, &QAbstractItemModel::modelReset, this, [this, model, read] {
            texts.clear();
            for (int row = 0; row < model->rowCount(); ++row)
                texts.append(read(row));
        });
    }
};

} // namespace

class TestFairPartitioner : public QObject
{
    Q_OBJECT

private slots:
    void rows_data()
    {
        QTest::addColumn<QVector<QSize>>("natural");
        QTest::addColumn<double>("width");
        QTest::addColumn<int>("zero"); // the index of a picture without a size, or -1
        QVector<QSize> mixed;
        for (int i = 0; i < 40; ++i)
            mixed.append(QList<QSize>({ { 4, 3 }, { 3, 4 }, { 16, 9 }, { 1, 1 }, { 3, 2 } })[(i * 7) % 5]);
        QTest::newRow("mixed, wide") << mixed << 1900.0 << -1;
        QTest::newRow("mixed, narrow") << mixed << 500.0 << -1;
        QVector<QSize> unreadable = mixed;
        unreadable[17] = QSize(0, 0);
        QTest::newRow("an unreadable picture") << unreadable << 1200.0 << 17;
        unreadable[17] = QSize(4, 0);
        QTest::newRow("a picture without a height") << unreadable << 1200.0 << 17;
    }

    // Every row shares one height, fills the width without passing it, and keeps each
    // picture's aspect ratio (an unreadable one is 4:3); only the last row may fall short.
    void rows()
    {
        QFETCH(QVector<QSize>, natural);
        QFETCH(double, width);
        QFETCH(int, zero);
        const double spacing = 4;
        const QVector<QSizeF> sizes = FairPartitioner::layout(natural, width, spacing, 220, 0.5, 2.0);
        const QList<QList<int>> rows = rowsOf(sizes);
        QVERIFY(rows.size() > 1);
        for (int r = 0; r < rows.size(); ++r) {
            double x = -spacing;
            for (int i : rows[r]) {
                x += sizes[i].width() + spacing;
                const QSize n = i == zero ? QSize(4, 3) : natural[i];
                if (i != rows[r].last())
                    QVERIFY(
                        qAbs(sizes[i].width() / sizes[i].height() - double(n.width()) / n.height()) < 1e-9);
            }
            QVERIFY2(x <= width - 0.5 + 1e-6, qPrintable(QString::number(x)));
            if (r + 1 < rows.size())
                QVERIFY2(x >= width - 0.5 - 1e-6, qPrintable(QString::number(x)));
        }
    }

    // Few pictures are not blown up past the cap; a last row that would need more takes
    // the previous row's height.
    void capping()
    {
        const QVector<QSizeF> three
            = FairPartitioner::layout({ { 4, 3 }, { 4, 3 }, { 3, 4 } }, 3000, 0, 220, 0.5, 2.0);
        for (const QSizeF& size : three)
            QCOMPARE(size.height(), 440.0);
        // Three portraits that would need more than the cap to fill a row keep to it.
        const QVector<QSizeF> sizes = FairPartitioner::layout(
            { { 3, 4 }, { 3, 4 }, { 3, 4 }, { 16, 9 }, { 4, 3 }, { 16, 9 } }, 1000, 0, 220, 0.5, 2.0);
        const QList<QList<int>> rows = rowsOf(sizes);
        QCOMPARE(rows, QList<QList<int>>({ { 0, 1, 2 }, { 3, 4, 5 } }));
        QCOMPARE(sizes[0].height(), 440.0);
        QVERIFY(sizes[0].width() * 3 < 1000);
        QVERIFY(qAbs(sizes[3].width() + sizes[4].width() + sizes[5].width() - 999.5) < 1e-6);
    }

    // On real items: the children are sized, the Repeater (last child) is left alone, and a
    // child count that does not match the model leaves the sizes as they were.
    void sizesItems()
    {
        QStandardItemModel model;
        QQuickItem target;
        for (int i = 0; i < 6; ++i) {
            auto* row = new QStandardItem();
            row->setData(i == 2 ? QSize() : QSize(3 + i % 2, 3), Qt::SizeHintRole);
            model.appendRow(row);
            (new QQuickItem(&target))->setParentItem(&target);
        }
        auto* repeater = new QQuickItem(&target);
        repeater->setParentItem(&target);
        FairPartitioner partitioner;
        partitioner.setWidth(600);
        partitioner.setTarget(&target);
        partitioner.setItemParent(&target);
        partitioner.setModel(&model);
        const QList<QQuickItem*> children = target.childItems();
        QCOMPARE(partitioner.sizes().size(), 6);
        for (int i = 0; i < 6; ++i)
            QCOMPARE(children[i]->size(), partitioner.sizes()[i]);
        QCOMPARE(repeater->size(), QSizeF(0, 0));

        model.appendRow(new QStandardItem());
        model.setData(model.index(0, 0), QSize(10, 1), Qt::SizeHintRole);
        QCOMPARE(children[0]->size(), partitioner.sizes()[0]); // not laid out again
        QSignalSpy widths(&partitioner, &FairPartitioner::rowWidthChanged);
        partitioner.setWidth(600 * (1 + 1e-14));
        QCOMPARE(widths.count(), 0);
    }

    // A window over a list shows the rows asked for, as far as the list has them; moving it
    // keeps the rows that stay (a view's items for them stay), and the list's own changes
    // come through: rows before the window shift it, rows inside it join or leave it.
    void windowShowsItsRows()
    {
        QStringListModel list(numbers(0, 49));
        CellWindow window;
        QAbstractItemModelTester tester(&window, QAbstractItemModelTester::FailureReportingMode::QtTest);
        window.setSourceModel(&list);
        QCOMPARE(window.rowCount(), 0);
        window.setRange(10, 19);
        QCOMPARE(shown(window), numbers(10, 19));
        QCOMPARE(window.first(), 10);
        QPersistentModelIndex kept = window.index(5, 0); // "15"
        QSignalSpy firstChanged(&window, &CellWindow::firstChanged);

        window.setRange(13, 24); // forward, overlapping
        QCOMPARE(shown(window), numbers(13, 24));
        QCOMPARE(kept.row(), 2);
        QCOMPARE(firstChanged.count(), 1);
        window.setRange(8, 16); // back, overlapping
        QCOMPARE(shown(window), numbers(8, 16));
        QCOMPARE(kept.row(), 7);
        window.setRange(40, 80); // away, past the end
        QCOMPARE(shown(window), numbers(40, 49));
        QVERIFY(!kept.isValid());
        window.setRange(5, 4); // none
        QCOMPARE(window.rowCount(), 0);
        window.setRange(20, 29);
        kept = window.index(0, 0); // "20"

        list.insertRows(3, 2); // before: the window shifts with its rows
        QCOMPARE(shown(window), numbers(20, 29));
        QCOMPARE(window.first(), 22);
        QCOMPARE(kept.row(), 0);
        list.insertRows(25, 1); // inside: joins
        QCOMPARE(window.rowCount(), 11);
        QCOMPARE(window.index(3, 0).data().toString(), QString());
        list.removeRows(25, 1);
        QCOMPARE(shown(window), numbers(20, 29));
        list.insertRows(32, 3); // right after: not in it
        QCOMPARE(shown(window), numbers(20, 29));
        list.removeRows(32, 3);
        list.removeRows(0, 5); // before, with the two inserted: back where it was
        QCOMPARE(window.first(), 17);
        QCOMPARE(shown(window), (QStringList { "20", "21", "22", "23", "24", "25", "26", "27", "28", "29" }));
        list.removeRows(15, 4); // across its start
        QCOMPARE(window.first(), 15);
        QCOMPARE(shown(window), numbers(22, 29));
        list.removeRows(18, 10); // across its end
        QCOMPARE(shown(window), numbers(22, 24));
        QVERIFY(!kept.isValid());
        // A move or a re-sort shows the window afresh; a new range after it works as ever.
        list.setStringList(numbers(0, 9));
        QCOMPARE(window.rowCount(), 0);
        window.setRange(2, 5);
        QCOMPARE(shown(window), numbers(2, 5));
        list.moveRows(QModelIndex(), 0, 1, QModelIndex(), 9);
        QCOMPARE(shown(window), numbers(3, 6));
        list.sort(0, Qt::DescendingOrder);
        QCOMPARE(window.rowCount(), 4);
        QCOMPARE(window.index(0, 0).data(), list.index(window.first(), 0).data());
        window.setSourceModel(nullptr);
        QCOMPARE(window.rowCount(), 0);
    }

    // The layout may ask for another range while the source is still inserting or removing
    // rows (a section tells its new length before its rows are counted in): the window takes
    // the range once the source has settled, so a view never shows one picture in
    // another's place.
    void rangeAskedWhileTheSourceChanges_data()
    {
        QTest::addColumn<QList<int>>("inserts"); // rows where pictures come, in turn
        QTest::addColumn<int>("removed"); // then the row that goes, or -1
        QTest::newRow("each before the last") << QList<int> { 0, 0, 0 } << -1;
        QTest::newRow("each at the end") << QList<int> { 0, 1, 2 } << -1;
        QTest::newRow("into the middle") << QList<int> { 0, 1, 1, 0, 2 } << -1;
        QTest::newRow("then the first goes") << QList<int> { 0, 0, 1 } << 0;
        QTest::newRow("then the last goes") << QList<int> { 0, 1, 0 } << 2;
    }
    void rangeAskedWhileTheSourceChanges()
    {
        QFETCH(QList<int>, inserts);
        QFETCH(int, removed);
        ChattyList list;
        CellWindow window;
        window.setSourceModel(&list);
        QAbstractItemModelTester tester(&window, QAbstractItemModelTester::FailureReportingMode::QtTest);
        EagerView view(&window);
        // The layout shows every row, asking as soon as the length changes.
        connect(
            &list, &ChattyList::lengthChanged, &window, [&] { window.setRange(0, list.texts.size() - 1); });
        for (int i = 0; i < inserts.size(); ++i) {
            list.insert(inserts.at(i), QStringLiteral("G%1").arg(i));
            QCOMPARE(view.texts, shown(window));
            QCOMPARE(view.texts, list.texts);
        }
        if (removed >= 0) {
            list.remove(removed);
            QCOMPARE(view.texts, shown(window));
            QCOMPARE(view.texts, list.texts);
        }
    }

    // Every row of the model gets its place from the size hints alone, placed as a Flow
    // would; the window holds the rows that meet the view, and the target's items (the
    // window's rows, a Repeater last) are placed as those rows.
    void windowFollowsTheView()
    {
        QStandardItemModel model;
        for (int i = 0; i < 120; ++i) {
            auto* row = new QStandardItem(QString::number(i));
            row->setData(QSize(i % 3 ? 4 : 3, 3), Qt::SizeHintRole);
            model.appendRow(row);
        }
        CellWindow window;
        window.setSourceModel(&model);
        QAbstractItemModelTester tester(&window, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QQuickItem target;
        FairPartitioner partitioner;
        partitioner.setWidth(900);
        partitioner.setSpacing(4);
        partitioner.setBaseRowHeight(200);
        partitioner.setWindow(&window);
        partitioner.setViewTop(1000);
        partitioner.setViewBottom(1500);
        partitioner.setModel(&model);
        const QVector<QRectF>& places = partitioner.places();
        QCOMPARE(places.size(), 120);
        QCOMPARE(places, FairPartitioner::flow(partitioner.sizes(), 900, 4));
        QVERIFY(partitioner.contentHeight() > 5000);
        QCOMPARE(partitioner.contentHeight(), places.last().bottom());
        const auto meets = [&](int row, double top, double bottom) {
            return places[row].bottom() >= top && places[row].top() <= bottom;
        };
        const auto check = [&](double top, double bottom) {
            QVERIFY(window.rowCount() > 0);
            for (int row = 0; row < 120; ++row) {
                const bool in = row >= window.first() && row < window.first() + window.rowCount();
                QCOMPARE(in, meets(row, top, bottom));
            }
        };
        check(1000, 1500);
        QVERIFY(window.rowCount() < 40);
        partitioner.setViewTop(4000);
        partitioner.setViewBottom(4300);
        check(4000, 4300);
        partitioner.setViewTop(-1e9);
        partitioner.setViewBottom(-10);
        QCOMPARE(window.rowCount(), 0);
        partitioner.setViewBottom(1e9);
        QCOMPARE(window.rowCount(), 120);

        // The target's items are placed as the window's rows.
        partitioner.setViewTop(1000);
        partitioner.setViewBottom(1500);
        std::vector<std::unique_ptr<QQuickItem>> items;
        for (int i = 0; i < window.rowCount(); ++i) {
            items.push_back(std::make_unique<QQuickItem>());
            items.back()->setParentItem(&target);
        }
        QQuickItem repeater(&target);
        partitioner.setTarget(&target);
        partitioner.place();
        for (int i = 0; i < int(items.size()); ++i)
            QCOMPARE(
                QRectF(items[size_t(i)]->position(), items[size_t(i)]->size()), places[window.first() + i]);
        // A size that changes lays the rows out again at once.
        model.setData(model.index(window.first(), 0), QSize(1, 3), Qt::SizeHintRole);
        QCOMPARE(partitioner.places()[window.first()].size(), partitioner.sizes()[window.first()]);
        QCOMPARE(items[0]->size(), partitioner.sizes()[window.first()]);
    }
};

OSTRA_TEST_MAIN(TestFairPartitioner)
#include "tst_fairpartitioner.moc"
