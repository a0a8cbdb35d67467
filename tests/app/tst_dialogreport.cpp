#include <QFile>
#include <QQmlContext>
#include <QQmlEngine>
#include <QTemporaryDir>
#include <QtQuickTest>

#include "app/typeregistration.h"
#include "core/resources.h"
#include "support/testenvironment.h"

// Runs the report dialog's Qt Quick tests (tests/app/dialogreport) with the
// application's types, and a file too large to attach.
class DialogReportSetup : public QObject
{
    Q_OBJECT
public slots:
    void qmlEngineAvailable(QQmlEngine* engine)
    {
        ostra::initResources();
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        QFile big(m_folder.filePath(QStringLiteral("big.bin")));
        if (big.open(QIODevice::WriteOnly))
            big.resize(3 * 1024 * 1024);
        engine->rootContext()->setContextProperty(
            QStringLiteral("bigFile"), QUrl::fromLocalFile(big.fileName()));
    }

private:
    QTemporaryDir m_folder;
};

int main(int argc, char** argv)
{
    ostra::test::TestEnvironment environment;
    DialogReportSetup setup;
    return quick_test_main_with_setup(argc, argv, "dialogreport", QUICK_TEST_SOURCE_DIR, &setup);
}

#include "tst_dialogreport.moc"
