#include "support/localhttpserver.h"
#include "support/mainwindow.h"
#include "support/testenvironment.h"
#include "support/testmain.h"
#include "support/tlsproxy.h"

#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>

#include <algorithm>

#include "app/rootcontext.h"
#include "app/typeregistration.h"
#include "core/appsettings.h"

using ostra::test::LocalHttpServer;
using ostra::test::TlsProxy;

// Until the main window has its menus, the report dialog opens from a key and the
// "--report" option, and the update feed is checked at start once a day.
class TestWindowReport : public QObject
{
    Q_OBJECT
private:
    static QQuickWindow* load(QQmlApplicationEngine& engine, bool openReport, const QString& feed)
    {
        return ostra::test::loadMainWindow(engine,
            { { QStringLiteral("cpQueltUpdate"), feed }, { QStringLiteral("cpOpenReport"), openReport } });
    }

    static bool reportShown()
    {
        const auto windows = QGuiApplication::topLevelWindows();
        return std::any_of(windows.begin(), windows.end(),
            [](QWindow* w) { return w->objectName() == QLatin1String("reportDialog") && w->isVisible(); });
    }

private slots:
    void initTestCase()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
    }

    void dialogOpensFromTheOptionAndTheKey()
    {
        AppSettings settings;
        {
            QQmlApplicationEngine engine;
            QVERIFY(load(engine, true, QString()));
            QTRY_VERIFY(reportShown());
        }
        QQmlApplicationEngine engine;
        QQuickWindow* window = load(engine, false, QString());
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QVERIFY(!reportShown());
        QTest::keyClick(window, Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY(reportShown());
    }

    void feedIsCheckedAtStartOnceADay()
    {
        TlsProxy proxy({ QStringLiteral("updates.quelt.com") });
        QVERIFY(proxy.isReady());
        QVERIFY(proxy.server.respond("GET", "/ostra/Updates.xml", { 200, {}, "<Updates/>", 0 }));
        const QString channel = QStringLiteral("https://updates.quelt.com/ostra");
        AppSettings settings;
        settings.setCheckUpdateDate(QDate::currentDate().addDays(-1));
        {
            QQmlApplicationEngine engine;
            QVERIFY(load(engine, false, channel));
            QTRY_COMPARE(proxy.requests("GET").size(), 1);
            QCOMPARE(proxy.requests("GET").first().path, QByteArray("/ostra/Updates.xml"));
            QVERIFY(proxy.requests("GET").first().tls);
            QCOMPARE(settings.checkUpdateDate(), QDate::currentDate());
        }
        QQmlApplicationEngine engine;
        QVERIFY(load(engine, false, channel));
        QTest::qWait(300);
        QCOMPARE(proxy.requests("GET").size(), 1);
    }
};

OSTRA_TEST_MAIN(TestWindowReport)
#include "tst_windowreport.moc"
