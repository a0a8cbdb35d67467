#include "support/testmain.h"

#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QScopedPointer>

#include <memory>

#include "app/typeregistration.h"
#include "capture/capturemodel.h"
#include "core/appsettings.h"
#include "core/progressmodel.h"
#include "core/timeleftformatter.h"
#include "core/timesinceformatter.h"
#include "reports/digestbackend.h"
#include "reports/infoharvester.h"
#include "reports/infouploader.h"

// The registered types as the QML uses them: created by name, configured and wired by
// bindings.
class TestQmlTypes : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        QCOMPARE(QMetaType::type("ProgressRatio"), qMetaTypeId<ProgressRatio>());
        // Every test runs in a home of its own.
        QVERIFY(QDir::homePath().contains(QStringLiteral("ostra-test-")));
    }

    void formattersTakeTheirListsFromQml()
    {
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData(R"(
            import QtQuick 2.15
            import com.quelt.ostra 2.0
            Item {
                property alias since: since
                property alias timeLeft: left
                property alias model: model
                ProgressModel { id: model }
                TimeSince {
                    id: since
                    units: ["second", "minute", "hour"]
                    plurals: ["seconds", "minutes", "hours"]
                    radices: [1000, 60, 60]
                    startDate: new Date(2024, 0, 1, 10, 0, 0)
                    endDate: new Date(2024, 0, 1, 11, 2, 3)
                }
                TimeLeft {
                    id: left
                    units: ["s"]
                    radices: [1000]
                    scales: [0]
                    progressModel: model
                }
                property int percent: model.percentage
                property bool negligible: left.isNegligible
            }
        )",
            QUrl(QStringLiteral("inline.qml")));
        QScopedPointer<QObject> root(component.create());
        QVERIFY2(root, qPrintable(component.errorString()));
        auto* since = root->property("since").value<TimeSinceFormatter*>();
        QVERIFY(since);
        QCOMPARE(since->remaining(), QStringLiteral("1 hour 2 minutes 3 seconds"));
        auto* model = root->property("model").value<ProgressModel*>();
        QVERIFY(model);
        model->setPercentage(25);
        QCOMPARE(root->property("percent").toInt(), 25);
        auto* left = root->property("timeLeft").value<TimeLeftFormatter*>();
        QCOMPARE(left->progressModel(), model);
        QVERIFY(left->started());
        QVERIFY(root->property("negligible").toBool());
    }

    // The capture model as the import view declares it, over the devices model and the
    // already-imported marks: every property it is given and read through is a QML type.
    void captureModelInQml()
    {
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData("import QtQml 2.15\nimport com.quelt.ostra 2.0\n"
                          "QtObject { property CaptureModel model: CaptureModel {\n"
                          "               deviceLocator: DevicesModel {}\n"
                          "               beenModel: HasBeenModel {}\n"
                          "               minRating: 1; sortField: 'rating'; invertSort: true }\n"
                          "           property int shown: model.count + model.spaceEstimate.estimated\n"
                          "           property bool videos: model.videosModel.videosExists\n"
                          "           property bool eject: model.canEject }",
            QUrl());
        std::unique_ptr<QObject> object(component.create());
        QVERIFY2(object, qPrintable(component.errorString()));
        auto* model = object->property("model").value<CaptureModel*>();
        QVERIFY(model && model->deviceLocator() && model->beenModel());
        QCOMPARE(model->sortRole(), int(CaptureSession::RatingRole));
        QVERIFY(model->invertSort());
        QCOMPARE(object->property("shown").toInt(), 0);
        QVERIFY(!object->property("eject").toBool());
    }

    // The report chain as QML builds it until the report dialog does.
    void chainIsBuiltAndWiredFromQml()
    {
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData(R"(
            import QtQuick 2.15
            import com.quelt.ostra 2.0
            Item {
                property alias uploader: uploader
                property alias digest: digest
                property alias harvester: harvester
                InfoUploader { id: uploader; autoRemove: true }
                DigestBackend { id: digest; master: uploader; backoff: { "stepMs": 10, "factor": 3, "ceilMs": 100 } }
                InfoHarvester { id: harvester; sizeLimitMb: 10; onNewReport: uploader.upload(report) }
            }
        )",
            QUrl(QStringLiteral("inline.qml")));
        QScopedPointer<QObject> root(component.create());
        QVERIFY2(root, qPrintable(component.errorString()));
        auto* uploader = root->property("uploader").value<InfoUploader*>();
        auto* digest = root->property("digest").value<DigestBackend*>();
        QVERIFY(uploader && digest && root->property("harvester").value<InfoHarvester*>());
        QCOMPARE(digest->backoff(), (Backoff { 10, 3, 100 }));
        QCOMPARE(uploader->backend(QStringLiteral("digest")), digest);
    }
};

OSTRA_TEST_MAIN(TestQmlTypes)
#include "tst_qmltypes.moc"
