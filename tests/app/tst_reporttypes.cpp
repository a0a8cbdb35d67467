#include "support/testmain.h"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QScopedPointer>

#include "app/typeregistration.h"
#include "reports/digestbackend.h"
#include "reports/infoharvester.h"
#include "reports/infouploader.h"

// The report chain as QML builds it until the report dialog does.
class TestReportTypes : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
    }

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

OSTRA_TEST_MAIN(TestReportTypes)
#include "tst_reporttypes.moc"
