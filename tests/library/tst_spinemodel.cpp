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
        TestResolver resolver;
        SpineModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.setResolver(&resolver);
        model.setOrdering(makeOrdering(field, &model));

        // Headers arrive in an order of their own; the rows come out the same.
        auto files = tiedFiles();
        std::shuffle(files.begin(), files.end(), std::mt19937(7));
        for (const auto& f : files)
            model.insertUrl(f.first);
        QCOMPARE(model.rowCount(), 0);
        for (const auto& f : files)
            resolver.setRow(f.first, f.second);

        QList<QUrl> expected;
        for (const QString& path : order)
            expected.append(file(path));
        QCOMPARE(model.list(), expected);
        // A strict order: each file found at exactly its own row.
        for (int row = 0; row < expected.size(); ++row)
            QCOMPARE(model.locateUrl(expected.at(row)), qMakePair(row, row + 1));
        // Sorting the whole list anew gives the same order.
        model.setOrdering(model.ordering());
        QCOMPARE(model.list(), expected);
    }

    // Capture times as written: ordered by the wall clock, whatever zone follows; text that
    // is no time at all (or no real time of day) comes first.
    void timestampsAsWritten()
    {
        TestResolver resolver;
        SpineModel model;
        model.setResolver(&resolver);
        model.setOrdering(Ordering::byTimestamp(&model));
        const QStringList stamps = { "2023-05-01T10:00:00.001+02:00", "2023-05-01T10:00:00",
            "2023-05-01T09:59:59.999Z", "2023-05-02T00:00:00.000", "2023-05-01T25:00:00.000", "not a time" };
        for (int i = 0; i < stamps.size(); ++i) {
            const QUrl url = file(QStringLiteral("/lib/%1.vrx").arg(i));
            QMap<int, QVariant> row = TestResolver::imageRow(url, QDateTime(), 0);
            row.insert(IResolver::Timestamp, stamps.at(i));
            resolver.setRow(url, row);
            model.insertUrl(url);
        }
        QStringList order;
        for (const QUrl& url : model.list())
            order << url.fileName();
        QCOMPARE(order, (QStringList { "4.vrx", "5.vrx", "2.vrx", "1.vrx", "0.vrx", "3.vrx" }));
    }

    // A file placed at a given row by the user interface, when the row is in range.
    void enlistAtARow()
    {
        TestResolver resolver;
        SpineModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.setResolver(&resolver);
        const QUrl a = file("/lib/a.vrx"), b = file("/lib/b.vrx");
        for (const QUrl& url : { a, b })
            resolver.setRow(url, TestResolver::imageRow(url, at(1, 1), 0));
        model.insertUrl(a);
        model.enlistUrlAt(5, b);
        model.enlistUrlAt(-1, b);
        QCOMPARE(model.list(), QList<QUrl> { a });
        model.enlistUrlAt(0, b);
        QCOMPARE(model.list(), (QList<QUrl> { b, a }));
        model.enlistUrlAt(0, b);
        QCOMPARE(model.rowCount(), 2);
    }

    void sectionsOfEachOrdering()
    {
        TestResolver resolver;
        SpineModel model;
        model.setResolver(&resolver);
        const QUrl a = file("/lib/a/1.vrx"), b = file("/lib/a/b/2.vrx"), top = file("/top.vrx");
        resolver.setRow(a, TestResolver::imageRow(a, at(5, 10), 4));
        resolver.setRow(b, TestResolver::imageRow(b, at(5, 23), 2));
        resolver.setRow(top, TestResolver::imageRow(top, at(5, 11), 4));
        model.insertUrl(a);
        model.insertUrl(b);
        model.insertUrl(top);
        QCOMPARE(model.branchOfRow(0), QVariantList { QVariant() });
        model.setOrdering(Ordering::byTimestamp(&model));
        QCOMPARE(model.branchOfRow(0), (QVariantList { 2023, 3, 5 }));
        QCOMPARE(model.branchOfRow(1), (QVariantList { 2023, 3, 5 }));
        model.setOrdering(Ordering::byRating(&model));
        QCOMPARE(model.urlAt(0), b);
        QCOMPARE(model.branchOfRow(0), QVariantList { 2 });
        model.setOrdering(Ordering::byFolder(&model));
        // A file at the top of the file system is in the top section.
        QCOMPARE(model.list(), (QList<QUrl> { top, a, b }));
        QCOMPARE(model.branchOfRow(0), QVariantList { "" });
        QCOMPARE(model.branchOfRow(2), (QVariantList { "", "lib", "a", "b" }));
        QCOMPARE(model.branchOfRow(3), QVariantList());
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
        TestResolver resolver;
        SpineModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.setResolver(&resolver);
        model.setOrdering(makeOrdering(field, &model));

        QList<QUrl> urls;
        for (int i = 0; i < 60; ++i) {
            urls.append(file(QStringLiteral("/lib/%1/f%2.vrx")
                                 .arg(QChar('a' + int(random.bounded(3))))
                                 .arg(random.bounded(20))));
        }
        auto randomRow = [&](const QUrl& url) {
            return TestResolver::imageRow(
                url, at(1 + int(random.bounded(3)), int(random.bounded(3))), int(random.bounded(4)));
        };
        for (const QUrl& url : qAsConst(urls))
            model.insertUrl(url);
        const QSet<QUrl> offered(urls.begin(), urls.end());

        for (int step = 0; step < 300; ++step) {
            const QUrl url = urls.at(int(random.bounded(urls.size())));
            const QMap<int, QVariant> row = randomRow(url);
            switch (random.bounded(4)) {
            case 0: // as the image service does
            case 1:
                resolver.setRow(url, row);
                break;
            case 2: // `modified` delivered after the change
                resolver.setRowSilently(url, row);
                emit resolver.modified(url);
                emit resolver.resolved(url);
                break;
            case 3: // no `modified` at all
                resolver.setRowSilently(url, row);
                emit resolver.resolved(url);
                break;
            }
            // The same as a model that sorts the current headers from scratch.
            SpineModel fresh;
            fresh.setResolver(&resolver);
            fresh.setOrdering(makeOrdering(field, &fresh));
            for (const QUrl& u : offered)
                fresh.insertUrl(u);
            QCOMPARE(model.list(), fresh.list());
        }
        QCOMPARE(model.grossCount(), offered.size());
    }

    void offeredListedAndClosed()
    {
        TestResolver resolver;
        SpineModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.setResolver(&resolver);
        const QUrl a = file("/lib/a.vrx"), b = file("/lib/b.vrx"), c = file("/lib/c.vrx");
        resolver.setRow(a, TestResolver::imageRow(a, at(1, 1), 0));

        QSignalSpy gross(&model, &SpineModel::grossCountChanged);
        QSignalSpy closed(&model, &SpineModel::fileClosed);
        model.insertUrl(a);
        model.insertUrl(b); // no headers yet: offered, not a row
        model.insertUrl(b);
        QCOMPARE(gross.count(), 2);
        QCOMPARE(model.grossCount(), 2);
        QCOMPARE(model.rowCount(), 1);
        QVERIFY(resolver.requestCount(b) >= 1);

        resolver.setRow(b, TestResolver::imageRow(b, at(1, 1), 0));
        QCOMPARE(model.list(), (QList<QUrl> { a, b }));
        // A file nobody offered is not listed by its headers.
        resolver.setRow(c, TestResolver::imageRow(c, at(1, 1), 0));
        QCOMPARE(model.rowCount(), 2);
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
        QCOMPARE(resolver.requestCount(QUrl()), 0);
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
    }

    void fileListReplacesTheOfferedSet()
    {
        TestResolver resolver;
        resolver.setRowMaker([](const QUrl& u) { return TestResolver::imageRow(u, at(1, 1), 0); });
        SpineModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.setResolver(&resolver);
        const QString odd = file("/lib/odd #1 100%.vrx").toString();
        model.setFileList({ file("/lib/a.vrx").toString(), odd });
        QCOMPARE(model.rowCount(), 2);
        QVERIFY(model.list().contains(file("/lib/odd #1 100%.vrx")));

        QSignalSpy closed(&model, &SpineModel::fileClosed);
        model.setFileList({ odd, file("/lib/b.vrx").toString() });
        QCOMPARE(closed.count(), 1);
        QCOMPARE(closed.first().first().toUrl(), file("/lib/a.vrx"));
        QCOMPARE(model.fileList(), (QStringList { file("/lib/b.vrx").toString(), odd }));
        QCOMPARE(model.rowCount(), 2);
        // Only closing files changes the count too.
        QSignalSpy gross(&model, &SpineModel::grossCountChanged);
        model.setFileList({ odd });
        QCOMPARE(gross.count(), 1);
        QCOMPARE(model.grossCount(), 1);
    }

    void aNewResolverPlacesTheRowsAgain()
    {
        TestResolver first;
        TestResolver second;
        SpineModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.setResolver(&first);
        model.setOrdering(Ordering::byRating(&model));
        const QUrl a = file("/lib/a.vrx"), b = file("/lib/b.vrx"), c = file("/lib/c.vrx");
        first.setRow(a, TestResolver::imageRow(a, at(1, 1), 1));
        first.setRow(b, TestResolver::imageRow(b, at(1, 1), 2));
        model.insertUrl(a);
        model.insertUrl(b);
        model.insertUrl(c);
        QCOMPARE(model.list(), (QList<QUrl> { a, b }));

        second.setRow(a, TestResolver::imageRow(a, at(1, 1), 5));
        second.setRow(b, TestResolver::imageRow(b, at(1, 1), 2));
        second.setRow(c, TestResolver::imageRow(c, at(1, 1), 3));
        QPersistentModelIndex held(model.index(0, 0));
        model.setResolver(&second);
        QCOMPARE(model.list(), (QList<QUrl> { b, c, a }));
        QCOMPARE(model.urlAt(held), a); // views keep their rows through the re-sort
        // Only the installed resolver moves rows.
        first.setValue(b, IResolver::Rating, 9);
        QCOMPARE(model.list(), (QList<QUrl> { b, c, a }));
        second.setValue(b, IResolver::Rating, 9);
        QCOMPARE(model.list(), (QList<QUrl> { c, a, b }));
    }

    void aResolverThatGoesFirstLeavesAnEmptyAnswer()
    {
        auto* resolver = new TestResolver;
        SpineModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.setResolver(resolver);
        model.setOrdering(Ordering::byRating(&model));
        const QUrl a = file("/lib/a.vrx"), b = file("/lib/b.vrx");
        resolver->setRow(a, TestResolver::imageRow(a, at(1, 1), 4));
        resolver->setRow(b, TestResolver::imageRow(b, at(1, 1), 1));
        model.insertUrl(a);
        model.insertUrl(b);
        QCOMPARE(model.list(), (QList<QUrl> { b, a }));
        delete resolver;
        QVERIFY(model.resolver() != nullptr);
        QCOMPARE(model.rowCount(), 2);
        QVERIFY(model.itemData(model.index(0, 0)).isEmpty());
        // Still searchable: placed by what is known now (nothing), so by the URL.
        QCOMPARE(model.list(), (QList<QUrl> { a, b }));
        model.removeUrl(a);
        QCOMPARE(model.list(), QList<QUrl> { b });
    }
};

OSTRA_TEST_MAIN_CORE(TestSpineModel)
#include "tst_spinemodel.moc"
