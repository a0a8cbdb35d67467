#pragma once

#include "capture/capturefacade.h"
#include "pipeline/recipelogger.h"
#include "pipeline/reciperouter.h"

#include <memory>

class IPortableDeviceManager;
class QQmlContext;

// What the application makes for imports before its window: the transfer pipeline (the
// journal in front of the scheduler) and the devices model, the pipeline's source of
// camera files. The window wires the rest (the image service as bailiff, the volumes,
// the calibration store and the already-imported marks). The devices model goes first,
// so that its sessions tell the journal their channels are gone while it still exists.
class ImportServices
{
public:
    // `journal`: the journal's database; the devices model takes `manager`.
    ImportServices(const QString& journal, IPortableDeviceManager* manager);

    // The application's cameras: MTP devices, and a folder served as one when
    // OSTRA_DEMO_CAMERA names it.
    static IPortableDeviceManager* deviceManagers();

    // "pipelineRouter", "pipelineLogger" and "devicesModel".
    void expose(QQmlContext* context);
    // Once the window has wired everything: opens the connected cameras, so that their
    // files wait for them rather than fail, and resumes what the journal holds.
    void start();

    RecipeRouter router;
    RecipeLogger logger;
    std::unique_ptr<CaptureFacade> devices;
};
