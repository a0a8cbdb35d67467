// The patch document of presets and copied adjustments: hostile files are refused or
// tamed without touching the object, and what is written is read back.
#include "support/testmain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "engine/imageproperties.h"

namespace {

QByteArray versioned(const QJsonObject& members)
{
    QJsonObject top = members;
    top.insert("versionMajor", 1);
    top.insert("versionMinor", 0);
    return QJsonDocument(top).toJson();
}

QByteArray withGeometry(const QJsonObject& geometry)
{
    return versioned({ { "name", "g" }, { "geometry", geometry } });
}

QStringList patchedNames(const ImageProperties& p)
{
    QStringList names;
    for (const auto& entry : p.patch())
        names << entry->name() + "=" + entry->currentValue().toString();
    return names;
}

bool near(const QRectF& a, const QRectF& b)
{
    return qAbs(a.x() - b.x()) < 1e-5 && qAbs(a.y() - b.y()) < 1e-5 && qAbs(a.width() - b.width()) < 1e-5
        && qAbs(a.height() - b.height()) < 1e-5;
}

} // namespace

class TestPatchDocument : public QObject
{
    Q_OBJECT

private slots:
    void refused_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("not JSON") << QByteArray("{\"versionMajor\": 1,");
        QTest::newRow("array") << QByteArray("[1, 0]");
        QTest::newRow("empty") << QByteArray("{}");
        QTest::newRow("no minor") << QByteArray("{\"versionMajor\": 1, \"name\": \"x\"}");
        QTest::newRow("no major") << QByteArray("{\"versionMinor\": 0, \"name\": \"x\"}");
        QTest::newRow("major 2") << QByteArray("{\"versionMajor\": 2, \"versionMinor\": 0}");
        QTest::newRow("major as text") << QByteArray("{\"versionMajor\": \"1\", \"versionMinor\": 0}");
        QTest::newRow("empty bytes") << QByteArray();
    }

    void refused()
    {
        QFETCH(QByteArray, json);
        ImageProperties p;
        p.setName("kept");
        const QDateTime created = p.timestampCreated();
        QVERIFY(!p.loadPatch(json));
        QVERIFY(!p.patchError().isEmpty());
        QCOMPARE(p.name(), QStringLiteral("kept"));
        QCOMPARE(p.timestampCreated(), created);
        QVERIFY(!p.hasPatch());
        // A later good document clears the reason.
        QVERIFY(p.loadPatch(versioned({})));
        QVERIFY(p.patchError().isEmpty());
    }

    void tamed_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QStringList>("tones");
        QTest::addColumn<QRectF>("crop"); // null: the crop is not patched
        QTest::addColumn<bool>("turned");
        QTest::addColumn<int>("orientation");
        QTest::newRow("camera's date") << versioned({ { "timestampUTC", "2024-01-02T10:00:00Z" } })
                                       << QStringList() << QRectF() << false << 0;
        QTest::newRow("only the version") << versioned({}) << QStringList() << QRectF() << false << 0;
        QTest::newRow("tones out of range")
            << versioned({ { "colormetrics",
                   QJsonObject { { "exposure", 99 }, { "temp", -5 }, { "tint", "x" }, { "bogus", 3 } } } })
            << QStringList { "exposure=3", "temp=2000", "tint=0" } << QRectF() << false << 0;
        QTest::newRow("crop out of range") << withGeometry({ { "crop", QJsonArray { -0.1, 0.2, 1.5, 0.5 } } })
                                           << QStringList() << QRectF(0, 0.2, 1, 0.5) << false << 0;
        QTest::newRow("crop past the edge") << withGeometry({ { "crop", QJsonArray { 0.5, 0.25, 0.9, 2 } } })
                                            << QStringList() << QRectF(0.5, 0.25, 0.5, 0.75) << false << 0;
        QTest::newRow("crop left of nothing") << withGeometry({ { "crop", QJsonArray { 1.2, 0, 0.5, 0.5 } } })
                                              << QStringList() << QRectF() << false << 0;
        QTest::newRow("crop of no height") << withGeometry({ { "crop", QJsonArray { 0, 0.1, 1, -3 } } })
                                           << QStringList() << QRectF() << false << 0;
        QTest::newRow("crop of three") << withGeometry({ { "crop", QJsonArray { 0, 0, 1 } } })
                                       << QStringList() << QRectF() << false << 0;
        QTest::newRow("orientation only")
            << withGeometry({ { "orientation", 7 } }) << QStringList() << QRectF() << false << 7;
        QTest::newRow("unknown orientation")
            << withGeometry({ { "orientation", 4000 }, { "flipHorizontal", true } }) << QStringList()
            << QRectF() << true << 0;
        QTest::newRow("endless rotation")
            << withGeometry({ { "relativeRotation", 2000000070 } }) << QStringList() << QRectF() << true << 0;
    }

    void tamed()
    {
        QFETCH(QByteArray, json);
        QFETCH(QStringList, tones);
        QFETCH(QRectF, crop);
        QFETCH(bool, turned);
        QFETCH(int, orientation);
        ImageProperties p;
        QVERIFY2(p.loadPatch(json), qPrintable(p.patchError()));
        QCOMPARE(patchedNames(p), tones);
        QCOMPARE(p.cropPatched(), !crop.isNull());
        if (!crop.isNull())
            QVERIFY(near(ImageTransformProperties::viewCrop(p.transformProperties()), crop));
        QCOMPARE(p.rotationAndMirrorPatched(), turned);
        QCOMPARE(p.transform().orientation(), orientation);
        const qint64 seconds = QString(QTest::currentDataTag()) == "camera's date" ? 1704189600 : 0;
        QCOMPARE(p.timestampCreated().toSecsSinceEpoch(), seconds);
    }

    void emptyPatchWritesNoParts()
    {
        ImageProperties p;
        const QJsonObject top = QJsonDocument::fromJson(p.savePatch()).object();
        QCOMPARE(top.value("versionMajor").toInt(), 1);
        QVERIFY(!top.contains("colormetrics") && !top.contains("geometry"));
        ImageProperties q;
        QVERIFY(q.loadPatch(p.savePatch()));
        QVERIFY(!q.hasPatch());
    }

    // Tones, turn, mirror and crop written by one object come back in another, for each
    // orientation the file may have.
    void roundTrip_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<int>("quarterTurns");
        QTest::addColumn<bool>("mirror");
        for (int o : { 0, 1, 5 })
            for (int turns : { 0, 1, 2 })
                for (bool mirror : { false, true })
                    QTest::addRow("orientation %d, %d turns%s", o, turns, mirror ? ", mirrored" : "")
                        << o << turns << mirror;
    }

    void roundTrip()
    {
        QFETCH(int, orientation);
        QFETCH(int, quarterTurns);
        QFETCH(bool, mirror);
        ImageProperties p;
        p.setName("warm évening");
        p.setFileName("{5d4a0a2e-1111-4c9e-8c3e-0123456789ab}.qpf");
        p.setTimestampCreated(QDateTime::fromSecsSinceEpoch(1700000000));
        p.tuneToneEntry("temp")->setCurrentValue(6500.5);
        p.tuneToneEntry("exposure")->setCurrentValue(-1.25);
        p.tuneToneEntry("contrast")->setCurrentValue(40); // changed but not patched
        p.markTuneTonePatch(p.tuneToneEntry("temp").get(), true);
        p.markTuneTonePatch(p.tuneToneEntry("exposure").get(), true);
        CIAPI::Transform t({ 4, 3 });
        t.reset(orientation);
        t.rotate90(quarterTurns);
        if (mirror)
            t.flipHorizontal();
        ImageTransformProperties::setViewCrop(t, QRectF(0.1, 0.2, 0.5, 0.4));
        p.setTransform(t);
        p.transform().setOrientation(orientation);
        p.markCustomPatch(ImageProperties::RotationAndMirror, true);
        p.markCustomPatch(ImageProperties::Crop, true);

        const QByteArray json = p.savePatch();
        const QJsonObject top = QJsonDocument::fromJson(json).object();
        QCOMPARE(top.value("uuid").toString(), QStringLiteral("{5d4a0a2e-1111-4c9e-8c3e-0123456789ab}"));
        QCOMPARE(top.value("device").toString(), QStringLiteral("Ostra"));

        ImageProperties q;
        QVERIFY(q.loadPatch(json));
        QCOMPARE(q.name(), p.name());
        QCOMPARE(q.timestampCreated(), p.timestampCreated());
        QCOMPARE(patchedNames(q), (QStringList { "exposure=-1.25", "temp=6500.5" }));
        QCOMPARE(q.tuneToneEntry("contrast")->currentValue().toInt(), 0);
        QVERIFY(q.rotationAndMirrorPatched() && q.cropPatched());
        QCOMPARE(q.transform().orientation(), orientation);
        QCOMPARE(ImageTransformProperties::rotationAndMirror(q.transformProperties()),
            ImageTransformProperties::rotationAndMirror(t));
        QVERIFY(
            near(ImageTransformProperties::viewCrop(q.transformProperties()), QRectF(0.1, 0.2, 0.5, 0.4)));
        // Saved again, the document says the same.
        QCOMPARE(QJsonDocument::fromJson(q.savePatch()).object().value("geometry"), top.value("geometry"));
    }
};

OSTRA_TEST_MAIN(TestPatchDocument)
#include "tst_patchdocument.moc"
