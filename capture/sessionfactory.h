#pragma once

#include "capture/capturerequest.h"

#include <functional>

class SessionListener;
class SessionProxy;

// Makes the transport side of one capture session; the caller owns the result.
using SessionFactory = std::function<SessionProxy*(const CaptureRequest&, SessionListener*)>;
