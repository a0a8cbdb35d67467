#include "app/typeregistration.h"

#include <QtQml>

#include "app/powerstats.h"
#include "app/progresshandler.h"
#include "app/progressmodel.h"
#include "app/progressratio.h"
#include "app/snoozetimer.h"
#include "app/timeleftformatter.h"
#include "app/timesinceformatter.h"
#include "engine/fileperm.h"
#include "engine/imageproperties.h"
#include "engine/imageproperty.h"
#include "engine/streamreader.h"
#include "engine/videoproperties.h"
#include "engine/vrxmessage.h"
#include "engine/vrxmetadata.h"

namespace ostra {

void registerMetaTypes()
{
    // Meta types, in their documented order; each subsystem adds its own as it lands.
    qRegisterMetaType<std::shared_ptr<StreamReader>>("std::shared_ptr<StreamReader>");
    qRegisterMetaType<VrxMessage>("VrxMessage");
    qRegisterMetaType<VrxMetadata>("VrxMetadata");
    qRegisterMetaType<ProgressRatio>("ProgressRatio");
}

void registerQmlTypes()
{
    // Uncreatable gadget, then the module, then the creatable types in their documented
    // order, then the singletons.
    qmlRegisterModule(applicationId, 2, 0);
    qmlRegisterType<ProgressModel>(applicationId, 2, 0, "ProgressModel");
    qmlRegisterType<ProgressHandler>(applicationId, 2, 0, "ProgressHandler");
    qmlRegisterType<TimeLeftFormatter>(applicationId, 2, 0, "TimeLeft");
    qmlRegisterType<TimeSinceFormatter>(applicationId, 2, 0, "TimeSince");
    qmlRegisterType<PowerStats>(applicationId, 2, 0, "PowerStats");
    qmlRegisterType<ImageProperties>(applicationId, 2, 0, "ImageProperties");
    qmlRegisterType<ImageProperty>(applicationId, 2, 0, "ImageProperty");
    qmlRegisterType<FilePerm>(applicationId, 2, 0, "FilePerm");
    qmlRegisterType<SnoozeTimer>(applicationId, 2, 0, "SnoozeTimer");
    qmlRegisterType<VideoProperties>(applicationId, 2, 0, "VideoProperties");
}

} // namespace ostra
