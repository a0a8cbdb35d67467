#include <QQuickItem>
#include <QStandardItemModel>
#include <QtTest>

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
};

OSTRA_TEST_MAIN(TestFairPartitioner)
#include "tst_fairpartitioner.moc"
