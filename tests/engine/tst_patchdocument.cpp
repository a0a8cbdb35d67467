// The patch document of presets and copied adjustments: hostile files are refused or
// tamed, and what is written is read back.
#include "support/testmain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "engine/imageproperties.h"

namespace {

QByteArray doc(QJsonObject top, bool versioned = true)
{
    if (versioned) {
        top.insert("versionMajor", 1);
        top.insert("versionMinor", 0);
    }
    return QJsonDocument(top).toJson();
}

QByteArray geometry(const QJsonObject& g)
{
    return doc({ { "geometry", g } });
}

QString summary(ImageProperties& p)
{
    QStringList parts;
    for (const auto& entry : p.patch())
        parts << entry->name() + "=" + entry->currentValue().toString();
    const QRectF c = ImageTransformProperties::viewCrop(p.transformProperties());
    if (p.cropPatched())
        parts << QString::asprintf("crop %.3g %.3g %.3g %.3g", c.x(), c.y(), c.width(), c.height());
    if (p.rotationAndMirrorPatched())
        parts << "turned";
    parts << QString("o%1 t%2").arg(p.transform().orientation()).arg(p.timestampCreated().toSecsSinceEpoch());
    return parts.join(", ");
}

} // namespace

class TestPatchDocument : public QObject
{
    Q_OBJECT

private slots:
    void hostile_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("loaded"); // empty: refused
        QTest::newRow("not JSON") << QByteArray("{\"versionMajor\": 1,") << QString();
        QTest::newRow("array") << QByteArray("[1, 0]") << QString();
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("no minor") << doc({ { "versionMajor", 1 } }, false) << QString();
        QTest::newRow("major 2") << doc({ { "versionMajor", 2 }, { "versionMinor", 0 } }, false) << QString();
        QTest::newRow("major past any int")
            << doc({ { "versionMajor", 1e300 }, { "versionMinor", 0 } }, false) << QString();
        QTest::newRow("major as text")
            << doc({ { "versionMajor", "1" }, { "versionMinor", 0 } }, false) << QString();
        QTest::newRow("only the version") << doc({}) << "o0 t0";
        QTest::newRow("camera's date")
            << doc({ { "timestampUTC", "2024-01-02T10:00:00Z" } }) << "o0 t1704189600";
        QTest::newRow("tones out of range") << doc({ { "colormetrics",
            QJsonObject { { "exposure", 99 }, { "temp", -5 }, { "tint", "x" }, { "x", 3 } } } })
                                            << "exposure=3, temp=2000, tint=0, o0 t0";
        QTest::newRow("crop out of range")
            << geometry({ { "crop", QJsonArray { -0.1, 0.2, 1.5, 0.5 } } }) << "crop 0 0.2 1 0.5, o0 t0";
        QTest::newRow("crop past the edge")
            << geometry({ { "crop", QJsonArray { 0.5, 0.25, 0.9, 2 } } }) << "crop 0.5 0.25 0.5 0.75, o0 t0";
        QTest::newRow("crop of no width")
            << geometry({ { "crop", QJsonArray { 1.2, 0, 0.5, 0.5 } } }) << "o0 t0";
        QTest::newRow("crop of no height")
            << geometry({ { "crop", QJsonArray { 0, 0.1, 1, -3 } } }) << "o0 t0";
        QTest::newRow("crop of a sliver") << geometry({ { "crop", QJsonArray { 0.5, 0.5, 1e-9, 1e-9 } } })
                                          << "crop 0.475 0.475 0.05 0.05, o0 t0";
        QTest::newRow("crop of a sliver at the edge")
            << geometry({ { "crop", QJsonArray { 0.9999999, 0, 1e-7, 1 } } }) << "crop 0.95 0 0.05 1, o0 t0";
        QTest::newRow("crop of the smallest side")
            << geometry({ { "crop", QJsonArray { 0, 0.95, 0.05, 0.05 } } }) << "crop 0 0.95 0.05 0.05, o0 t0";
        QTest::newRow("crop of three") << geometry({ { "crop", QJsonArray { 0, 0, 1 } } }) << "o0 t0";
        QTest::newRow("unknown orientation")
            << geometry({ { "orientation", 4000 }, { "flipHorizontal", true } }) << "turned, o0 t0";
        QTest::newRow("endless rotation")
            << geometry({ { "relativeRotation", 2000000070 } }) << "turned, o0 t0";
        // Numbers no int or date holds: no conversion out of range, the member's default.
        QTest::newRow("time past any date") << doc({ { "timestampUTC", 1e300 } }) << "o0 t0";
        QTest::newRow("time before any date") << doc({ { "timestampUTC", -1e300 } }) << "o0 t0";
        QTest::newRow("time past year 9999") << doc({ { "timestampUTC", 1e12 } }) << "o0 t0";
        QTest::newRow("last second of 9999")
            << doc({ { "timestampUTC", 253402300799.0 } }) << "o0 t253402300799";
        QTest::newRow("orientation past any int") << geometry({ { "orientation", 1e300 } }) << "o0 t0";
        QTest::newRow("rotation past any int")
            << geometry({ { "relativeRotation", -1e300 } }) << "turned, o0 t0";
    }

    // A refused document leaves the object as it was and says why.
    void hostile()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, loaded);
        ImageProperties p;
        p.setName("kept");
        const QDateTime created = p.timestampCreated();
        QCOMPARE(p.loadPatch(json), !loaded.isEmpty());
        QCOMPARE(p.patchError().isEmpty(), !loaded.isEmpty());
        if (loaded.isEmpty())
            QVERIFY(p.name() == "kept" && p.timestampCreated() == created && !p.hasPatch());
        else
            QCOMPARE(summary(p), loaded);
    }

    // Tones, turn, mirror and crop come back in another object, whatever the orientation;
    // a patch of nothing writes no parts.
    void roundTrip_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<int>("quarterTurns");
        QTest::addColumn<bool>("mirror");
        for (int o : { 0, 1, 5 })
            for (int turns : { 0, 1, 2 })
                for (bool mirror : { false, true })
                    QTest::addRow("o%d %d %d", o, turns, mirror) << o << turns << mirror;
    }

    void roundTrip()
    {
        QFETCH(int, orientation);
        QFETCH(int, quarterTurns);
        QFETCH(bool, mirror);
        ImageProperties p;
        const QJsonObject bare = QJsonDocument::fromJson(p.savePatch()).object();
        QVERIFY(!bare.contains("colormetrics") && !bare.contains("geometry"));
        p.setName("warm évening");
        p.setFileName("{5d4a0a2e-1111-4c9e-8c3e-0123456789ab}.qpf");
        p.setTimestampCreated(QDateTime::fromSecsSinceEpoch(1700000000));
        for (auto [name, value] : { std::pair { "temp", 6500.5 }, { "exposure", -1.25 } }) {
            p.tuneToneEntry(name)->setCurrentValue(value);
            p.markTuneTonePatch(p.tuneToneEntry(name).get(), true);
        }
        p.tuneToneEntry("contrast")->setCurrentValue(40); // changed, not patched
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

        const QJsonObject top = QJsonDocument::fromJson(p.savePatch()).object();
        QCOMPARE(top.value("uuid").toString(), QStringLiteral("{5d4a0a2e-1111-4c9e-8c3e-0123456789ab}"));
        ImageProperties q;
        QVERIFY(q.loadPatch(p.savePatch()));
        QCOMPARE(q.name(), p.name());
        QCOMPARE(summary(q),
            QString("exposure=-1.25, temp=6500.5, crop 0.1 0.2 0.5 0.4, turned, o%1 t1700000000")
                .arg(orientation));
        QCOMPARE(ImageTransformProperties::rotationAndMirror(q.transformProperties()),
            ImageTransformProperties::rotationAndMirror(t));
        QCOMPARE(QJsonDocument::fromJson(q.savePatch()).object().value("geometry"), top.value("geometry"));
    }

    void cropAloneCarriesBetweenPicturesShotAlike_data()
    {
        QTest::addColumn<int>("orientation");
        for (int o = 0; o < 8; ++o)
            QTest::addRow("code %d", o) << o;
    }

    // A crop copied alone from a picture as shot lands on the same part of the view of a
    // picture shot the same way, pasted or kept as a preset.
    void cropAloneCarriesBetweenPicturesShotAlike()
    {
        QFETCH(int, orientation);
        const QRectF crop(0.1, 0.2, 0.5, 0.4);
        CIAPI::Transform shot({ 4, 3 });
        shot.reset(orientation);
        ImageProperties source;
        CIAPI::Transform cropped = shot;
        ImageTransformProperties::setViewCrop(cropped, crop);
        source.setTransform(cropped);
        source.transform().setOrientation(orientation);
        source.markCustomPatch(ImageProperties::Crop, true);
        ImageProperties copied;
        QVERIFY(copied.loadPatch(source.savePatch()));
        QVERIFY(!copied.rotationAndMirrorPatched());

        ImageProperties target;
        target.setTransform(shot, true);
        target.setTransform(shot);
        target.transform().setOrientation(orientation);
        copied.cleanPatchProgress();
        target.applyPatch(&copied);
        QCOMPARE(copied.patchSkippedCropsCount(), 0);
        QCOMPARE(ImageTransformProperties::rotationAndMirror(target.transformProperties()),
            ImageTransformProperties::rotationAndMirror(shot));
        const QRectF landed = ImageTransformProperties::viewCrop(target.transformProperties());
        QVERIFY2(ImageTransformProperties::sameCrop(landed, crop),
            qPrintable(
                QString::asprintf("%g %g %g %g", landed.x(), landed.y(), landed.width(), landed.height())));
    }
};

OSTRA_TEST_MAIN(TestPatchDocument)
#include "tst_patchdocument.moc"
