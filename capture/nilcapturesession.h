#pragma once

#include "capture/capturesession.h"

// A capture session without a device: no rows, no transfers. Shown while no device is
// chosen and handed out for a device that cannot be opened.
class NilCaptureSession : public CaptureSession
{
    Q_OBJECT
public:
    explicit NilCaptureSession(QObject* parent = nullptr);
};
