#include "support/testmain.h"

#include <QStandardPaths>

// Checks that every test runs in a home of its own.
class TestIsolation : public QObject
{
    Q_OBJECT
private slots:
    void homeIsTemporary()
    {
        const QString home = QDir::homePath();
        QVERIFY(home.contains(QStringLiteral("ostra-test-")));
        QVERIFY(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
                    .startsWith(qEnvironmentVariable("XDG_DATA_HOME")));
    }
};

OSTRA_TEST_MAIN_CORE(TestIsolation)
#include "tst_skeleton.moc"
