#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSize>
#include <QtTest>

#include <algorithm>

#include "core/progressmodel.h"
#include "library/activesession.h"
#include "library/selectionaggregator.h"
#include "library/session.h"
#include "library/spineoutline.h"
#include "library/spinesection.h"
#include "support/testmain.h"
#include "support/testresolver.h"

using ostra::test::TestResolver;

namespace {

QUrl file(int i)
{
    return QUrl::fromLocalFile(QStringLiteral("/lib/%1/f%2.vrx").arg(i % 3).arg(i, 3, 10, QChar('0')));
}

QDateTime at(int i)
{
    return QDateTime(QDate(2022, 1 + i % 12, 1 + i % 27), QTime(i % 24, i % 60));
}

QSet<QUrl> asSet(const QList<QUrl>& list)
{
    return QSet<QUrl>(list.begin(), list.end());
}

} // namespace

class TestActiveSession : public QObject
{
    Q_OBJECT

private:
    TestResolver* m_resolver = nullptr;
    ActiveSession* m_gallery = nullptr;
    QAbstractItemModelTester* m_tester = nullptr;

    void fill(int count)
    {
        for (int i = 0; i < count; ++i) {
            m_resolver->setRow(file(i), TestResolver::imageRow(file(i), at(i), i % 4, 100 + i, 10));
            m_gallery->insertUrl(file(i));
        }
    }

    // Twenty files, file i shot i minutes after the first, rated i / 5: sorted by rating,
    // file i is row i.
    void fillInRatingRuns()
    {
        const QDateTime first(QDate(2023, 3, 4), QTime(9, 0));
        for (int i = 0; i < 20; ++i) {
            m_resolver->setRow(file(i), TestResolver::imageRow(file(i), first.addSecs(60 * i), i / 5));
            m_gallery->insertUrl(file(i));
        }
    }

    // Every row's state in the selection model, the files and the size the gallery reports,
    // all against the files expected.
    void checkSelection(const QSet<QUrl>& expected)
    {
        for (int row = 0; row < m_gallery->rowCount(); ++row)
            QCOMPARE(m_gallery->selectionModel()->isSelected(m_gallery->index(row, 0)),
                expected.contains(m_gallery->urlAt(row)));
        QCOMPARE(asSet(m_gallery->selectedFiles()), expected);
        QCOMPARE(m_gallery->selectionSize(), expected.size());
    }

    void select(const QList<int>& rows)
    {
        for (int row : rows)
            m_gallery->selectionModel()->select(m_gallery->index(row, 0), QItemSelectionModel::Select);
    }

private slots:
    void init()
    {
        m_resolver = new TestResolver;
        m_gallery = new ActiveSession;
        m_gallery->setResolver(m_resolver);
        m_tester
            = new QAbstractItemModelTester(m_gallery, QAbstractItemModelTester::FailureReportingMode::QtTest);
    }

    void cleanup()
    {
        delete m_tester;
        delete m_gallery;
        delete m_resolver;
    }

    void selectionIsReadByRanges()
    {
        fill(10);
        // Not enabled cells are invisible to selectedIndexes(); the gallery still sees them.
        select({ 1, 2, 3, 7 });
        QVERIFY(m_gallery->selectionModel()->selectedIndexes().isEmpty());
        QCOMPARE(m_gallery->selectionSize(), 4);
        QCOMPARE(m_gallery->selectedIndices().size(), 4);
        QSet<QUrl> expected;
        double area = 0;
        for (int row : { 1, 2, 3, 7 }) {
            expected.insert(m_gallery->urlAt(row));
            area += m_gallery->data(m_gallery->index(row, 0), IResolver::LargeDimension).toInt() * 10;
        }
        QCOMPARE(asSet(m_gallery->selectedFiles()), expected);
        QCOMPARE(m_gallery->selectedPixelArea(), area);
        QVERIFY(area > 4000);

        m_gallery->selectAll();
        QCOMPARE(m_gallery->selectionSize(), 10);
        // The pixel area of a selection of large pictures passes 32 bits.
        const double all = m_gallery->selectedPixelArea();
        m_resolver->setValue(file(0), IResolver::LargeDimension, 100000);
        m_resolver->setValue(file(0), IResolver::SmallDimension, 60000);
        QCOMPARE(m_gallery->selectedPixelArea(), all - 100 * 10 + 6e9);
    }

    // The same files stay selected, and the same file current, whatever the order: through
    // re-sorts, and through single rows moved or removed by header changes.
    void selectionSurvivesReordering()
    {
        fill(60);
        QRandomGenerator random(11);
        QSet<QUrl> chosen;
        for (int i = 0; i < 25; ++i) {
            const int row = int(random.bounded(60));
            m_gallery->selectionModel()->select(m_gallery->index(row, 0), QItemSelectionModel::Select);
            chosen.insert(m_gallery->urlAt(row));
        }
        m_gallery->setCurrentIndex(m_gallery->index(17, 0));
        const QUrl currentUrl = m_gallery->urlAt(17);
        QSignalSpy selectionSize(m_gallery, &ActiveSession::selectionSizeChanged);
        const auto sameSelection = [&] {
            QCOMPARE(asSet(m_gallery->selectedFiles()), chosen);
            QCOMPARE(m_gallery->selectionSize(), chosen.size());
            QCOMPARE(m_gallery->urlAt(m_gallery->currentIndex()), currentUrl);
        };

        for (const char* field : { "timestamp", "filePath", "unknown", "rating" }) {
            const QList<QUrl> before = m_gallery->list();
            m_gallery->setSortField(QString::fromLatin1(field));
            sameSelection();
            QCOMPARE(asSet(m_gallery->list()), asSet(before));
            // Restored as one merged selection: one range per run of adjacent rows.
            int runs = 0;
            for (int row = 0; row < m_gallery->rowCount(); ++row)
                runs += chosen.contains(m_gallery->urlAt(row))
                    && (row == 0 || !chosen.contains(m_gallery->urlAt(row - 1)));
            QCOMPARE(m_gallery->selectionModel()->selection().size(), runs);
        }
        QVERIFY(selectionSize.count() > 0);

        for (int step = 0; step < 120; ++step) {
            const QUrl url = file(int(random.bounded(60)));
            if (!m_gallery->isOffered(url))
                continue;
            if (step % 10 == 9 && url != currentUrl) {
                m_gallery->removeUrl(url);
                chosen.remove(url);
            } else {
                m_resolver->setValue(url, IResolver::Rating, int(random.bounded(6)));
            }
            sameSelection();
            // Still sorted by rating.
            for (int row = 1; row < m_gallery->rowCount(); ++row)
                QVERIFY(m_gallery->data(m_gallery->index(row - 1, 0), IResolver::Rating).toInt()
                    <= m_gallery->data(m_gallery->index(row, 0), IResolver::Rating).toInt());
        }
        // The first row, selected, moved away by its rating keeps its selection.
        const QUrl first = m_gallery->urlAt(0);
        m_gallery->selectionModel()->select(m_gallery->index(0, 0), QItemSelectionModel::Select);
        chosen.insert(first);
        m_resolver->setValue(first, IResolver::Rating, 5);
        QVERIFY(m_gallery->urlAt(0) != first);
        sameSelection();
        // Unknown fields sort by URL text.
        m_gallery->setSortField(QStringLiteral("nothing"));
        QList<QUrl> byText = m_gallery->list();
        std::sort(byText.begin(), byText.end(),
            [](const QUrl& a, const QUrl& b) { return a.toString() < b.toString(); });
        QCOMPARE(m_gallery->list(), byText);
    }

    // The selection's common rating as the page shows it, checked at once after a selected
    // or unselected file's rating changes (moving it under "rating", keeping its row under
    // "timestamp") and after a re-sort; then the files are deselected one by one, so a
    // count that is too high or too low shows at some step.
    void commonRatingFollowsChanges_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QList<int>>("changes"); // pairs: file number, new rating
        QTest::newRow("selected file moves down")
            << "rating" << QList<int> { 0, 1, 2, 3, 4, 5 } << QList<int> { 1, 3 };
        QTest::newRow("selected file moves up")
            << "rating" << QList<int> { 7, 11, 15, 19, 3 } << QList<int> { 19, 0 };
        QTest::newRow("unselected file moves through the selection")
            << "rating" << QList<int> { 2, 6, 10, 14, 18 } << QList<int> { 3, 0, 3, 2 };
        QTest::newRow("scattered, several changes") << "rating" << QList<int> { 0, 2, 4, 6, 8, 10, 12, 14 }
                                                    << QList<int> { 4, 1, 8, 1, 0, 3, 5, 0, 4, 2 };
        QTest::newRow("rating changes in place")
            << "timestamp" << QList<int> { 1, 5, 9, 13 } << QList<int> { 5, 1, 9, 1 };
        QTest::newRow("re-sorted between changes")
            << "rating" << QList<int> { 0, 4, 8, 12, 16 } << QList<int> { 8, 0, -1, -1, 4, 0 };
    }

    void commonRatingFollowsChanges()
    {
        QFETCH(QString, field);
        QFETCH(QList<int>, selected);
        QFETCH(QList<int>, changes);
        fill(20);
        m_gallery->setSortField(field);
        SelectionAggregator aggregator;
        aggregator.setModel(m_gallery);
        aggregator.setSelectionModel(m_gallery->selectionModel());
        aggregator.setRoleName(QStringLiteral("rating"));
        const auto check = [&] {
            QSet<int> ratings;
            for (const QUrl& url : m_gallery->selectedFiles())
                ratings.insert(m_resolver->rowFor(url).value(IResolver::Rating).toInt());
            QCOMPARE(aggregator.defined(), ratings.size() == 1);
            if (ratings.size() == 1)
                QCOMPARE(aggregator.value().toInt(), *ratings.cbegin());
        };
        for (int i : selected)
            m_gallery->selectionModel()->select(
                m_gallery->index(m_gallery->list().indexOf(file(i)), 0), QItemSelectionModel::Select);
        check();
        for (int i = 0; i + 1 < changes.size(); i += 2) {
            if (changes[i] < 0)
                m_gallery->setSortField(m_gallery->sortField() == "rating" ? "filePath" : "rating");
            else
                m_resolver->setValue(file(changes[i]), IResolver::Rating, changes[i + 1]);
            check();
        }
        QCOMPARE(m_gallery->selectionSize(), selected.size());
        for (int i : selected) {
            m_gallery->selectionModel()->select(
                m_gallery->index(m_gallery->list().indexOf(file(i)), 0), QItemSelectionModel::Deselect);
            check();
        }
        QVERIFY(!aggregator.defined());
    }

    // One file's rating changes with part of the gallery selected: the same files stay
    // selected (read back from the selection model row by row), the same file current,
    // each rating's section holds its files in row order, and the common rating is right.
    // A row that keeps its place is not moved; a selection that the move cannot disturb
    // is not touched at all (no selection signal).
    void ratingChangeKeepsTheSelection_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<int>("changed");
        QTest::addColumn<int>("rating");
        QTest::addColumn<bool>("moves");
        QTest::addColumn<bool>("untouched");
        QTest::newRow("selected alone, moves down")
            << "rating" << QList<int> { 1, 3, 12 } << 1 << 3 << true << true;
        QTest::newRow("selected alone, moves up")
            << "rating" << QList<int> { 2, 16, 18 } << 16 << 0 << true << true;
        QTest::newRow("selected alone, lands in a selected block")
            << "rating" << QList<int> { 0, 10, 11, 12, 13, 14 } << 0 << 2 << true << true;
        QTest::newRow("first of a selected block moves away")
            << "rating" << QList<int> { 5, 6, 7, 8, 9 } << 5 << 3 << true << false;
        QTest::newRow("last of a selected block moves away")
            << "rating" << QList<int> { 5, 6, 7, 8, 9 } << 9 << 0 << true << false;
        QTest::newRow("inside a selected block moves away")
            << "rating" << QList<int> { 5, 6, 7, 8, 9 } << 7 << 0 << true << false;
        QTest::newRow("unselected lands inside a selected block")
            << "rating" << QList<int> { 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17 } << 0 << 2 << true
            << false;
        QTest::newRow("unselected lands after a selected block")
            << "rating" << QList<int> { 17, 18, 19 } << 0 << 5 << true << true;
        QTest::newRow("unselected lands before a selected block")
            << "rating" << QList<int> { 10, 11 } << 0 << 2 << true << true;
        QTest::newRow("unselected passes a selected block")
            << "rating" << QList<int> { 4, 5, 6, 7 } << 2 << 3 << true << true;
        QTest::newRow("section changes, row stays")
            << "rating" << QList<int> { 1, 7 } << 4 << 1 << false << true;
        QTest::newRow("selected, section changes, row stays")
            << "rating" << QList<int> { 3, 4, 5 } << 4 << 1 << false << true;
        QTest::newRow("sorted by time: rating changes in place")
            << "timestamp" << QList<int> { 1, 5, 9 } << 5 << 3 << false << true;
    }

    void ratingChangeKeepsTheSelection()
    {
        QFETCH(QString, field);
        QFETCH(QList<int>, selected);
        QFETCH(int, changed);
        QFETCH(int, rating);
        QFETCH(bool, moves);
        QFETCH(bool, untouched);
        fillInRatingRuns();
        m_gallery->setSortField(QStringLiteral("rating"));
        std::vector<std::unique_ptr<SpineSection>> sections;
        std::vector<std::unique_ptr<QAbstractItemModelTester>> testers;
        for (int r = 0; r < 6; ++r) {
            sections.push_back(std::make_unique<SpineSection>());
            sections.back()->setSource(m_gallery);
            sections.back()->setBranch({ r });
            testers.push_back(std::make_unique<QAbstractItemModelTester>(
                sections.back().get(), QAbstractItemModelTester::FailureReportingMode::QtTest));
        }
        SelectionAggregator aggregator;
        aggregator.setModel(m_gallery);
        aggregator.setSelectionModel(m_gallery->selectionModel());
        aggregator.setRoleName(QStringLiteral("rating"));
        QCOMPARE(m_gallery->urlAt(changed), file(changed));
        QSet<QUrl> expected;
        for (int row : selected) {
            m_gallery->selectionModel()->select(m_gallery->index(row, 0), QItemSelectionModel::Select);
            expected.insert(file(row));
        }
        m_gallery->setCurrentIndex(m_gallery->index(changed, 0));
        m_gallery->setSortField(field);
        checkSelection(expected);

        QSignalSpy moved(m_gallery, &QAbstractItemModel::rowsMoved);
        QSignalSpy selectionChanged(m_gallery->selectionModel(), &QItemSelectionModel::selectionChanged);
        const int before = m_gallery->list().indexOf(file(changed));
        m_resolver->setValue(file(changed), IResolver::Rating, rating);
        QCOMPARE(moved.count(), moves ? 1 : 0);
        QCOMPARE(m_gallery->list().indexOf(file(changed)) != before, moves);
        if (untouched)
            QCOMPARE(selectionChanged.count(), 0);
        checkSelection(expected);
        QCOMPARE(m_gallery->urlAt(m_gallery->currentIndex()), file(changed));

        const auto ratingOf
            = [&](const QUrl& url) { return m_resolver->rowFor(url).value(IResolver::Rating).toInt(); };
        QSet<int> ratings;
        for (const QUrl& url : qAsConst(expected))
            ratings.insert(ratingOf(url));
        QCOMPARE(aggregator.defined(), ratings.size() == 1);
        if (ratings.size() == 1)
            QCOMPARE(aggregator.value().toInt(), *ratings.cbegin());
        for (int r = 0; r < 6; ++r) {
            QList<QUrl> inRating;
            for (const QUrl& url : m_gallery->list()) {
                if (ratingOf(url) == r)
                    inRating.append(url);
            }
            if (field == QLatin1String("rating"))
                QCOMPARE(sections[size_t(r)]->files(), inRating);
        }

        // What the gallery knows of the selection carries it through a re-sort, and a second
        // change back.
        m_gallery->setSortField(field == QLatin1String("rating") ? "filePath" : "rating");
        checkSelection(expected);
        m_resolver->setValue(file(changed), IResolver::Rating, changed / 5);
        checkSelection(expected);
        QCOMPARE(m_gallery->urlAt(m_gallery->currentIndex()), file(changed));
    }

    // What the gallery knows of the selection, kept without reading the selection model, never
    // drifts from it: random clicks, toggles, block selections and deselections, rating
    // changes, new and removed files, removals of the selection and re-sorts, checked after
    // each step row by row.
    void selectionSizeFollowsEveryChange()
    {
        fill(40);
        m_gallery->setSortField(QStringLiteral("rating"));
        QRandomGenerator random(303);
        int next = 40;
        QItemSelectionModel* selection = m_gallery->selectionModel();
        for (int step = 0; step < 400; ++step) {
            const int rows = m_gallery->rowCount();
            const int row = rows > 0 ? int(random.bounded(rows)) : 0;
            const int op = int(random.bounded(12));
            if (op <= 1 && rows > 0) {
                selection->select(m_gallery->index(row, 0),
                    op == 0 ? QItemSelectionModel::Toggle : QItemSelectionModel::ClearAndSelect);
            } else if (op <= 3 && rows > 0) {
                const int last = qMin(rows - 1, row + int(random.bounded(8)));
                selection->select(QItemSelection(m_gallery->index(row, 0), m_gallery->index(last, 0)),
                    op == 2 ? QItemSelectionModel::Select : QItemSelectionModel::Deselect);
            } else if (op <= 7 && rows > 0) {
                m_resolver->setValue(m_gallery->urlAt(row), IResolver::Rating, int(random.bounded(6)));
            } else if (op == 8) {
                const QUrl url = file(next);
                m_resolver->setRow(url, TestResolver::imageRow(url, at(next), next % 6, 100 + next, 10));
                m_gallery->insertUrl(url);
                ++next;
            } else if (op == 9 && rows > 0) {
                m_gallery->removeUrl(m_gallery->urlAt(row));
            } else if (op == 10 && step % 5 == 0) {
                m_gallery->removeSelected();
            } else if (op == 11) {
                m_gallery->setSortField(step % 2 ? "timestamp" : "rating");
            }
            int selectedRows = 0;
            QSet<QUrl> selectedUrls;
            for (int r = 0; r < m_gallery->rowCount(); ++r) {
                if (selection->isSelected(m_gallery->index(r, 0))) {
                    ++selectedRows;
                    selectedUrls.insert(m_gallery->urlAt(r));
                }
            }
            QCOMPARE(m_gallery->selectionSize(), selectedRows);
            QCOMPARE(asSet(m_gallery->selectedFiles()), selectedUrls);
        }
    }

    // Turning to another session empties the gallery at once: the selection and the current
    // file go with the rows, and whoever shows them is told (the page's count of selected
    // files, the current cell, the file an action falls back on).
    void sessionSwitchTellsTheSelectionWent()
    {
        fill(6);
        select({ 1 });
        m_gallery->setCurrentIndex(m_gallery->index(2, 0));
        m_gallery->setShiftIndex(m_gallery->index(4, 0));
        QCOMPARE(m_gallery->selectionSize(), 4);
        QSignalSpy size(m_gallery, &ActiveSession::selectionSizeChanged);
        QSignalSpy current(m_gallery, &ActiveSession::currentIndexChanged);
        QSignalSpy shift(m_gallery, &ActiveSession::shiftIndexChanged);
        Session other;
        m_gallery->setSource(&other);
        QCOMPARE(m_gallery->rowCount(), 0);
        QCOMPARE(m_gallery->selectionSize(), 0);
        QVERIFY(!m_gallery->currentIndex().isValid());
        QVERIFY(!m_gallery->shiftIndex().isValid());
        QVERIFY(size.count() >= 1);
        QVERIFY(current.count() >= 1);
        QVERIFY(shift.count() >= 1);
        m_gallery->setSource(nullptr);
    }

    void removingTheSelection()
    {
        fill(12);
        select({ 2, 3, 4, 8, 9 });
        m_gallery->setCurrentIndex(m_gallery->index(3, 0));
        const QUrl after = m_gallery->urlAt(5);
        const QSet<QUrl> selected = asSet(m_gallery->selectedFiles());
        QSignalSpy closed(m_gallery, &SpineModel::fileClosed);

        m_gallery->removeSelected();
        QCOMPARE(m_gallery->rowCount(), 7);
        QCOMPARE(m_gallery->grossCount(), 7);
        QSet<QUrl> gone;
        for (const auto& args : qAsConst(closed))
            gone.insert(args.first().toUrl());
        QCOMPARE(gone, selected);
        for (const QUrl& url : selected)
            QVERIFY(!m_gallery->isOffered(url));
        // The current file moved to the one after its range.
        QCOMPARE(m_gallery->urlAt(m_gallery->currentIndex()), after);

        const QUrl current = m_gallery->urlAt(m_gallery->currentIndex());
        m_gallery->removeCurrent();
        QVERIFY(!m_gallery->isOffered(current));
        m_gallery->remove(QModelIndex());
        m_gallery->remove(m_gallery->index(50, 0));
        QCOMPARE(m_gallery->rowCount(), 6);
    }

    // Many files closed at once (a folder closed in the session) go in one pass: the rows
    // and files that stay keep their order, sections and selection, every file that went
    // is told closed once, and files merely offered or never known are handled as by
    // removeUrl. The same when the URLs given are other copies of the ones the gallery
    // holds, and when few go (row by row).
    void manyFilesClosedAtOnce_data()
    {
        QTest::addColumn<int>("going");
        QTest::addColumn<bool>("copies");
        QTest::newRow("most go") << 150 << false;
        QTest::newRow("most go, other copies") << 150 << true;
        QTest::newRow("all go") << 200 << false;
        QTest::newRow("a few go") << 10 << false;
    }

    void manyFilesClosedAtOnce()
    {
        QFETCH(int, going);
        QFETCH(bool, copies);
        QAbstractItemModelTester outlineTester(
            m_gallery->outlineModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        m_gallery->setSortField(QStringLiteral("timestamp"));
        fill(200);
        const QUrl offered = QUrl::fromLocalFile(QStringLiteral("/lib/no-headers.vrx"));
        m_gallery->insertUrl(offered);
        QCOMPARE(m_gallery->grossCount(), 201);
        // Files going picked across the rows, with the offered one and one never known.
        const QList<QUrl> rows = m_gallery->list();
        QList<QUrl> gone;
        for (int i = 0; i < 200 && gone.size() < going; ++i) {
            const QUrl& url = rows.at((i * 7) % 200);
            gone.append(copies ? QUrl(url.toString()) : url);
        }
        gone.append(offered);
        gone.append(QUrl::fromLocalFile(QStringLiteral("/lib/unknown.vrx")));
        const QSet<QUrl> goneSet = asSet(gone);
        QList<QUrl> staying;
        for (const QUrl& url : rows) {
            if (!goneSet.contains(url))
                staying.append(url);
        }
        QSet<QUrl> selected;
        QList<int> selectedRows;
        for (int row = 0; row < 200; row += 3) {
            selectedRows.append(row);
            if (!goneSet.contains(rows.at(row)))
                selected.insert(rows.at(row));
        }
        select(selectedRows);
        const QUrl current = staying.isEmpty() ? QUrl() : staying.at(staying.size() / 2);
        if (!current.isEmpty())
            m_gallery->setCurrentIndex(m_gallery->index(rows.indexOf(current), 0));
        QSignalSpy closed(m_gallery, &SpineModel::fileClosed);
        QSignalSpy gross(m_gallery, &SpineModel::grossCountChanged);

        m_gallery->removeUrls(gone);
        QCOMPARE(m_gallery->list(), staying);
        QCOMPARE(m_gallery->grossCount(), staying.size());
        QCOMPARE(gross.count(), 1);
        QList<QUrl> told;
        for (const auto& args : qAsConst(closed))
            told.append(args.first().toUrl());
        QCOMPARE(told.size(), going + 1);
        QCOMPARE(
            asSet(told), goneSet - QSet<QUrl> { QUrl::fromLocalFile(QStringLiteral("/lib/unknown.vrx")) });
        for (const QUrl& url : gone)
            QVERIFY(!m_gallery->isOffered(url));
        checkSelection(selected);
        QCOMPARE(m_gallery->urlAt(m_gallery->currentIndex()), current);
        // Past a few, the sections are those of a gallery that only ever had the files that
        // stay (one by one, a section that empties keeps its place while it is shown).
        ActiveSession fresh;
        fresh.setResolver(m_resolver);
        fresh.setSortField(QStringLiteral("timestamp"));
        for (const QUrl& url : qAsConst(staying))
            fresh.insertUrl(url);
        QCOMPARE(fresh.list(), staying);
        if (going > 100)
            QCOMPARE(m_gallery->outlineModel()->rowCount(), fresh.outlineModel()->rowCount());
        for (int row = 0; row < m_gallery->rowCount(); ++row) {
            const QVariantList branch = m_gallery->branchOfRow(row);
            QVERIFY(m_gallery->outlineModel()->indexOf(branch) >= 0);
            if (going > 100)
                QCOMPARE(m_gallery->outlineModel()->indexOf(branch), fresh.outlineModel()->indexOf(branch));
        }

        // What stays is still found and removed one by one.
        for (const QUrl& url : qAsConst(staying))
            m_gallery->removeUrl(url);
        QCOMPARE(m_gallery->rowCount(), 0);
        QCOMPARE(m_gallery->grossCount(), 0);
    }
};

OSTRA_TEST_MAIN_CORE(TestActiveSession)
#include "tst_activesession.moc"
