// Marks of imported pictures: kept across a restart, found by picture alone, kept once.
#include "support/testmain.h"

#include "capture/hasbeenmodel.h"

#include <QSignalSpy>
#include <QSqlQuery>
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
