#include "app/logging.h"
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QThreadPool>

#include <memory>

#include "app/automationclient.h"
#include "app/bufferbanker.h"
#include "app/glprobe.h"
#include "app/messagehandler.h"
#include "app/rootcontext.h"
#include "app/startuplock.h"
#include "app/typeregistration.h"
#include "ciapi/ciapi.h"
#include "core/appsettings.h"
#include "core/identity.h"
#include "core/resources.h"

namespace {

// How long start-up waits for the window's first frame before it takes the
// channel order it already has.
constexpr int kProbeTimeoutMs = 10000;

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

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(ostra::messageHandler);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    ostra::applyIdentity();
    // The graphics API is chosen when the application object is built, so the
    // compatibility setting is read before it.
    if (compatibilityGraphics()) {
        qCDebug(lcApp, "Using compatibility graphics pipeline");
        QCoreApplication::setAttribute(Qt::AA_UseOpenGLES);
    }
    QApplication app(argc, argv);
    ostra::initResources();
    QGuiApplication::setApplicationDisplayName(QString::fromLatin1(ostra::applicationDisplayName));

    auto startupLock = std::make_unique<ostra::StartupLock>(QString::fromLatin1(ostra::applicationId));
    startupLock->acquire();

    // Lives until every engine that hands it out is gone.
    auto* settings = new AppSettings;

    auto client = std::make_unique<AutomationClient>(&app);
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const bool openReport = ostra::takeReportOption(arguments);

    switch (client->send(arguments)) {
    case AutomationClient::Result::Delivered:
        startupLock.reset();
        client.reset();
        delete settings;
        return 0;
    case AutomationClient::Result::Failed:
        // An instance runs but did not take the files: say so rather than lose them.
        startupLock.reset();
        client.reset();
        delete settings;
        return 1;
    case AutomationClient::Result::NoInstance:
    case AutomationClient::Result::Preempted:
        break;
    }

    wipeQmlCache();
    ostra::registerMetaTypes();
    ostra::registerQmlTypes();

    int result = 0;
    {
        auto banker = std::make_unique<BufferBanker>();
        QQmlApplicationEngine engine;

        int channelOrder = settings->failSafeGpuConf() ? ChannelOrder::kGlRgba : ChannelOrder::kDefault;
        ostra::setRootContextProperties(
            engine.rootContext(), ostra::rootContextProperties(channelOrder, settings->useDefaultFonts()));
        engine.rootContext()->setContextProperty(QStringLiteral("cpOpenReport"), openReport);

        engine.load(QUrl(QStringLiteral("qrc:/AppLayers/WindowMain.qml")));
        if (engine.rootObjects().isEmpty())
            qFatal("Cannot initialize the window");
        auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
        if (!window)
            qFatal("Cannot initialize the window");
        banker->connectWindow(window);

        if (!settings->failSafeGpuConf()) {
            channelOrder = ostra::probeChannelOrder(window, channelOrder, kProbeTimeoutMs);
            engine.rootContext()->setContextProperty(QStringLiteral("glChannelOrder"), channelOrder);
        }

        startupLock.reset();

        if (!arguments.isEmpty())
            handOverOwnArguments(arguments);

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
