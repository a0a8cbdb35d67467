#pragma once

class QObject;
class WinCaptureProxy;

// With OSTRA_DEMO_CAMERA=<folder> (a tree made by `vrxgen camera`), a portable-device
// transport over that folder served as a device of the maker, started; null otherwise.
WinCaptureProxy* startDemoCamera(QObject* parent);
