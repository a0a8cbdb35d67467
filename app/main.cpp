#include "app/logging.h"
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QThreadPool>
#include <QTimer>

#include <memory>

#include "app/automationclient.h"
#include "app/bufferbanker.h"
#include "app/glprobe.h"
#include "app/importservices.h"
#include "app/messagehandler.h"
#include "app/rootcontext.h"
#include "app/startuplock.h"
#include "app/typeregistration.h"
#include "ciapi/ciapi.h"
#include "core/appsettings.h"
#include "core/identity.h"
#include "core/memoryrelease.h"
#include "core/resources.h"
#include "engine/presetfolder.h"
#include "platform/quitsignals.h"

namespace {

// How long start-up waits for the window's first frame before it takes the
// channel order it already has.
constexpr int kProbeTimeoutMs = 10000;
// Unfinished imports older than this are dropped from the transfer journal at start.
constexpr int kJournalDays = 30;

bool compatibilityGraphics()
{
    const QSettings settings(DefaultSettings::useWritableSystemScope(), QSettings::UserScope,
        QCoreApplication::organizationName(), QCoreApplication::applicationName());
    return settings.value(QStringLiteral("FailSafeQsgConf"), false).toBool();
}

void wipeQmlCache()
{
    const QString folder = QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation))
                               .absoluteFilePath(QStringLiteral("qmlcache"));
    QDir cache(folder);
    if (cache.exists() && !cache.removeRecursively())
        qCWarning(lcApp, "Can't wipe %s", qPrintable(QFileInfo(folder).absoluteFilePath()));
}

// Opens the files named on this start's command line by the road every handed-over
// file takes: through this instance's own host.
void handOverOwnArguments(const QStringList& arguments)
{
    // The settings are read here, on the GUI thread.
    const QString server = AutomationClient::serverName();
    QThreadPool::globalInstance()->start(QRunnable::create([arguments, server] {
        QStringList args = arguments;
        AutomationClient client(server);
        if (!client.command(args))
            qCWarning(lcApp, "Can't open the files of the command line");
    }),
        0);
}

// The window needs a display; without one a start can only hand its files over.
QString missingDisplay()
{
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (!platform.isEmpty() || qEnvironmentVariableIsSet("DISPLAY")
        || qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
        return QString();
    return QStringLiteral("Cannot open the window: there is no display (DISPLAY is not set). "
                          "Start Ostra from a desktop session.");
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(ostra::messageHandler);
    ostra::applyDefaultLogRules();
    // Before any thread allocates: large picture buffers go back to the system when freed.
    MemoryRelease::boundAllocator();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    ostra::applyIdentity();

    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Opens the report dialog once the window is up; it is not a file to hand over.
    const bool openReport = ostra::takeReportOption(arguments);

    auto startupLock = std::make_unique<ostra::StartupLock>(QString::fromLatin1(ostra::applicationId));
    // Lives until every engine that hands it out is gone.
    AppSettings* settings = nullptr;
    {
        // The hand-off to a running instance needs no display: it runs before the
        // application that opens windows exists.
        QCoreApplication handOff(argc, argv);
        startupLock->acquire();
        settings = new AppSettings;
        AutomationClient client;
        switch (client.send(arguments)) {
        case AutomationClient::Result::Delivered:
            delete settings;
            return 0;
        case AutomationClient::Result::Failed:
        case AutomationClient::Result::NotTaken:
            // An instance runs but did not take the files: say so rather than lose them.
            delete settings;
            return 1;
        case AutomationClient::Result::NoInstance:
        case AutomationClient::Result::Preempted:
            break;
        }
        // Another start holds the start-up and has not come up: it may still become the
        // instance, and two instances would share the import journal, the settings and the
        // histories. This start says so instead of waiting for ever or running beside it.
        if (startupLock->gaveUp()) {
            qCCritical(lcApp).noquote()
                << "Another start of Ostra has not come up and still holds the start-up lock"
                << startupLock->path() << "- close it, or end its process, and start again.";
            delete settings;
            return 1;
        }
        const QString noDisplay = missingDisplay();
        if (!noDisplay.isEmpty()) {
            qCCritical(lcApp).noquote() << noDisplay;
            delete settings;
            return 1;
        }
    }

    // The graphics API is chosen when the application object is built, so the
    // compatibility setting is read before it.
    if (compatibilityGraphics()) {
        qCDebug(lcApp, "Using compatibility graphics pipeline");
        QCoreApplication::setAttribute(Qt::AA_UseOpenGLES);
    }
    ostra::setWindowFailureReason("Cannot open the window: the display cannot be reached.");
    QApplication app(argc, argv);
    ostra::setWindowFailureReason(nullptr);
    ostra::initResources();
    QGuiApplication::setApplicationDisplayName(QString::fromLatin1(ostra::applicationDisplayName));
    // File-open events of the platform take the hand-off road too.
    auto client = std::make_unique<AutomationClient>(&app);

    // A logout, `kill` or Ctrl+C quits through the normal shutdown path, which saves. A
    // quit asked for before the event loop runs (while the window starts) is kept for it:
    // Qt forgets a quit that comes before exec().
    QuitSignals quitSignals;
    bool loopRunning = false;
    bool quitAsked = false;
    QObject::connect(&quitSignals, &QuitSignals::received, &app, [&](int number) {
        qCInfo(lcApp, "Quitting on signal %d", number);
        quitAsked = true;
        if (loopRunning)
            QCoreApplication::quit();
    });

    wipeQmlCache();
    ostra::registerMetaTypes();
    ostra::registerQmlTypes();

    int result = 0;
    {
        auto banker = std::make_unique<BufferBanker>();
        // The transfer pipeline (the journal in front of the scheduler, so that an import
        // cut off by a crash or a quit resumes) and the cameras. They outlive the window,
        // whose objects use them.
        ImportServices imports(AppSettings::recipesDatabase(), ImportServices::deviceManagers());
        imports.logger.clean(kJournalDays);
        // The tuning presets that AppSettings offers; they outlive the window.
        PresetFolder presetFolder(AppSettings::presetsFolderPath());
        settings->setPresetKeeper(&presetFolder);
        QQmlApplicationEngine engine;

        int channelOrder = settings->failSafeGpuConf() ? ChannelOrder::kGlRgba : ChannelOrder::kDefault;
        ostra::setRootContextProperties(
            engine.rootContext(), ostra::rootContextProperties(channelOrder, settings->useDefaultFonts()));
        engine.rootContext()->setContextProperty(QStringLiteral("cpOpenReport"), openReport);
        imports.expose(engine.rootContext());

        engine.load(QUrl(QStringLiteral("qrc:/AppLayers/WindowMain.qml")));
        auto* window = engine.rootObjects().isEmpty()
            ? nullptr
            : qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
        if (!window) {
            qCCritical(lcApp, "Cannot initialize the window");
            return 1;
        }
        banker->connectWindow(window);

        // The window listens for hand-offs from here on: a second start may hand its files
        // over now instead of waiting for the first frame below (up to the probe's time-out).
        startupLock.reset();

        if (!settings->failSafeGpuConf()) {
            channelOrder = ostra::probeChannelOrder(window, channelOrder, kProbeTimeoutMs);
            engine.rootContext()->setContextProperty(QStringLiteral("glChannelOrder"), channelOrder);
        }

        // The window has wired the image service, the volumes and the calibration store:
        // unfinished imports resume now.
        imports.start();

        if (!arguments.isEmpty())
            handOverOwnArguments(arguments);

        QTimer::singleShot(0, &app, [&] {
            loopRunning = true;
            if (quitAsked)
                QCoreApplication::quit();
        });
        result = app.exec();
        qCDebug(lcApp, "Good bye!");

        // Pool tasks (the hand-off above among them) may still talk to the window.
        QThreadPool::globalInstance()->waitForDone();
        // The engine goes first: the objects it created still save their state
        // through the imaging engine while they are destroyed.
    }
    CIAPI::StaticShutdown();
    client.reset();
    delete settings;
    return result;
}
