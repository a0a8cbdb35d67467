#include <QAbstractItemModelTester>
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

// A list of ratings whose rows move, come and go as a sorted gallery's do.
class RatingList : public QAbstractListModel
{
public:
    explicit RatingList(const QList<int>& ratings)
        : m_ratings(ratings)
    { }
    int rowCount(const QModelIndex& parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : m_ratings.size();
    }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || role != kRating)
            return QVariant();
        return m_ratings.at(index.row());
    }
    QHash<int, QByteArray> roleNames() const override { return { { kRating, "rating" } }; }

    void move(int from, int to)
    {
        if (from == to)
            return;
        beginMoveRows(QModelIndex(), from, from, QModelIndex(), to > from ? to + 1 : to);
        m_ratings.move(from, to);
        endMoveRows();
    }
    void rate(int row, int rating)
    {
        m_ratings[row] = rating;
        emit dataChanged(index(row), index(row), { kRating });
    }
    void insert(int row, int rating)
    {
        beginInsertRows(QModelIndex(), row, row);
        m_ratings.insert(row, rating);
        endInsertRows();
    }
    void remove(int row)
    {
        beginRemoveRows(QModelIndex(), row, row);
        m_ratings.removeAt(row);
        endRemoveRows();
    }
    void reverse()
    {
        emit layoutAboutToBeChanged();
        const QModelIndexList before = persistentIndexList();
        QModelIndexList after;
        for (const QModelIndex& index : before)
            after.append(this->index(m_ratings.size() - 1 - index.row()));
        std::reverse(m_ratings.begin(), m_ratings.end());
        changePersistentIndexList(before, after);
        emit layoutChanged();
    }

private:
    QList<int> m_ratings;
};

// Whether the selection holds one rating, and which, from the model's own values.
QPair<bool, int> commonRating(const QAbstractItemModel& model, const QItemSelectionModel& selection)
{
    QSet<int> values;
    for (int row = 0; row < model.rowCount(); ++row) {
        if (selection.isSelected(model.index(row, 0)))
            values.insert(model.index(row, 0).data(kRating).toInt());
    }
    return { values.size() == 1, values.size() == 1 ? *values.cbegin() : -1 };
}

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

    // The counts follow rows that move, change, come and go without counting the whole
    // selection again: checked at once (no turn of the event loop) after each change, and
    // then by taking the selected rows out one by one, each step showing a count that is
    // too high or too low.
    void countsFollowTheRows_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("selected row moves down") << "move 1 6";
        QTest::newRow("selected row moves up") << "move 6 0";
        QTest::newRow("unselected row moves into the selection") << "move 7 2";
        QTest::newRow("selected rating changes") << "rate 2 5";
        QTest::newRow("selected rating changes, then the row moves") << "rate 1 5;move 1 7";
        QTest::newRow("unselected rating changes") << "rate 0 2";
        QTest::newRow("row inserted inside the selection") << "insert 2 5";
        QTest::newRow("selected row removed") << "remove 6";
        QTest::newRow("rows reversed") << "reverse";
        QTest::newRow("all in turn") << "move 1 6;rate 5 3;insert 0 4;remove 3;reverse;move 0 7";
    }

    void countsFollowTheRows()
    {
        QFETCH(QString, change);
        // Rows 1, 2, 4 and 6 selected: ratings 3, 3, 1, 3.
        RatingList model({ 2, 3, 3, 2, 1, 4, 3, 5 });
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QItemSelectionModel selection(&model);
        SelectionAggregator aggregator;
        aggregator.setModel(&model);
        aggregator.setSelectionModel(&selection);
        aggregator.setRoleName("rating");
        for (int row : { 1, 2, 4, 6 })
            selection.select(model.index(row, 0), QItemSelectionModel::Select);
        QVERIFY(!aggregator.defined());

        for (const QString& step : change.split(QLatin1Char(';'))) {
            const QStringList words = step.split(QLatin1Char(' '));
            if (words[0] == "move")
                model.move(words[1].toInt(), words[2].toInt());
            else if (words[0] == "rate")
                model.rate(words[1].toInt(), words[2].toInt());
            else if (words[0] == "insert")
                model.insert(words[1].toInt(), words[2].toInt());
            else if (words[0] == "remove")
                model.remove(words[1].toInt());
            else
                model.reverse();
            const auto expected = commonRating(model, selection);
            QCOMPARE(aggregator.defined(), expected.first);
            if (expected.first)
                QCOMPARE(aggregator.value().toInt(), expected.second);
        }
        QVERIFY(selection.hasSelection());
        for (int row = 0; row < model.rowCount(); ++row) {
            if (!selection.isSelected(model.index(row, 0)))
                continue;
            selection.select(model.index(row, 0), QItemSelectionModel::Deselect);
            const auto expected = commonRating(model, selection);
            QCOMPARE(aggregator.defined(), expected.first);
            if (expected.first)
                QCOMPARE(aggregator.value().toInt(), expected.second);
        }
        QVERIFY(!aggregator.defined());
    }
};

OSTRA_TEST_MAIN_CORE(TestSelectionAggregator)
#include "tst_selectionaggregator.moc"
