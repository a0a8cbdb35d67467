// File kinds and the file key stored with recipes.
#include "support/testmain.h"

#include "capture/filekind.h"

#include <QtTest>

class TestCaptureRecords : public QObject
{
    Q_OBJECT
private slots:
    // The key is stored in the journal: its exact form must never change.
    void kindsAndKeys_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("raw") << "IMG_0001.vrx" << 268 << QByteArray(R"({"file":"IMG_0001","type":"vrx"})");
        QTest::newRow("state, mixed case")
            << "IMG_1.final.VrXs" << 265 << QByteArray(R"({"file":"IMG_1.final","type":"VrXs"})");
        QTest::newRow("preview in a folder")
            << "DCIM/100/IMG_2.JPG" << 262 << QByteArray(R"({"file":"IMG_2","type":"JPG"})");
        QTest::newRow("no suffix") << "vrx" << 280 << QByteArray(R"({"file":"vrx","type":""})");
        QTest::newRow("unicode") << QString::fromUtf8("Bild_ä.vrx") << 268
                                 << QByteArray(R"({"file":"Bild_ä","type":"vrx"})");
    }
    void kindsAndKeys()
    {
        QFETCH(QString, name);
        QFETCH(int, kind);
        QFETCH(QByteArray, json);
        Recipe recipe;
        recipe.recipe = fileKeyDocument(name);
        QCOMPARE(recipe.recipe.toJson(QJsonDocument::Compact), json);
        QCOMPARE(fileKind(recipe), kind);
        QCOMPARE(fileKind(QFileInfo(name).suffix()), kind);
    }
};

OSTRA_TEST_MAIN_CORE(TestCaptureRecords)
#include "tst_capturerecords.moc"
