#include <QAbstractItemModelTester>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QStringListModel>
#include <QtTest>

#include <map>
#include <memory>

#include "library/branchfilter.h"
#include "library/invertiblemodel.h"
#include "library/ordering.h"
#include "library/sectiontree.h"
#include "library/spinemodel.h"
#include "library/spineoutline.h"
#include "library/spinesection.h"
#include "support/testmain.h"
#include "support/testresolver.h"

using ostra::test::TestResolver;

namespace {

// What a file is, as the test keeps it.
struct File
{
    QDate day;
    int rating;
};

struct PathLess
{
    bool operator()(const QVariantList& a, const QVariantList& b) const
    {
        for (int i = 0; i < qMin(a.size(), b.size()); ++i) {
            if (const int c = SectionTree::compareKeys(a[i], b[i]))
                return c < 0;
        }
        return a.size() < b.size();
    }
};

enum class Sort { Day, Rating, Folder };

QVariantList keysOf(Sort sort, const QUrl& url, const File& file)
{
    if (sort == Sort::Day)
        return { file.day.year(), file.day.month(), file.day.day() };
    if (sort == Sort::Rating)
        return { file.rating };
    QVariantList parts;
    for (const QString& part : QFileInfo(url.toLocalFile()).path().split('/'))
        parts.append(part);
    return parts;
}

bool startsWith(const QVariantList& path, const QVariantList& prefix)
{
    return path.size() >= prefix.size() && path.mid(0, prefix.size()) == prefix;
}

} // namespace

class TestSpineOutline : public QObject
{
    Q_OBJECT

private slots:
    // Inserts, removals, header changes and re-sorts in random order; after each step the
    // outline, the section proxies and the filters agree with a plain model of the tree.
    void randomSequence()
    {
        TestResolver resolver;
        SpineModel model;
        model.setResolver(&resolver);
        const std::unique_ptr<Ordering> orderings[] = { std::unique_ptr<Ordering>(Ordering::byTimestamp()),
            std::unique_ptr<Ordering>(Ordering::byRating()),
            std::unique_ptr<Ordering>(Ordering::byFolder()) };
        Sort sort = Sort::Day;
        model.setOrdering(orderings[0].get());

        QList<std::shared_ptr<QAbstractItemModelTester>> testers;
        auto test = [&](QAbstractItemModel* m) {
            testers.append(std::make_shared<QAbstractItemModelTester>(
                m, QAbstractItemModelTester::FailureReportingMode::QtTest));
        };
        test(&model);
        test(model.outlineModel());
        const QList<QVariantList> branches = { { 2018 }, { 2018, 5 }, { 2018, 5, 14 }, { 2019, 1, 2 }, { 3 },
            { "", "g", "a" }, { "", "g", "a", "b" } };
        std::vector<std::unique_ptr<SpineSection>> sections;
        std::vector<std::unique_ptr<InvertibleModel>> mirrors;
        for (int i = 0; i < branches.size() * 2; ++i) {
            sections.push_back(std::make_unique<SpineSection>());
            sections.back()->setSource(&model);
            sections.back()->setBranch(branches[i / 2]);
            sections.back()->setFlatten(i % 2);
            test(sections.back().get());
            mirrors.push_back(std::make_unique<InvertibleModel>());
            mirrors.back()->setSourceModel(sections.back().get());
            mirrors.back()->setInvert(true);
            test(mirrors.back().get());
        }
        InvertibleModel wholeMirror;
        wholeMirror.setInvert(true);
        wholeMirror.setSourceModel(&model);
        test(&wholeMirror);
        BranchFilter filter;
        filter.setFilterField("rangePath");
        filter.setSourceModel(model.outlineModel());
        test(&filter);
        BranchFilter reversed;
        reversed.setSourceModel(model.outlineModel());
        reversed.setFilterField("rangePath");
        reversed.setInvert(true);
        reversed.flatten({ 2018 }, true);
        reversed.flatten({ "", "g" }, true);
        test(&reversed);

        const QDate days[]
            = { { 2018, 5, 14 }, { 2018, 5, 15 }, { 2018, 6, 1 }, { 2019, 1, 2 }, { 2017, 12, 31 } };
        const QString folders[] = { "/g/a", "/g/a/b", "/g/c", "/g" };
        QMap<QUrl, File> files;
        std::map<QVariantList, bool, PathLess> ever; // sections stay until a re-sort
        QRandomGenerator random(27);
        int serial = 0;

        for (int step = 0; step < 400; ++step) {
            const int action = random.bounded(100);
            const QList<QUrl> urls = files.keys();
            if (action < 45 || urls.isEmpty()) {
                const QUrl url = QUrl::fromLocalFile(
                    QString("%1/img%2.vrx").arg(folders[random.bounded(4)]).arg(serial++, 4, 10, QChar('0')));
                const File file { days[random.bounded(5)], random.bounded(6) };
                files.insert(url, file);
                resolver.setRow(
                    url, TestResolver::imageRow(url, file.day.startOfDay().addSecs(serial), file.rating));
                model.insertUrl(url);
            } else if (action < 65) {
                const QUrl url = urls[random.bounded(urls.size())];
                files.remove(url);
                model.removeUrl(url);
            } else if (action < 95) {
                const QUrl url = urls[random.bounded(urls.size())];
                File& file = files[url];
                file = { days[random.bounded(5)], random.bounded(6) };
                resolver.setRow(
                    url, TestResolver::imageRow(url, file.day.startOfDay().addSecs(step), file.rating));
            } else if (action < 97) {
                // Flattening is undone right away: the checks below expect the plain views.
                filter.flatten({ 2018 }, true);
                sections[0]->setFlatten(!sections[0]->flatten());
                sections[0]->setFlatten(!sections[0]->flatten());
                filter.flatten({ 2018 }, false);
                // A section moved to another branch under its mirror.
                sections[2]->setBranch(branches[random.bounded(branches.size())]);
            } else {
                const int which = random.bounded(3);
                sort = Sort(which);
                model.setOrdering(orderings[which].get());
                ever.clear();
            }
            for (auto it = files.cbegin(); it != files.cend(); ++it) {
                const QVariantList keys = keysOf(sort, it.key(), it.value());
                for (int i = 1; i <= keys.size(); ++i)
                    ever[keys.mid(0, i)] = true;
            }

            // The outline: every section ever seen since the re-sort, in pre-order, counted.
            SpineOutline* outline = model.outlineModel();
            QCOMPARE(outline->rowCount(), int(ever.size()));
            int row = 0;
            for (const auto& entry : ever) {
                const QVariantList& path = entry.first;
                const QModelIndex index = outline->index(row, 0);
                QCOMPARE(index.data(SpineOutline::RangePathRole).toList(), path);
                QCOMPARE(outline->indexOf(path), row);
                int incl = 0, excl = 0;
                for (auto it = files.cbegin(); it != files.cend(); ++it) {
                    const QVariantList keys = keysOf(sort, it.key(), it.value());
                    incl += startsWith(keys, path);
                    excl += keys == path;
                }
                QCOMPARE(index.data(SpineOutline::ItemsInclRole).toInt(), incl);
                QCOMPARE(index.data(SpineOutline::ItemsExclRole).toInt(), excl);
                ++row;
            }
            // The list: every file, each section's files together, the section found by row.
            QCOMPARE(model.rowCount(), files.size());
            for (int r = 0; r < model.rowCount(); ++r) {
                const QUrl url = model.urlAt(r);
                const QVariantList keys = keysOf(sort, url, files.value(url));
                int offset = -1;
                QCOMPARE(outline->sectionAt(r), outline->indexOf(keys));
                QCOMPARE(model.sections().sectionAt(r, &offset) >= 0, true);
                QCOMPARE(model.urlAt(r - offset), model.files(model.sections().baseRow(keys), 1).value(0));
            }
            for (size_t i = 0; i < sections.size(); ++i) {
                SpineSection* section = sections[i].get();
                QList<QUrl> expected;
                for (int r = 0; r < model.rowCount(); ++r) {
                    const QUrl url = model.urlAt(r);
                    const QVariantList keys = keysOf(sort, url, files.value(url));
                    if (i % 2 ? startsWith(keys, section->branch()) : keys == section->branch())
                        expected.append(url);
                }
                QCOMPARE(section->files(), expected);
                QCOMPARE(section->rowCount(), expected.size());
                QCOMPARE(mirrors[i]->rowCount(), expected.size());
                if (!expected.isEmpty())
                    QCOMPARE(mirrors[i]->index(0, 0).data(IResolver::Location).toString(),
                        expected.last().toString());
            }
            // The filters: the flattened ones hide what lies inside them, reversed.
            QCOMPARE(filter.rowCount(), outline->rowCount());
            int shown = 0;
            for (const auto& entry : ever) {
                const QVariantList& path = entry.first;
                const bool hidden = (startsWith(path, { 2018 }) && path.size() > 1)
                    || (startsWith(path, { "", "g" }) && path.size() > 2);
                shown += !hidden;
            }
            QCOMPARE(reversed.rowCount(), shown);
            const auto pathAt
                = [&](int r) { return reversed.index(r, 0).data(SpineOutline::RangePathRole).toList(); };
            if (shown > 1)
                QVERIFY(PathLess()(pathAt(shown - 1), pathAt(0)));
        }
    }

    // A move of several rows, mirrored, lands where the source puts them.
    void mirroredMoves()
    {
        for (int first = 0; first < 6; ++first) {
            for (int last = first; last < 6; ++last) {
                for (int d = 0; d <= 6; ++d) {
                    if (d >= first && d <= last + 1)
                        continue;
                    QStringListModel source(QStringList({ "a", "b", "c", "d", "e", "f" }));
                    InvertibleModel mirror;
                    mirror.setSourceModel(&source);
                    mirror.setInvert(true);
                    QAbstractItemModelTester tester(
                        &mirror, QAbstractItemModelTester::FailureReportingMode::QtTest);
                    QVERIFY(source.moveRows(QModelIndex(), first, last - first + 1, QModelIndex(), d));
                    QStringList seen, expected = source.stringList();
                    for (int r = 0; r < mirror.rowCount(); ++r)
                        seen.prepend(mirror.index(r, 0).data().toString());
                    QCOMPARE(seen, expected);
                }
            }
        }
    }

    // A later section hears that its first row moved once the stream of changes pauses,
    // and only then: one signal for a whole batch of inserts before it.
    void baseRowsMoveOncePerTurn()
    {
        TestResolver resolver;
        SpineModel model;
        model.setResolver(&resolver);
        std::unique_ptr<Ordering> byDay(Ordering::byTimestamp());
        model.setOrdering(byDay.get());
        auto add = [&](const QString& name, const QDate& day) {
            const QUrl url = QUrl::fromLocalFile("/d/" + name);
            resolver.setRow(url, TestResolver::imageRow(url, day.startOfDay(), 0));
            model.insertUrl(url);
        };
        add("late.vrx", { 2019, 1, 2 });
        SpineSection later;
        later.setSource(&model);
        later.setBranch({ 2019, 1, 2 });
        QSignalSpy moved(&later, &SpineSection::baseRowChanged);
        QSignalSpy rows(&later, &QAbstractItemModel::rowsInserted);
        for (int i = 0; i < 50; ++i)
            add(QString("early%1.vrx").arg(i), { 2018, 5, 14 });
        QCOMPARE(moved.count(), 0);
        QTRY_COMPARE(moved.count(), 1);
        QCOMPARE(later.baseRow(), 50);
        QCOMPARE(rows.count(), 0);
        // Moved to another branch: views hear of the reset before and after it.
        QSignalSpy aboutToReset(&later, &QAbstractItemModel::modelAboutToBeReset);
        QSignalSpy reset(&later, &QAbstractItemModel::modelReset);
        later.setBranch({ 2018, 5, 14 });
        QCOMPARE(aboutToReset.count(), 1);
        QCOMPARE(reset.count(), 1);
        QCOMPARE(later.rowCount(), 50);
    }

    void cull()
    {
        BranchFilter filter;
        QCOMPARE(filter.cull({ 2018, 5, 14 }), QVariantList({ 2018, 5, 14 }));
        filter.flatten({ 2018, 5 }, true);
        filter.flatten({ 2018 }, true);
        QCOMPARE(filter.cull({ 2018, 5, 14 }), QVariantList({ 2018 }));
        QVERIFY(!filter.isCulled({ 2018 }));
        filter.unflattenAll();
        QVERIFY(!filter.isCulled({ 2018, 5, 14 }));

        // A change of the field read is followed.
        QStandardItemModel source;
        source.setItemRoleNames({ { Qt::UserRole, "rangePath" }, { Qt::UserRole + 1, "label" } });
        for (const QVariantList& path : { QVariantList { 2018 }, QVariantList { 2018, 5 } }) {
            auto* item = new QStandardItem;
            item->setData(path, Qt::UserRole);
            item->setData(QStringLiteral("text"), Qt::UserRole + 1);
            source.appendRow(item);
        }
        filter.setSourceModel(&source);
        filter.setFilterField("label");
        filter.flatten({ 2018 }, true);
        QCOMPARE(filter.rowCount(), 2);
        filter.setFilterField("rangePath");
        QCOMPARE(filter.rowCount(), 1);
    }
};

OSTRA_TEST_MAIN_CORE(TestSpineOutline)
#include "tst_spineoutline.moc"
