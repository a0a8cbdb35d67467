#include <QItemSelectionModel>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QtTest>

#include "library/selectionaggregator.h"
#include "support/testmain.h"

namespace {

constexpr int kRating = Qt::UserRole + 1;

class RatedModel : public QStandardItemModel
{
public:
    explicit RatedModel(const QList<int>& ratings)
    {
        for (int rating : ratings) {
            auto* item = new QStandardItem();
            item->setData(rating, kRating);
            appendRow(item);
        }
    }
    QHash<int, QByteArray> roleNames() const override { return { { kRating, "rating" } }; }
};

} // namespace

class TestSelectionAggregator : public QObject
{
    Q_OBJECT

private slots:
    void commonValue()
    {
        RatedModel model({ 3, 3, 3, 5, 3 });
        QItemSelectionModel selection(&model);
        SelectionAggregator aggregator;
        aggregator.setModel(&model);
        aggregator.setSelectionModel(&selection);
        aggregator.setRoleName("rating");
        selection.select(QItemSelection(model.index(0, 0), model.index(2, 0)), QItemSelectionModel::Select);
        QVERIFY(aggregator.defined());
        QCOMPARE(aggregator.value().toInt(), 3);
        selection.select(model.index(3, 0), QItemSelectionModel::Select);
        QVERIFY(!aggregator.defined());
        QCOMPARE(aggregator.value().toInt(), 3);

        // Another role changing leaves the counts; the rating changing counts again.
        model.setData(model.index(3, 0), "x", Qt::DisplayRole);
        QVERIFY(!aggregator.defined());
        model.setData(model.index(3, 0), 3, kRating);
        QTRY_VERIFY(aggregator.defined());

        selection.clear();
        QVERIFY(!aggregator.defined());
    }

    // Attached to a selection that already exists, the aggregator counts it, so taking
    // cells out later never leaves stale or negative counts; rows removed one by one are
    // counted once, when the model has settled.
    void attachedLate()
    {
        RatedModel model({ 4, 4, 2, 2, 4 });
        QItemSelectionModel selection(&model);
        selection.select(QItemSelection(model.index(0, 0), model.index(3, 0)), QItemSelectionModel::Select);
        SelectionAggregator aggregator;
        aggregator.setRoleName("rating");
        aggregator.setSelectionModel(&selection);
        aggregator.setModel(&model);
        QVERIFY(!aggregator.defined());
        selection.select(QItemSelection(model.index(2, 0), model.index(3, 0)), QItemSelectionModel::Deselect);
        QVERIFY(aggregator.defined());
        QCOMPARE(aggregator.value().toInt(), 4);

        selection.select(model.index(3, 0), QItemSelectionModel::Select);
        QVERIFY(!aggregator.defined());
        model.removeRow(3);
        QTest::qWait(0);
        QVERIFY(aggregator.defined());
        QCOMPARE(aggregator.value().toInt(), 4);
    }
};

OSTRA_TEST_MAIN_CORE(TestSelectionAggregator)
#include "tst_selectionaggregator.moc"
