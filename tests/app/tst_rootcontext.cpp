#include "support/testmain.h"

#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>

#include <memory>

#include "app/glprobe.h"
#include "app/rootcontext.h"

namespace {

const char* const kVariables[] = { "QA_E4A1772D_QUELT_RECENT", "QA_3B6C0F15_QUELT_TUNING",
    "QA_09F5B6C8_QUELT_UPDATE", "QA_7D2E9A41_FORCE_UPDATE" };

// What the window sees of the root context, one field after the other.
const char kReader[] = R"(
import QtQml 2.15
QtObject {
    property string seen: [glChannelOrder, noCustomFonts, typeof cpQueltRecent, cpQueltRecent, cpQueltTuning,
        cpQueltUpdate, typeof cpForceUpdate === "undefined" ? "unset" : cpForceUpdate, cpQueltCustom]
        .map(String).join("|")
}
)";

} // namespace

class TestRootContext : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        for (const char* name : kVariables)
            qunsetenv(name);
    }

    void cleanup() { init(); }

    void overrides_data()
    {
        // Each variable as "name=value"; what the window sees after the channel order and fonts:
        // the type and value of the recent-sessions switch, tuning, update feed, forced update
        // and whether anything was overridden.
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QString>("seen");
        QTest::newRow("nothing set") << QStringList() << "boolean|true|1||null|false";
        QTest::newRow("tuning 2 is out of range")
            << QStringList { "QA_3B6C0F15_QUELT_TUNING=2" } << "boolean|true|1||null|true";
        QTest::newRow("force update 0 leaves it unset")
            << QStringList { "QA_7D2E9A41_FORCE_UPDATE=0" } << "boolean|true|1||unset|true";
        QTest::newRow("all four") << QStringList { "QA_E4A1772D_QUELT_RECENT=0", "QA_3B6C0F15_QUELT_TUNING=0",
            "QA_09F5B6C8_QUELT_UPDATE=https://updates.example/feed.xml", "QA_7D2E9A41_FORCE_UPDATE=0x10" }
                                  << "number|0|0|https://updates.example/feed.xml|16|true";
    }

    void overrides()
    {
        QFETCH(QStringList, environment);
        QFETCH(QString, seen);
        for (const QString& entry : environment)
            qputenv(qPrintable(entry.section('=', 0, 0)), entry.section('=', 1).toUtf8());

        QQmlEngine engine;
        ostra::setRootContextProperties(
            engine.rootContext(), ostra::rootContextProperties(ChannelOrder::kGlBgra, true));
        QQmlComponent component(&engine);
        component.setData(kReader, QUrl());
        std::unique_ptr<QObject> object(component.create());
        QVERIFY2(object, qPrintable(component.errorString()));
        QCOMPARE(object->property("seen").toString(),
            QStringLiteral("%1|true|").arg(ChannelOrder::kGlBgra) + seen);
    }
};

OSTRA_TEST_MAIN_CORE(TestRootContext)
#include "tst_rootcontext.moc"
