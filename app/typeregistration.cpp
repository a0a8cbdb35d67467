#include "app/typeregistration.h"

#include <QCryptographicHash>
#include <QJSValue>
#include <QList>
#include <QProcess>
#include <QStandardItemModel>
#include <QStorageInfo>
#include <QUrl>
#include <QVariantMap>
#include <QtQml>

#include <cstdint>

#include "app/automationhost.h"
#include "app/defaultfont.h"
#include "app/filenamevalidator.h"
#include "app/textloader.h"
#include "app/utils.h"
#include "app/windowframe.h"
#include "capture/capturedevice.h"
#include "capture/capturedimage.h"
#include "capture/capturefacade.h"
#include "capture/capturemodel.h"
#include "capture/capturesession.h"
#include "capture/hasbeeninfo.h"
#include "capture/hasbeenmodel.h"
#include "capture/targetfolder.h"
#include "capture/videosmodel.h"
#include "capture/volmonitor.h"
#include "capture/volumes.h"
#include "capture/wincaptureproxy.h"
#include "core/appsettings.h"
#include "core/powerstats.h"
#include "core/progresshandler.h"
#include "core/progressmodel.h"
#include "core/progressratio.h"
#include "core/resources.h"
#include "core/snoozetimer.h"
#include "core/timeleftformatter.h"
#include "core/timesinceformatter.h"
#include "display/geometryedits.h"
#include "display/imageedit.h"
#include "display/imageedititem.h"
#include "display/imageitem.h"
#include "engine/export.h"
#include "engine/fileperm.h"
#include "engine/imagelocator.h"
#include "engine/imageproperties.h"
#include "engine/imageproperty.h"
#include "engine/iresolver.h"
#include "engine/metahistory.h"
#include "engine/streamreader.h"
#include "engine/videoproperties.h"
#include "engine/vrxmessage.h"
#include "engine/vrxmetadata.h"
#include "library/activesession.h"
#include "library/branchfilter.h"
#include "library/cellwindow.h"
#include "library/fairpartitioner.h"
#include "library/invertiblemodel.h"
#include "library/iordering.h"
#include "library/recyclebin.h"
#include "library/selectionaggregator.h"
#include "library/session.h"
#include "library/sessionlogger.h"
#include "library/spinemodel.h"
#include "library/spineoutline.h"
#include "library/spinesection.h"
#include "pipeline/ifilesink.h"
#include "pipeline/interfaces/ibailiff.h"
#include "pipeline/interfaces/recipe.h"
#include "pipeline/interfaces/volume.h"
#include "pipeline/ipipeline.h"
#include "pipeline/iprovider.h"
#include "pipeline/pipelinemodel.h"
#include "pipeline/recipelogger.h"
#include "pipeline/reciperouter.h"
#include "pipeline/ticketsrecord.h"
#include "pipeline/trafficticket.h"
#include "reports/amazonbackend.h"
#include "reports/backoff.h"
#include "reports/digestbackend.h"
#include "reports/infoharvester.h"
#include "reports/infouploader.h"
#include "reports/uppdate.h"
#include "reports/zendeskbackend.h"

// An object pointer type that travels in queued calls as an opaque pointer; nothing in
// the application makes one.
class ShoppingCart;
Q_DECLARE_OPAQUE_POINTER(ShoppingCart*)
Q_DECLARE_METATYPE(ShoppingCart*)

namespace ostra {

void registerMetaTypes()
{
    // Meta types, in their documented order.
    qRegisterMetaType<std::shared_ptr<StreamReader>>("std::shared_ptr<StreamReader>");
    qRegisterMetaType<QList<QUrl>>("QList<QUrl>");
    qRegisterMetaType<VrxMessage>("VrxMessage");
    qRegisterMetaType<VrxMetadata>("VrxMetadata");
    qRegisterMetaType<ShoppingCart*>("ShoppingCart*");
    qRegisterMetaType<QStandardItemModel*>("QStandardItemModel*");
    qRegisterMetaType<QList<QVariantMap>>("QList<QVariantMap>");
    qRegisterMetaType<ProgressRatio>("ProgressRatio");
    qRegisterMetaType<Metahistory::Attribution>("Metahistory::Attribution");
    qRegisterMetaType<Metahistory::Metafiles>("Metahistory::Metafiles");
    qRegisterMetaType<QProcess::ExitStatus>("QProcess::ExitStatus");
    qRegisterMetaType<uint32_t>("uint32_t");
    qRegisterMetaType<long>("long int");
    qRegisterMetaType<IResolver*>("IResolver*");
    qRegisterMetaType<IOrdering*>("IOrdering*");
    qRegisterMetaType<Session*>("Session*");
    qRegisterMetaType<SpineModel*>("SpineModel*");
    qRegisterMetaType<SpineOutline*>("SpineOutline*");
    qRegisterMetaType<QItemSelection>("QItemSelection");
    qRegisterMetaType<IBailiff*>("IBailiff*");
    qRegisterMetaType<QList<QStorageInfo>>("QList<QStorageInfo>");
    qRegisterMetaType<QStorageInfo>("QStorageInfo");
    qRegisterMetaType<Recipe>("Recipe");
    qRegisterMetaType<TrafficTicket>("TrafficTicket");
    qRegisterMetaType<Volume>("Volume");
    qRegisterMetaType<IFileSink::Error>("IFileSink::Error");
    qRegisterMetaType<IProvider*>("IProvider*");
    qRegisterMetaType<IFileSink*>("IFileSink*");
    qRegisterMetaType<IPipeline*>("IPipeline*");
    qRegisterMetaType<CaptureDevice>("CaptureDevice");
    qRegisterMetaType<CapturedImage>("CapturedImage");
    qRegisterMetaType<QList<CapturedImage>>("QList<CapturedImage>");
    qRegisterMetaType<CaptureSession*>("CaptureSession*");
    qRegisterMetaType<VideosModel::DownloadRequest>("VideosModel::DownloadRequest");
    qRegisterMetaType<VideosModel::DownloadResultError>("VideosModel::DownloadResultError");
    qRegisterMetaType<QHash<QString, VideosModel::VideoMetadata>>(
        "QHash<QString,VideosModel::VideoMetadata>");
    qRegisterMetaType<HasBeenModel*>("HasBeenModel*");
    qRegisterMetaType<CaptureModel*>("CaptureModel*");
    qRegisterMetaType<VideosModel*>("VideosModel*");
    qRegisterMetaType<QItemSelectionModel*>("QItemSelectionModel*");
    qRegisterMetaType<Backoff>("Backoff");
    qRegisterMetaType<QCryptographicHash::Algorithm>("QCryptographicHash::Algorithm");
    // QML hands a back-end's `backoff` over as a script object ({stepMs: 10, ...}).
    if (!QMetaType::hasRegisteredConverterFunction<QJSValue, Backoff>())
        QMetaType::registerConverter<QJSValue, Backoff>(&Backoff::fromJs);
    if (!QMetaType::hasRegisteredConverterFunction<QVariantMap, Backoff>())
        QMetaType::registerConverter<QVariantMap, Backoff>(&Backoff::fromMap);
    qRegisterMetaType<TicketsRecord*>("TicketsRecord*");
    qRegisterMetaType<PipelineModel*>("PipelineModel*");
    qRegisterMetaType<FilePerm*>("FilePerm*");
    qRegisterMetaType<CaptureFacade*>("CaptureFacade*");
    qRegisterMetaType<VolMonitor*>("VolMonitor*");
}

void registerQmlTypes()
{
    // The views load the interface's fonts and images from the resources.
    initResources();

    qmlRegisterUncreatableType<Backoff>(
        applicationId, 2, 0, "Backoff", QStringLiteral("Backoff is a gadget"));

    // The module, then the creatable types in their documented order.
    qmlRegisterModule(applicationId, 2, 0);
    qmlRegisterType<SpineModel>(applicationId, 2, 0, "SpineModel");
    qmlRegisterType<AutomationHost>(applicationId, 2, 0, "AutomationHost");
    qmlRegisterType<ProgressModel>(applicationId, 2, 0, "ProgressModel");
    qmlRegisterType<ProgressHandler>(applicationId, 2, 0, "ProgressHandler");
    qmlRegisterType<TimeLeftFormatter>(applicationId, 2, 0, "TimeLeft");
    qmlRegisterType<TimeSinceFormatter>(applicationId, 2, 0, "TimeSince");
    qmlRegisterType<PowerStats>(applicationId, 2, 0, "PowerStats");
    qmlRegisterType<Metahistory>(applicationId, 2, 0, "Metahistory");
    qmlRegisterType<ActiveSession>(applicationId, 2, 0, "ActiveSession");
    qmlRegisterType<ImageProperties>(applicationId, 2, 0, "ImageProperties");
    qmlRegisterType<ImageProperty>(applicationId, 2, 0, "ImageProperty");
    qmlRegisterType<ImageLocator>(applicationId, 2, 0, "ImageLocator");
    qmlRegisterType<FilePerm>(applicationId, 2, 0, "FilePerm");
    qmlRegisterType<ImageItem>(applicationId, 2, 0, "ImageItem");
    qmlRegisterType<SnoozeTimer>(applicationId, 2, 0, "SnoozeTimer");
    qmlRegisterType<ImageEditItem>(applicationId, 2, 0, "ImageEditItem");
    qmlRegisterType<ImageEdit>(applicationId, 2, 0, "ImageEdit");
    qmlRegisterType<Export>(applicationId, 2, 0, "Export");
    qmlRegisterType<GeometryEdits>(applicationId, 2, 0, "GeometryEdits");
    qmlRegisterType<VideoProperties>(applicationId, 2, 0, "VideoProperties");
    qmlRegisterType<Volumes>(applicationId, 2, 0, "Volumes");
    qmlRegisterType<TargetFolder>(applicationId, 2, 0, "TargetFolder");
    qmlRegisterType<RecipeRouter>(applicationId, 2, 0, "RecipeRouter");
    qmlRegisterType<RecipeLogger>(applicationId, 2, 0, "RecipeLogger");
    qmlRegisterType<TicketsRecord>(applicationId, 2, 0, "TicketsRecord");
    qmlRegisterType<HasBeenModel>(applicationId, 2, 0, "HasBeenModel");
    qmlRegisterType<HasBeenInfo>(applicationId, 2, 0, "HasBeenInfo");
    qmlRegisterType<VideosModel>(applicationId, 2, 0, "VideosModel");
    qmlRegisterType<CaptureModel>(applicationId, 2, 0, "CaptureModel");
    qmlRegisterType<VolMonitor>(applicationId, 2, 0, "VolMonitor");
    // The application makes the one it uses over its device managers ("devicesModel");
    // one made in QML finds cameras connected as USB storage only.
    qmlRegisterType<CaptureFacade>(applicationId, 2, 0, "DevicesModel");
    qmlRegisterUncreatableType<WinCaptureProxy>(applicationId, 2, 0, "WinCaptureProxy",
        QStringLiteral("made by the application over its device manager"));
    // The sessions the history hands out (the recent-sessions list reads their Roots).
    qmlRegisterType<Session>(applicationId, 2, 0, "Session");
    qmlRegisterType<SessionLogger>(applicationId, 2, 0, "SessionLogger");
    qmlRegisterUncreatableType<SpineOutline>(
        applicationId, 2, 0, "SpineOutline", QStringLiteral("The gallery model owns its outline"));
    qmlRegisterType<SpineSection>(applicationId, 2, 0, "SpineSection");
    qmlRegisterType<InvertibleModel>(applicationId, 2, 0, "InvertibleModel");
    qmlRegisterType<CellWindow>(applicationId, 2, 0, "CellWindow");
    qmlRegisterType<BranchFilter>(applicationId, 2, 0, "BranchFilter");
    qmlRegisterType<FairPartitioner>(applicationId, 2, 0, "FairPartitioner");
    qmlRegisterType<SelectionAggregator>(applicationId, 2, 0, "Aggregator");
    qmlRegisterType<RecycleBin>(applicationId, 2, 0, "RecycleBin");
    qmlRegisterType<InfoHarvester>(applicationId, 2, 0, "InfoHarvester");
    qmlRegisterType<InfoUploader>(applicationId, 2, 0, "InfoUploader");
    qmlRegisterType<DigestBackend>(applicationId, 2, 0, "DigestBackend");
    qmlRegisterType<AmazonBackend>(applicationId, 2, 0, "AmazonBackend");
    qmlRegisterType<ZendeskBackend>(applicationId, 2, 0, "ZendeskBackend");
    qmlRegisterType<Uppdate>(applicationId, 2, 0, "Uppdate");
    qmlRegisterType<TextLoader>(applicationId, 2, 0, "TextLoader");
    qmlRegisterType<DefaultFont>(applicationId, 2, 0, "DefaultFont");
    qmlRegisterType<FilenameValidator>(applicationId, 2, 0, "FilenameValidator");
    qmlRegisterType<WindowFrame>(applicationId, 2, 0, "WindowFrame");
    qmlRegisterUncreatableType<WindowMenuModel>(
        applicationId, 2, 0, "WindowMenuModel", QStringLiteral("The window frame owns its menu model"));

    // The singletons: "Utils" first, then "AppSettings".
    qmlRegisterSingletonType<Utils>(applicationId, 2, 0, "Utils",
        [](QQmlEngine* engine, QJSEngine*) -> QObject* { return new Utils(engine); });
    qmlRegisterSingletonType<AppSettings>(
        applicationId, 2, 0, "AppSettings", [](QQmlEngine*, QJSEngine*) -> QObject* {
            AppSettings* settings = AppSettings::instance();
            // Owned by main, which outlives every engine.
            if (settings)
                QQmlEngine::setObjectOwnership(settings, QQmlEngine::CppOwnership);
            return settings;
        });
}

} // namespace ostra
