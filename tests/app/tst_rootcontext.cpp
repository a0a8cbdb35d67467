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

// What the window sees of the root context.
const char kReader[] = R"(
import QtQml 2.15
QtObject {
    property var channel: glChannelOrder
    property var recent: cpQueltRecent
    property var fonts: noCustomFonts
    property var tuning: cpQueltTuning
    property var update: cpQueltUpdate
    property string forceType: typeof cpForceUpdate
    property var force: typeof cpForceUpdate === "undefined" ? "unset" : cpForceUpdate
    property var custom: cpQueltCustom
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
        // Each variable as "name=value".
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QVariant>("recent");
        QTest::addColumn<int>("tuning");
        QTest::addColumn<QString>("update");
        QTest::addColumn<QVariant>("force"); // "unset", null, or the number
        QTest::addColumn<bool>("custom");

        const QVariant null = QVariant::fromValue<QObject*>(nullptr);
        QTest::newRow("nothing set") << QStringList() << QVariant(true) << 1 << QString() << null << false;
        QTest::newRow("tuning 2 is out of range")
            << QStringList { QStringLiteral("QA_3B6C0F15_QUELT_TUNING=2") } << QVariant(true) << 1
            << QString() << null << true;
        QTest::newRow("force update 0 leaves it unset")
            << QStringList { QStringLiteral("QA_7D2E9A41_FORCE_UPDATE=0") } << QVariant(true) << 1
            << QString() << QVariant(QStringLiteral("unset")) << true;
        QTest::newRow("all four") << QStringList { QStringLiteral("QA_E4A1772D_QUELT_RECENT=0"),
            QStringLiteral("QA_3B6C0F15_QUELT_TUNING=0"),
            QStringLiteral("QA_09F5B6C8_QUELT_UPDATE=https://updates.example/feed.xml"),
            QStringLiteral("QA_7D2E9A41_FORCE_UPDATE=0x10") }
                                  << QVariant(0) << 0 << QStringLiteral("https://updates.example/feed.xml")
                                  << QVariant(16) << true;
    }

    void overrides()
    {
        QFETCH(QStringList, environment);
        QFETCH(QVariant, recent);
        QFETCH(int, tuning);
        QFETCH(QString, update);
        QFETCH(QVariant, force);
        QFETCH(bool, custom);

        for (const QString& entry : environment)
            qputenv(qPrintable(entry.section(QLatin1Char('='), 0, 0)),
                entry.section(QLatin1Char('='), 1).toUtf8());

        const auto properties = ostra::rootContextProperties(ChannelOrder::kGlBgra, true);

        QQmlEngine engine;
        ostra::setRootContextProperties(engine.rootContext(), properties);
        QQmlComponent component(&engine);
        component.setData(kReader, QUrl());
        std::unique_ptr<QObject> object(component.create());
        QVERIFY2(object, qPrintable(component.errorString()));

        QCOMPARE(object->property("channel").toInt(), ChannelOrder::kGlBgra);
        QCOMPARE(object->property("fonts"), QVariant(true));
        // True by default, a number when overridden.
        const QVariant seen = object->property("recent");
        QCOMPARE(seen.userType() == QMetaType::Bool, recent.userType() == QMetaType::Bool);
        QCOMPARE(seen.toInt(), recent.toInt());
        QCOMPARE(object->property("tuning").toInt(), tuning);
        QCOMPARE(object->property("update").toString(), update);
        QCOMPARE(object->property("custom"), QVariant(custom));
        if (force == QVariant(QStringLiteral("unset"))) {
            QCOMPARE(object->property("forceType").toString(), QStringLiteral("undefined"));
        } else if (force.userType() == QMetaType::QObjectStar) {
            QCOMPARE(object->property("forceType").toString(), QStringLiteral("object"));
            QVERIFY(
                object->property("force").isNull() || object->property("force").value<QObject*>() == nullptr);
        } else {
            QCOMPARE(object->property("force").toInt(), force.toInt());
        }
    }
};

OSTRA_TEST_MAIN_CORE(TestRootContext)
#include "tst_rootcontext.moc"
