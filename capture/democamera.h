#pragma once

class QObject;
class FolderDeviceManager;

// With OSTRA_DEMO_CAMERA=<folder> (a tree made by `vrxgen camera`), a device manager that
// serves that folder as a portable device of the maker, named "Z40 (demo)"; null
// otherwise. The devices model lists it beside the real devices.
FolderDeviceManager* demoCameraManager(QObject* parent);
