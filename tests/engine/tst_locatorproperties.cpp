#include "support/testmain.h"

#include "engine/imagelocator.h"
#include "engine/metahistory.h"

#include <QMetaProperty>

// Every property of the image service can be read back, as QML bindings and tools that
// list properties expect (a property without a reader is invalid to the meta-object
// compiler, which says so in every build).
class TestLocatorProperties : public QObject
{
    Q_OBJECT
private slots:
    void everyPropertyReadsBackWhatWasWritten()
    {
        ImageLocator locator(1, nullptr);
        const QMetaObject* meta = locator.metaObject();
        for (int i = 0; i < meta->propertyCount(); ++i)
            QVERIFY2(meta->property(i).isReadable(), meta->property(i).name());

        Metahistory history;
        QVERIFY(locator.setProperty("lowSpaceMb", 300));
        QVERIFY(locator.setProperty("reasonForPowerRequest", QStringLiteral("Exporting")));
        QVERIFY(locator.setProperty("metahistory", QVariant::fromValue(&history)));
        QCOMPARE(locator.property("lowSpaceMb").toInt(), 300);
        QCOMPARE(locator.lowSpaceBytes(), qint64(300) << 20);
        QCOMPARE(locator.property("reasonForPowerRequest").toString(), QStringLiteral("Exporting"));
        QCOMPARE(locator.property("metahistory").value<Metahistory*>(), &history);
    }
};

OSTRA_TEST_MAIN(TestLocatorProperties)
#include "tst_locatorproperties.moc"
