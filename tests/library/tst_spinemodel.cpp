#include <QAbstractItemModelTester>
#include <QRandomGenerator>

#include <QSignalSpy>
#include <QtTest>
#include <random>

#include <algorithm>

#include "library/ordering.h"
#include "library/spinemodel.h"
#include "support/testmain.h"
#include "support/testresolver.h"

using ostra::test::TestResolver;

namespace {

IOrdering* makeOrdering(const QString& field, QObject* parent)
{
    if (field == "timestamp")
        return Ordering::byTimestamp(parent);
    if (field == "rating")
        return Ordering::byRating(parent);
    if (field == "filePath")
        return Ordering::byFolder(parent);
    return nullptr; // the model's own
}

QUrl file(const QString& path)
{
    return QUrl::fromLocalFile(path);
}

QDateTime at(int day, int hour, int minute = 0, int ms = 0)
{
    return QDateTime(QDate(2023, 3, day), QTime(hour, minute, 0, ms));
}

// Files with ties in every field the orderings read.
QList<QPair<QUrl, QMap<int, QVariant>>> tiedFiles()
{
    QList<QPair<QUrl, QMap<int, QVariant>>> files;
    auto add = [&](const QString& path, const QDateTime& when, int rating) {
        const QUrl url = file(path);
        files.append({ url, TestResolver::imageRow(url, when, rating) });
    };
    add("/lib/a/x.vrx", at(1, 10), 3);
    add("/lib/b/x.vrx", at(1, 10), 3); // same time, same name, other folder
    add("/lib/a/y.vrx", at(1, 10), 3); // same time, other name
    add("/lib/a/b/z.vrx", at(1, 9, 59, 999), 3);
    add("/lib/a-b/w.vrx", at(1, 23), 1); // a folder name that begins like another
    add("/lib/a/b/A.vrx", at(2, 0), 5);
    add("/lib/a/IMG[1] #%.vrx", at(2, 0), 5);
    add("/lib/ü/ñ.vrx", at(1, 10), 0);
    add("/lib/a/late.vrx", QDateTime(), 0); // no capture time yet
    add("/lib/x.vrx", at(31, 12), 2);
    return files;
}

// A model over a resolver whose rows the test sets, under the model tester.
struct Spine
{
    TestResolver resolver;
    SpineModel model;
    QAbstractItemModelTester tester { &model, QAbstractItemModelTester::FailureReportingMode::QtTest };

    explicit Spine(const QString& field = QString())
    {
        model.setResolver(&resolver);
        model.setOrdering(makeOrdering(field, &model));
    }
    // Headers for the file, taken on 1 March at 01:00 with the given rating.
    void rate(const QUrl& url, int rating)
    {
        resolver.setRow(url, TestResolver::imageRow(url, at(1, 1), rating));
    }
};

} // namespace

class TestSpineModel : public QObject
{
    Q_OBJECT

private slots:
    void orderWithTies_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("url") << QString()
                             << QStringList { "/lib/a-b/w.vrx", "/lib/a/IMG[1] #%.vrx", "/lib/a/b/A.vrx",
                                    "/lib/a/b/z.vrx", "/lib/a/late.vrx", "/lib/a/x.vrx", "/lib/a/y.vrx",
                                    "/lib/b/x.vrx", "/lib/x.vrx", "/lib/ü/ñ.vrx" };
        // By day, then the wall-clock time, the name, the URL.
        QTest::newRow("timestamp") << "timestamp"
                                   << QStringList { "/lib/a/late.vrx", "/lib/a/b/z.vrx", "/lib/a/x.vrx",
                                          "/lib/b/x.vrx", "/lib/a/y.vrx", "/lib/ü/ñ.vrx", "/lib/a-b/w.vrx",
                                          "/lib/a/b/A.vrx", "/lib/a/IMG[1] #%.vrx", "/lib/x.vrx" };
        QTest::newRow("rating") << "rating"
                                << QStringList { "/lib/a/late.vrx", "/lib/ü/ñ.vrx", "/lib/a-b/w.vrx",
                                       "/lib/x.vrx", "/lib/a/b/z.vrx", "/lib/a/x.vrx", "/lib/b/x.vrx",
                                       "/lib/a/y.vrx", "/lib/a/b/A.vrx", "/lib/a/IMG[1] #%.vrx" };
        // A folder's own files before its subfolders'; "a-b" after "a" and all below it.
        QTest::newRow("filePath") << "filePath"
                                  << QStringList { "/lib/x.vrx", "/lib/a/IMG[1] #%.vrx", "/lib/a/late.vrx",
                                         "/lib/a/x.vrx", "/lib/a/y.vrx", "/lib/a/b/A.vrx", "/lib/a/b/z.vrx",
                                         "/lib/a-b/w.vrx", "/lib/b/x.vrx", "/lib/ü/ñ.vrx" };
    }

    void orderWithTies()
    {
        QFETCH(QString, field);
        QFETCH(QStringList, order);
        Spine t(field);

        // Headers arrive in an order of their own; the rows come out the same.
        auto files = tiedFiles();
        std::shuffle(files.begin(), files.end(), std::mt19937(7));
        for (const auto& f : files)
            t.model.insertUrl(f.first);
        QCOMPARE(t.model.rowCount(), 0);
        for (const auto& f : files)
            t.resolver.setRow(f.first, f.second);

        QList<QUrl> expected;
        for (const QString& path : order)
            expected.append(file(path));
        QCOMPARE(t.model.list(), expected);
        // A strict order: each file found at exactly its own row.
        for (int row = 0; row < expected.size(); ++row)
            QCOMPARE(t.model.locateUrl(expected.at(row)), qMakePair(row, row + 1));
        // Sorting the whole list anew gives the same order.
        t.model.setOrdering(t.model.ordering());
        QCOMPARE(t.model.list(), expected);
        // Separately built copies of the URLs, far more than there are files (the shortcuts
        // from a copy to its key start afresh on the way), find the same rows.
        for (int i = 0; i < 3000; ++i) {
            const int row = i % expected.size();
            const QUrl copy(expected.at(row).toString());
            QCOMPARE(t.model.locateUrl(copy), qMakePair(row, row + 1));
        }
        t.model.setOrdering(t.model.ordering());
        QCOMPARE(t.model.list(), expected);
    }

    // A whole re-sort gives the comparator's own order and sections, whether the files'
    // sort numbers lie close together (sorted packed into one number each) or spread over
    // more than 64 bits (ratings far apart, capture times over millennia, none at all), with
    // runs of files alike in everything but name and folder.
    void resortMatchesTheComparator_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<bool>("wide");
        QTest::newRow("timestamp, close") << "timestamp" << false;
        QTest::newRow("rating, close") << "rating" << false;
        QTest::newRow("timestamp, spread") << "timestamp" << true;
        QTest::newRow("rating, spread") << "rating" << true;
    }

    void resortMatchesTheComparator()
    {
        QFETCH(QString, field);
        QFETCH(bool, wide);
        // The model tester joins once the files are in: checking the whole model after each
        // of them would take minutes.
        TestResolver resolver;
        SpineModel model;
        model.setResolver(&resolver);
        QRandomGenerator random(wide ? 41 : 42);
        for (int i = 0; i < 3000; ++i) {
            const QUrl url = file(QStringLiteral("/lib/%1/%2.vrx").arg(i % 7).arg(i % 500));
            QDateTime when;
            int rating = int(random.bounded(6));
            if (wide) {
                rating = int(random.generate()); // negative ones too
                if (i % 13 != 0) // else no capture time
                    when = QDateTime(QDate(1 + int(random.bounded(9998)), 1 + int(random.bounded(12)), 1),
                        QTime(int(random.bounded(24)), 0, 0, int(random.bounded(1000))));
            } else {
                // A few moments in a few days: many files share their capture time.
                when = at(1 + int(random.bounded(3)), 8 + int(random.bounded(2)), int(random.bounded(3)));
            }
            resolver.setRow(url, TestResolver::imageRow(url, when, rating));
            model.insertUrl(url);
        }
        QVERIFY(model.rowCount() > 2000);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        auto* ordering = static_cast<Ordering*>(makeOrdering(field, &model));
        model.setOrdering(ordering);
        const QList<QUrl>& list = model.list();
        for (int row = 1; row < list.size(); ++row)
            QVERIFY2(ordering->compare(list.at(row - 1), list.at(row), &resolver) < 0,
                qPrintable(QStringLiteral("rows %1 and %2").arg(row - 1).arg(row)));
        // Each section holds the run of rows with its key list.
        int row = 0;
        while (row < list.size()) {
            const QVariantList keys = model.branchOfRow(row);
            QCOMPARE(model.sections().baseRow(keys), row);
            const int size = model.sections().rangeSize(keys, false);
            QVERIFY(size > 0);
            for (int inside = row; inside < row + size; ++inside)
                QCOMPARE(model.branchOfRow(inside), keys);
            row += size;
        }
    }

    // Sorting in sections gives what a comparison sort with the comparator gives, and
    // sections that are the runs of equal key lists, however the files' numbers lie: all
    // alike (nothing for the numbers to tell), a day of ties, days and years apart, or
    // spread beyond what one packed number holds. Names repeat in every folder, so the
    // comparator decides most neighbours.
    void sortInSectionsMatchesTheComparator_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("spread");
        for (const QString& field : { QStringLiteral("timestamp"), QStringLiteral("rating") }) {
            QTest::newRow(qPrintable(field + ", one moment")) << field << 0;
            QTest::newRow(qPrintable(field + ", one day")) << field << 1;
            QTest::newRow(qPrintable(field + ", years")) << field << 2;
            // Ratings far apart, times over millennia.
            QTest::newRow(qPrintable(field + ", millennia")) << field << 3;
        }
    }

    void sortInSectionsMatchesTheComparator()
    {
        QFETCH(QString, field);
        QFETCH(int, spread);
        TestResolver resolver;
        QRandomGenerator random(quint32(17 + spread));
        QList<QUrl> files;
        for (int i = 0; i < 4000; ++i) {
            const QUrl url = file(QStringLiteral("/lib/%1/%2.vrx").arg(i % 11).arg(i % 300));
            QDateTime when = at(4, 12);
            int rating = spread == 0 ? 3 : int(random.bounded(6));
            if (spread == 1) {
                when = at(4, 8 + int(random.bounded(3)), int(random.bounded(2)));
            } else if (spread == 2) {
                when = QDateTime(QDate(1990 + int(random.bounded(30)), 1 + int(random.bounded(12)),
                                     1 + int(random.bounded(28))),
                    QTime(int(random.bounded(24)), 0));
            } else if (spread == 3) {
                rating = int(random.generate());
                when = QDateTime(QDate(1 + int(random.bounded(9998)), 6, 1),
                    QTime(int(random.bounded(24)), 0, 0, int(random.bounded(3))));
            }
            if (spread >= 2 && i % 17 == 0)
                when = QDateTime(); // no capture time: numbers far below the others
            resolver.setRow(url, TestResolver::imageRow(url, when, rating));
            if (!files.contains(url))
                files.append(url);
        }
        std::shuffle(files.begin(), files.end(), std::mt19937(quint32(spread)));
        QScopedPointer<Ordering> ordering(static_cast<Ordering*>(makeOrdering(field, nullptr)));

        QList<QUrl> expected = files;
        std::stable_sort(expected.begin(), expected.end(),
            [&](const QUrl& a, const QUrl& b) { return ordering->compare(a, b, &resolver) < 0; });
        QList<QUrl> sorted = files;
        const std::vector<Ordering::Section> sections = ordering->sortInSections(sorted, &resolver);
        QCOMPARE(sorted, expected);
        QList<QPair<QVariantList, int>> runs;
        for (const QUrl& url : qAsConst(expected)) {
            const QVariantList keys = ordering->keys(url, &resolver);
            if (!runs.isEmpty() && runs.last().first == keys)
                ++runs.last().second;
            else
                runs.append({ keys, 1 });
        }
        QCOMPARE(int(sections.size()), runs.size());
        for (int i = 0; i < runs.size(); ++i) {
            QCOMPARE(sections[size_t(i)].keys, runs.at(i).first);
            QCOMPARE(sections[size_t(i)].count, runs.at(i).second);
        }
        if (spread == 0)
            QCOMPARE(runs.size(), 1);
        // Sorting the sorted list again changes nothing.
        ordering->sort(sorted, &resolver);
        QCOMPARE(sorted, expected);
    }

    // Capture times as written: ordered by the wall clock, whatever zone follows; text that
    // is no time at all (or no real time of day) comes first.
    void timestampsAsWritten()
    {
        Spine t("timestamp");
        const QStringList stamps = { "2023-05-01T10:00:00.001+02:00", "2023-05-01T10:00:00",
            "2023-05-01T09:59:59.999Z", "2023-05-02T00:00:00.000", "2023-05-01T25:00:00.000", "not a time" };
        for (int i = 0; i < stamps.size(); ++i) {
            const QUrl url = file(QStringLiteral("/lib/%1.vrx").arg(i));
            QMap<int, QVariant> row = TestResolver::imageRow(url, QDateTime(), 0);
            row.insert(IResolver::Timestamp, stamps.at(i));
            t.resolver.setRow(url, row);
            t.model.insertUrl(url);
        }
        QStringList order;
        for (const QUrl& url : t.model.list())
            order << url.fileName();
        QCOMPARE(order, (QStringList { "4.vrx", "5.vrx", "2.vrx", "1.vrx", "0.vrx", "3.vrx" }));
    }

    // The default ordering has one section; by folder, a file at the top of the file system
    // is in the top section.
    void sections()
    {
        Spine t;
        const QUrl a = file("/lib/a/1.vrx"), b = file("/lib/a/b/2.vrx"), top = file("/top.vrx");
        for (const QUrl& url : { a, b, top }) {
            t.rate(url, 0);
            t.model.insertUrl(url);
        }
        QCOMPARE(t.model.branchOfRow(0), QVariantList { QVariant() });
        t.model.setOrdering(Ordering::byFolder(&t.model));
        QCOMPARE(t.model.list(), (QList<QUrl> { top, a, b }));
        QCOMPARE(t.model.branchOfRow(0), QVariantList { "" });
        QCOMPARE(t.model.branchOfRow(2), (QVariantList { "", "lib", "a", "b" }));
        QCOMPARE(t.model.branchOfRow(3), QVariantList());
    }

    void headerChangesKeepTheOrder_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<quint32>("seed");
        for (const char* field : { "", "timestamp", "rating", "filePath" }) {
            for (quint32 seed = 1; seed <= 2; ++seed)
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(QLatin1String(field)).arg(seed)))
                    << QString::fromLatin1(field) << seed;
        }
    }

    // Random header changes, some announced late or not at all before `resolved`; after
    // each one the rows are exactly the files with headers, in the order the comparator
    // gives on the current headers.
    void headerChangesKeepTheOrder()
    {
        QFETCH(QString, field);
        QFETCH(quint32, seed);
        QRandomGenerator random(seed);
        Spine t(field);
        QList<QUrl> urls;
        for (int i = 0; i < 60; ++i) {
            urls.append(file(QStringLiteral("/lib/%1/f%2.vrx")
                                 .arg(QChar('a' + int(random.bounded(3))))
                                 .arg(random.bounded(20))));
            t.model.insertUrl(urls.last());
        }
        for (int step = 0; step < 300; ++step) {
            const QUrl url = urls.at(int(random.bounded(urls.size())));
            const QMap<int, QVariant> row = TestResolver::imageRow(
                url, at(1 + int(random.bounded(3)), int(random.bounded(3))), int(random.bounded(4)));
            switch (random.bounded(4)) {
            case 0: // as the image service does
            case 1:
                t.resolver.setRow(url, row);
                break;
            case 2: // `modified` delivered after the change
                t.resolver.setRowSilently(url, row);
                emit t.resolver.modified(url);
                emit t.resolver.resolved(url);
                break;
            case 3: // no `modified` at all
                t.resolver.setRowSilently(url, row);
                emit t.resolver.resolved(url);
                break;
            }
            // The same as a model that sorts the current headers from scratch.
            SpineModel fresh;
            fresh.setResolver(&t.resolver);
            fresh.setOrdering(makeOrdering(field, &fresh));
            for (const QUrl& u : urls)
                fresh.insertUrl(u);
            QCOMPARE(t.model.list(), fresh.list());
        }
        QCOMPARE(t.model.grossCount(), QSet<QUrl>(urls.begin(), urls.end()).size());
    }

    void offeredListedAndClosed()
    {
        Spine t;
        SpineModel& model = t.model;
        const QUrl a = file("/lib/a.vrx"), b = file("/lib/b.vrx"), c = file("/lib/c.vrx");
        t.rate(a, 0);

        QSignalSpy gross(&model, &SpineModel::grossCountChanged);
        QSignalSpy closed(&model, &SpineModel::fileClosed);
        model.insertUrl(a);
        model.insertUrl(b); // no headers yet: offered, not a row
        model.insertUrl(b);
        QCOMPARE(gross.count(), 2);
        QCOMPARE(model.grossCount(), 2);
        QCOMPARE(model.rowCount(), 1);
        QVERIFY(t.resolver.requestCount(b) >= 1);

        t.rate(b, 0);
        QCOMPARE(model.list(), (QList<QUrl> { a, b }));
        // A file nobody offered is not listed by its headers.
        t.rate(c, 0);
        model.reloadUrl(c);
        QCOMPARE(model.rowCount(), 2);

        QVERIFY(model.forgetUrl(a));
        QCOMPARE(model.list(), QList<QUrl> { b });
        QCOMPARE(model.grossCount(), 2);
        QCOMPARE(closed.count(), 0);
        model.reloadUrl(a);
        QCOMPARE(model.list(), (QList<QUrl> { a, b }));
        QVERIFY(!model.forgetUrl(c));

        model.removeUrl(a);
        QCOMPARE(closed.count(), 1);
        QCOMPARE(model.grossCount(), 1);
        QCOMPARE(model.list(), QList<QUrl> { b });

        // Out of range: nothing, and the resolver is not asked about an empty URL.
        QVERIFY(!model.urlAt(5).isValid());
        QVERIFY(!model.urlAt(model.index(0, 0).sibling(7, 0)).isValid());
        QVERIFY(model.itemData(QModelIndex()).isEmpty());
        QVERIFY(!model.data(QModelIndex(), IResolver::Rating).isValid());
        QCOMPARE(t.resolver.requestCount(QUrl()), 0);
        QVERIFY(!model.forgetRows(1, 1));
        QVERIFY(!model.forgetRows(0, 0));
        QVERIFY(!model.forgetRows(-1, 1));
        QVERIFY(!model.removeRows(0, 1, model.index(0, 0)));
        model.forgetUrlAt(-1);
        model.forgetUrlAt(1);
        QCOMPARE(model.rowCount(), 1);
        model.forgetUrlAt(0);
        QCOMPARE(model.rowCount(), 0);
        model.reloadUrl(b);
        QCOMPARE(model.data(model.index(0, 0), IResolver::Location).toString(), b.toString());

        // An index kept past the removal of its row reads nothing.
        model.insertUrl(c);
        const QModelIndex last = model.index(model.rowCount() - 1, 0);
        QVERIFY(model.forgetUrl(c));
        QVERIFY(model.itemData(last).isEmpty());
        model.reloadUrl(c);
        QVERIFY(model.removeRows(0, 10));
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(model.grossCount(), 0);
        QCOMPARE(closed.count(), 3);

        // A file placed at a row by the user interface, when the row is in range.
        model.insertUrl(a);
        model.insertUrl(b);
        model.enlistUrlAt(5, c);
        model.enlistUrlAt(-1, c);
        QCOMPARE(model.list(), (QList<QUrl> { a, b }));
        model.enlistUrlAt(0, c);
        model.enlistUrlAt(0, c);
        QCOMPARE(model.list(), (QList<QUrl> { c, a, b }));
    }

    void fileListReplacesTheOfferedSet()
    {
        Spine t;
        t.resolver.setRowMaker([](const QUrl& u) { return TestResolver::imageRow(u, at(1, 1), 0); });
        const QString odd = file("/lib/odd #1 100%.vrx").toString();
        t.model.setFileList({ file("/lib/a.vrx").toString(), odd });
        QCOMPARE(t.model.rowCount(), 2);
        QVERIFY(t.model.list().contains(file("/lib/odd #1 100%.vrx")));

        QSignalSpy closed(&t.model, &SpineModel::fileClosed);
        t.model.setFileList({ odd, file("/lib/b.vrx").toString() });
        QCOMPARE(closed.count(), 1);
        QCOMPARE(closed.first().first().toUrl(), file("/lib/a.vrx"));
        QCOMPARE(t.model.fileList(), (QStringList { file("/lib/b.vrx").toString(), odd }));
        // Only closing files changes the count too.
        QSignalSpy gross(&t.model, &SpineModel::grossCountChanged);
        t.model.setFileList({ odd });
        QCOMPARE(gross.count(), 1);
        QCOMPARE(t.model.grossCount(), 1);
    }

    // A new resolver places the rows again; one that goes away first leaves an empty answer.
    void resolversChangeOrGo()
    {
        Spine t("rating");
        auto* second = new TestResolver;
        const QUrl a = file("/lib/a.vrx"), b = file("/lib/b.vrx"), c = file("/lib/c.vrx");
        t.rate(a, 1);
        t.rate(b, 2);
        for (const QUrl& url : { a, b, c })
            t.model.insertUrl(url);
        QCOMPARE(t.model.list(), (QList<QUrl> { a, b }));

        second->setRow(a, TestResolver::imageRow(a, at(1, 1), 5));
        second->setRow(b, TestResolver::imageRow(b, at(1, 1), 2));
        second->setRow(c, TestResolver::imageRow(c, at(1, 1), 3));
        QPersistentModelIndex held(t.model.index(0, 0));
        t.model.setResolver(second);
        QCOMPARE(t.model.list(), (QList<QUrl> { b, c, a }));
        QCOMPARE(t.model.urlAt(held), a); // views keep their rows through the re-sort
        // Only the installed resolver moves rows.
        t.resolver.setValue(b, IResolver::Rating, 9);
        QCOMPARE(t.model.list(), (QList<QUrl> { b, c, a }));
        second->setValue(b, IResolver::Rating, 9);
        QCOMPARE(t.model.list(), (QList<QUrl> { c, a, b }));

        delete second;
        QVERIFY(t.model.resolver() != nullptr);
        QCOMPARE(t.model.rowCount(), 3);
        QVERIFY(t.model.itemData(t.model.index(0, 0)).isEmpty());
        // Still searchable: placed by what is known now (nothing), so by the URL.
        QCOMPARE(t.model.list(), (QList<QUrl> { a, b, c }));
        t.model.removeUrl(a);
        QCOMPARE(t.model.list(), (QList<QUrl> { b, c }));
    }
};

OSTRA_TEST_MAIN_CORE(TestSpineModel)
#include "tst_spinemodel.moc"
