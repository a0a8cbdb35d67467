// Marks of imported pictures: kept across a restart, found by picture alone, kept once.
#include "support/heldopens.h"
#include "support/rescuewatchdog.h"
#include "support/testmain.h"

#include "capture/hasbeenmodel.h"

#include <QSignalSpy>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QUuid kDev = QUuid::fromString(QStringLiteral("{0e5a3f6c-1111-4a2b-8c3d-000000000001}"));
const QUuid kOtherDev = QUuid::fromString(QStringLiteral("{0e5a3f6c-1111-4a2b-8c3d-000000000002}"));
const QUuid kImg = QUuid::fromString(QStringLiteral("{7d1f0a9e-2222-4b3c-9d4e-000000000003}"));
} // namespace

class TestHasBeenModel : public QObject
{
    Q_OBJECT
private slots:
    void marksAcrossRestart()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Uuids.1.db"));
        {
            HasBeenModel model(path, nullptr);
            QVERIFY(model.isValid());
            model.markBeen(kDev, kImg);
            model.markBeen(kDev, kImg);
            model.markBeen(QUuid(), kImg); // no camera: not recorded
        }
        HasBeenModel model(path, nullptr);
        QVERIFY(model.hasBeen(kDev, kImg) && model.hasBeen(QUuid(), kImg));
        QVERIFY(!model.hasBeen(kOtherDev, kImg) && !model.hasBeen(kDev, QUuid()));
        // Stored as the 16-byte forms, once.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peek"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery rows(QStringLiteral("SELECT deviceUUID, imageUUID FROM uuids"), db);
        QVERIFY(rows.next());
        QCOMPARE(
            rows.value(0).toByteArray() + rows.value(1).toByteArray(), kDev.toRfc4122() + kImg.toRfc4122());
        QVERIFY(!rows.next());
        // A database that cannot be opened still answers, and marks nothing.
        HasBeenModel broken(QStringLiteral("/proc/no/such/folder/Uuids.1.db"), nullptr);
        QSignalSpy marked(&broken, &HasBeenModel::notifyHasBeen);
        broken.markBeen(kDev, kImg);
        QVERIFY(!broken.isValid() && marked.count() == 1 && !broken.hasBeen(kDev, kImg));
    }

    // Marks are written off the GUI thread: while the disk holds the writer, marking goes
    // on, the marks count at once (announced in order), the event loop turns; once the disk
    // answers they are on it. A mark made just before the model goes is written as it goes.
    // A lookup by picture alone goes by index, never through the whole table.
    void writesLeaveTheLoopTurning()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Uuids.1.db"));
        const QUuid second = QUuid::createUuid(), third = QUuid::createUuid();
        {
            HasBeenModel model(path, nullptr);
            QVERIFY(model.isValid());
            ostra::test::HeldOpens disk(dir.path());
            if (!disk.isValid())
                QSKIP("needs root to hold a folder's opens");
            disk.close();
            // Lets the disk go should the GUI thread wait for it, so that the test fails
            // instead of hanging.
            ostra::test::RescueWatchdog watchdog([&] { disk.open(); });
            QList<QUuid> marked;
            connect(&model, &HasBeenModel::notifyHasBeen, this, [&](QUuid, QUuid img) { marked << img; });
            model.markBeen(kDev, kImg);
            model.markBeen(kDev, second);
            QCOMPARE(marked, QList<QUuid>({ kImg, second }));
            QVERIFY(model.hasBeen(kDev, kImg) && model.hasBeen(QUuid(), second));
            QVERIFY(!model.hasBeen(kOtherDev, kImg));
            QTRY_VERIFY(disk.held() > 0);
            int turned = 0;
            QMetaObject::invokeMethod(
                this, [&] { ++turned; }, Qt::QueuedConnection);
            QTRY_COMPARE(turned, 1);
            QVERIFY(model.isWriting() && model.hasBeen(kDev, kImg));
            disk.open();
            QTRY_VERIFY(!model.isWriting());
            QVERIFY(watchdog.end());
            QVERIFY(model.hasBeen(QUuid(), kImg) && model.hasBeen(kDev, second));
            model.markBeen(kOtherDev, third);
        }
        HasBeenModel model(path, nullptr);
        QVERIFY(model.hasBeen(kDev, kImg) && model.hasBeen(kDev, second) && model.hasBeen(kOtherDev, third));
        QVERIFY(!model.hasBeen(kDev, third));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("plan"));
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery plan(
                QStringLiteral("EXPLAIN QUERY PLAN SELECT * FROM uuids WHERE imageUUID=x'00'"), db);
            QVERIFY(plan.next());
            const QString detail = plan.value(plan.record().count() - 1).toString();
            QVERIFY2(detail.contains(QStringLiteral("INDEX")), qPrintable(detail));
            QSqlQuery count(QStringLiteral("SELECT COUNT(*) FROM uuids"), db);
            QVERIFY(count.next());
            QCOMPARE(count.value(0).toInt(), 3);
        }
        QSqlDatabase::removeDatabase(QStringLiteral("plan"));
    }

    // Only a copy the import asked to verify is marked, and only by a valid result; a
    // picture merely indexed (browsed) is not, whatever the form of its URL.
    void onlyValidatedCopiesAreMarked()
    {
        HasBeenModel model(QStringLiteral(":memory:"), nullptr);
        QSignalSpy marked(&model, &HasBeenModel::notifyHasBeen);
        VrxMetadata browsed;
        browsed.location = QUrl::fromLocalFile(QStringLiteral("/pictures/day/P1.vrx"));
        browsed.invalid = false;
        browsed.deviceUuid = kDev;
        browsed.imageUuid = kImg;
        model.markValidated(browsed);
        QVERIFY(marked.isEmpty() && !model.hasBeen(kDev, kImg));

        const QUuid copied = QUuid::createUuid();
        VrxMetadata copy = browsed;
        copy.location = QUrl::fromLocalFile(QStringLiteral("/pictures/import/C1.vrx"));
        copy.imageUuid = copied;
        model.expectValidation(QUrl::fromLocalFile(QStringLiteral("/pictures/import/./sub/../C1.vrx")));
        copy.invalid = true; // still being read: not yet
        model.markValidated(copy);
        QVERIFY(marked.isEmpty() && model.expectedCount() == 1);
        copy.invalid = false;
        model.markValidated(copy);
        QCOMPARE(marked.count(), 1);
        QVERIFY(model.hasBeen(kDev, copied) && model.expectedCount() == 0);
        QVERIFY(!model.hasBeen(kDev, kImg));
    }
};

OSTRA_TEST_MAIN_CORE(TestHasBeenModel)
#include "tst_hasbeenmodel.moc"
