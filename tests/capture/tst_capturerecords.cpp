// File kinds, the file key stored with recipes, and the placeholder transport.
#include "support/testmain.h"

#include "capture/capturelistener.h"
#include "capture/captureproxy.h"
#include "capture/filekind.h"
#include "capture/nilsessionproxy.h"
#include "capture/sessionfactory.h"
#include "capture/sessionlistener.h"

#include <QtTest>

#include <memory>

class TestCaptureRecords : public QObject
{
    Q_OBJECT
private slots:
    void kinds_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("kind");
        QTest::newRow("raw") << "IMG_0001.vrx" << 268;
        QTest::newRow("raw upper") << "IMG_0001.VRX" << 268;
        QTest::newRow("state") << "IMG_0001.VrXs" << 265;
        QTest::newRow("preview") << "IMG_0001.JPG" << 262;
        QTest::newRow("jpeg spelled long") << "IMG_0001.jpeg" << 280;
        QTest::newRow("video") << "VID_0001.mp4" << 280;
        QTest::newRow("no suffix") << "vrx" << 280;
        QTest::newRow("two dots") << "IMG_0001.final.vrx" << 268;
        QTest::newRow("trailing dot") << "IMG_0001.vrx." << 280;
    }
    void kinds()
    {
        QFETCH(QString, name);
        QFETCH(int, kind);
        Recipe recipe;
        recipe.recipe = fileKeyDocument(name);
        QCOMPARE(fileKind(recipe), kind);
        QCOMPARE(fileKind(QFileInfo(name).suffix()), kind);
    }

    // The key is stored in the journal: its exact form must never change.
    void keyShape_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("plain") << "IMG_0001.vrx" << QByteArray(R"({"file":"IMG_0001","type":"vrx"})");
        QTest::newRow("two dots") << "IMG_1.final.VRXS"
                                  << QByteArray(R"({"file":"IMG_1.final","type":"VRXS"})");
        QTest::newRow("in a folder") << "DCIM/100/IMG_2.jpg"
                                     << QByteArray(R"({"file":"IMG_2","type":"jpg"})");
        QTest::newRow("no suffix") << "hotpixel" << QByteArray(R"({"file":"hotpixel","type":""})");
        QTest::newRow("unicode") << QString::fromUtf8("Bild_ä.vrx")
                                 << QByteArray(R"({"file":"Bild_ä","type":"vrx"})");
    }
    void keyShape()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, json);
        const QJsonDocument key = fileKeyDocument(name);
        QCOMPARE(key.toJson(QJsonDocument::Compact), json);
        // Equal names give equal keys, so lookups by key meet.
        QCOMPARE(fileKeyDocument(name), QJsonDocument::fromJson(json));
    }

    void nilSession()
    {
        const SessionFactory factory = &NilSessionProxy::create;
        std::unique_ptr<SessionProxy> proxy(factory(CaptureRequest(), nullptr));
        QVERIFY(proxy);
        proxy->start();
        proxy->transfer(QUrl(), Recipe());
        proxy->cancelPendingRequests();
        QCOMPARE(proxy->capacity(), 1);
        QVERIFY(!proxy->isDevice());
        QVERIFY(!proxy->hasExtension());
    }
};

OSTRA_TEST_MAIN_CORE(TestCaptureRecords)
#include "tst_capturerecords.moc"
