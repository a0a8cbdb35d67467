#include "support/localhttpserver.h"
#include "support/mainwindow.h"
#include "support/quickitems.h"
#include "support/screenchecks.h"
#include "support/testenvironment.h"
#include "support/testmain.h"
#include "support/tlsproxy.h"

#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>

#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>

#include <algorithm>

#include "app/rootcontext.h"
#include "app/typeregistration.h"
#include "core/appsettings.h"
#include "core/identity.h"
#include "reports/infoharvester.h"

using ostra::test::LocalHttpServer;
using ostra::test::TlsProxy;

namespace {
// A feed on a closed port of this machine: the check at start fails at once, and nothing
// leaves the machine.
const QString kClosedFeed = QStringLiteral("https://127.0.0.1:9/ostra");
} // namespace

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

    static QQuickWindow* reportDialog()
    {
        for (QWindow* w : QGuiApplication::topLevelWindows()) {
            if (w->objectName() == QLatin1String("reportDialog"))
                return qobject_cast<QQuickWindow*>(w);
        }
        return nullptr;
    }

    // The version the project declares in its build.
    static QString projectVersion()
    {
        QFile file(ostra::test::sourceDir() + QStringLiteral("/CMakeLists.txt"));
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QRegularExpression(QStringLiteral("project\\(Ostra VERSION ([0-9.]+)"))
            .match(QString::fromUtf8(file.readAll()))
            .captured(1);
    }

    // A text item of the window whose text holds `part`.
    static QQuickItem* textHolding(QQuickItem* item, const QString& part)
    {
        if (item->isVisible() && item->inherits("QQuickText")
            && item->property("text").toString().contains(part))
            return item;
        for (QQuickItem* child : item->childItems()) {
            if (QQuickItem* found = textHolding(child, part))
                return found;
        }
        return nullptr;
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
        ostra::test::useApplicationStyle();
        ostra::applyIdentity();
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
    }

    void dialogOpensFromTheOptionAndTheKey()
    {
        AppSettings settings;
        {
            QQmlApplicationEngine engine;
            QVERIFY(load(engine, true, kClosedFeed));
            QTRY_VERIFY(reportShown());
        }
        QQmlApplicationEngine engine;
        QQuickWindow* window = load(engine, false, kClosedFeed);
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(ostra::test::activateWindow(window));
        QVERIFY(!reportShown());
        QTest::keyClick(window, Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY(reportShown());
        // Closed, the dialog gives the keyboard back: the window's keys work at once.
        QTRY_COMPARE(QGuiApplication::focusWindow(), reportDialog());
        QVERIFY(reportDialog()->close());
        QTRY_COMPARE(QGuiApplication::focusWindow(), window);
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

    // A check asked for from the menu answers even when the feed does not list this
    // application, and says why.
    void menuCheckAlwaysAnswers()
    {
        TlsProxy proxy({ QStringLiteral("updates.quelt.com") });
        QVERIFY(proxy.isReady());
        QVERIFY(proxy.server.respond("GET", "/ostra/Updates.xml",
            { 200, {},
                "<Updates><PackageUpdate><Name>other</Name><Version>9</Version></PackageUpdate></Updates>",
                0 }));
        AppSettings settings;
        QQmlApplicationEngine engine;
        QQuickWindow* window = load(engine, false, QStringLiteral("https://updates.quelt.com/ostra"));
        QVERIFY(window);
        QVERIFY(QMetaObject::invokeMethod(window, "checkForUpdates"));
        auto* result = window->findChild<QObject*>(QStringLiteral("updateResult"));
        QVERIFY(result);
        QTRY_VERIFY_WITH_TIMEOUT(result->property("opened").toBool(), 20000);
        const QString message = result->property("message").toString();
        QVERIFY2(message.contains(QStringLiteral("does not list this application")), qPrintable(message));
    }

    // The dialog opens over the window, inside it, and every text on it (the warning
    // about logs too) reads well and is whole.
    void reportDialogIsReadable_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("1280x800") << QSize(1280, 800);
        QTest::newRow("1920x1080") << QSize(1920, 1080);
    }
    void reportDialogIsReadable()
    {
        QFETCH(QSize, size);
        AppSettings settings;
        QQmlApplicationEngine engine;
        QQuickWindow* window = load(engine, false, kClosedFeed);
        QVERIFY(window);
        window->setGeometry(QRect(QPoint(0, 0), size));
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(QMetaObject::invokeMethod(window, "openReport"));
        QQuickWindow* dialog = reportDialog();
        QVERIFY(dialog);
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        auto* logs = dialog->findChild<QQuickItem*>(QStringLiteral("addAppData"));
        QVERIFY(logs);
        logs->setProperty("checked", true);
        QMetaObject::invokeMethod(logs, "toggled");
        auto* pane = dialog->findChild<QQuickItem*>(QStringLiteral("sensitiveStats"));
        QTRY_VERIFY(pane->isVisible());
        // The window has taken the size its content asks for.
        QTRY_COMPARE(dialog->contentItem()->height(), qreal(dialog->height()));
        // The window grows to its content a turn of the display server later.
        QStringList problems;
        QTRY_VERIFY2((problems = ostra::test::readabilityFaults(dialog)).isEmpty(),
            qPrintable(problems.join(QStringLiteral("; "))));
        // The refusal of a file too large reads well too.
        auto* harvester = dialog->findChild<InfoHarvester*>(QStringLiteral("infoHarvester"));
        emit harvester->notifyOversized(QStringLiteral("big.bin"), 30, 20);
        auto* oversized = dialog->findChild<QObject*>(QStringLiteral("oversizedFile"));
        QTRY_VERIFY(oversized->property("opened").toBool());
        auto* popup = oversized->property("contentItem").value<QQuickItem*>()->parentItem();
        QVERIFY(popup && popup->isVisible());
        const QStringList popupProblems = ostra::test::readabilityFaults(dialog, {}, 4.5, popup);
        QVERIFY2(popupProblems.isEmpty(), qPrintable(popupProblems.join(QStringLiteral("; "))));
        QMetaObject::invokeMethod(oversized, "close");
        QVERIFY2(window->geometry().contains(dialog->geometry()),
            qPrintable(QStringLiteral("%1,%2 %3x%4")
                           .arg(dialog->x())
                           .arg(dialog->y())
                           .arg(dialog->width())
                           .arg(dialog->height())));
        dialog->close();
    }

    // A report that cannot be sent is kept, and the window says so; "About" and the
    // report's feedback carry the project's version.
    void failedSendingIsToldAndTheReportKept()
    {
        const QString version = projectVersion();
        QVERIFY(!version.isEmpty());
        TlsProxy proxy({ QStringLiteral("s3.us-west-2.amazonaws.com"),
            QStringLiteral("ostra-reports.s3.us-west-2.amazonaws.com"),
            QStringLiteral("quelt.zendesk.com") });
        QVERIFY(proxy.isReady());
        QVERIFY(proxy.server.respond("GET", "/", { 503, {}, {}, 0 }));
        AppSettings settings;
        QQmlApplicationEngine engine;
        QQuickWindow* window = load(engine, false, kClosedFeed);
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        auto* about = window->findChild<QObject*>(QStringLiteral("about"));
        QVERIFY(about);
        QVERIFY2(about->property("message").toString().endsWith(QLatin1Char(' ') + version),
            qPrintable(about->property("message").toString()));

        QVERIFY(QMetaObject::invokeMethod(window, "openReport"));
        QQuickWindow* dialog = reportDialog();
        QVERIFY(dialog);
        auto* harvester = dialog->findChild<InfoHarvester*>(QStringLiteral("infoHarvester"));
        QVERIFY(harvester);
        QSignalSpy reports(harvester, &InfoHarvester::newReport);
        dialog->findChild<QQuickItem*>(QStringLiteral("summary"))
            ->setProperty("text", QStringLiteral("Too dark"));
        QVERIFY(QMetaObject::invokeMethod(dialog, "send"));
        QTRY_VERIFY(!dialog->isVisible());
        QVERIFY(reports.wait(20000));
        const QString report = reports.first().first().toUrl().toLocalFile();
        QTRY_VERIFY_WITH_TIMEOUT(!dialog->property("failureNote").toString().isEmpty(), 20000);
        const QString note = dialog->property("failureNote").toString();
        QVERIFY2(note.contains(QStringLiteral("failed"))
                && note.contains(QStringLiteral("kept and will be sent later")),
            qPrintable(note));
        QTRY_VERIFY(textHolding(window->contentItem(), QStringLiteral("kept and will be sent later")));
        QVERIFY(QFile::exists(report));
        QVERIFY(!proxy.requests("GET").isEmpty());
        QVERIFY(proxy.requests("PUT").isEmpty());
        // The archive says which version sent it.
        QVERIFY(harvester->reportFolder().exists(QFileInfo(report).fileName()));
        QCOMPARE(QCoreApplication::applicationVersion(), version);
    }
};

OSTRA_TEST_MAIN(TestWindowReport)
#include "tst_windowreport.moc"
