#include "capture/nilcapturesession.h"

#include "capture/nilsessionproxy.h"

NilCaptureSession::NilCaptureSession(QObject* parent)
    : CaptureSession(&NilSessionProxy::create, CaptureRequest(), nullptr, nullptr, parent)
{ }
