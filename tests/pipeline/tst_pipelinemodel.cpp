#include "support/testmain.h"

#include <QAbstractItemModelTester>

#include "pipeline/pipelinemodel.h"
#include "pipeline/recipebatch.h"
#include "routerfixture.h"

using namespace routertest;

class TestPipelineModel : public QObject
{
    Q_OBJECT
private:
    static QVariant at(QAbstractItemModel* model, int row, int role)
    {
        return model->index(row, 0).data(role);
    }

private slots:
    void rowsFollowTheSessions()
    {
        Fixture f;
        QAbstractItemModel* model = f.router->model();
        QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model->rowCount(), 1); // the null session

        f.source.cap = 2;
        RecipeBatch batch(session(1));
        batch.base = f.url("2026-12-06/");
        batch.free = true;
        batch.setProvider("transfer");
        batch.setIoChannel("cam1");
        const char* names[] = { "a.vrx", "b.vrx", "LowRes/a.jpg" };
        for (const char* name : names) {
            batch.addStep();
            const Recipe r = recipe(name, 100, QString(name).endsWith("jpg") ? "jpg" : "vrx");
            batch.setRecipe(r.recipe);
            batch.setImageUuid(r.imageUuid);
            batch.setFileSize(100);
            batch.setUrl(QUrl(name), true);
        }
        RecipeBatch::submit(new RecipeBatch(batch), f.router.get(), true);
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(at(model, 1, PipelineModel::SessUuid).toUuid(), session(1));
        QCOMPARE(at(model, 1, PipelineModel::CommRoot).toUrl(), f.url("2026-12-06"));
        QCOMPARE(at(model, 1, PipelineModel::FilesAll).toInt(), 3);
        QCOMPARE(at(model, 1, PipelineModel::ItemsAll).toInt(), 2);
        QCOMPARE(at(model, 1, PipelineModel::BytesAll).toLongLong(), 300);
        QCOMPARE(at(model, 1, PipelineModel::IsDelete).toBool(), true);

        // A second session is inserted at row 1; it waits on the shared channel.
        QVERIFY(f.put(2, "other/c.vrx", recipe("c.vrx", 50)));
        QCOMPARE(at(model, 1, PipelineModel::SessUuid).toUuid(), session(2));
        QTRY_COMPARE(f.source.fetches.size(), 2);
        for (int i = 0; i < 2; ++i)
            f.source.deliver(i);
        QTRY_COMPARE(f.source.fetches.size(), 3);
        QCOMPARE(at(model, 2, PipelineModel::FilesOut).toInt(), 2);
        QCOMPARE(at(model, 2, PipelineModel::BytesOut).toLongLong(), 200);
        f.source.deliver(2);
        QTRY_COMPARE(at(model, 2, PipelineModel::FilesOut).toInt(), 3);
        QCOMPARE(at(model, 2, PipelineModel::ItemsOut).toInt(), 2);

        // A lost channel marks the unfinished session only.
        QTRY_COMPARE(f.source.fetches.size(), 4);
        f.router->onChanLost("transfer", "cam1", IFileSink::IOPause);
        QCOMPARE(at(model, 1, PipelineModel::ErrFlags).toInt(), int(IFileSink::IOPause));
        QCOMPARE(at(model, 2, PipelineModel::ErrFlags).toInt(), 0);

        f.router->dismiss(session(2));
        QCOMPARE(at(model, 1, PipelineModel::IsCancel).toBool(), true);
        QTRY_COMPARE(model->rowCount(), 2);
        QCOMPARE(at(model, 1, PipelineModel::SessUuid).toUuid(), session(1));
        QCOMPARE(f.router->sequenceCount(), 1);
    }
};

OSTRA_TEST_MAIN(TestPipelineModel)
#include "tst_pipelinemodel.moc"
