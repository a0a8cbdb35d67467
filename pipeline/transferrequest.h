#pragma once

#include <QUuid>

#include "pipeline/interfaces/arbiter.h"
#include "pipeline/interfaces/recipe.h"
#include "pipeline/interfaces/volume.h"

// One queued file of the router, kept under the target's local path.
struct TransferRequest
{
    QUuid session; // null for requests filed without a session
    Recipe recipe;
    Arbiter arbiter;
    Volume volume; // resolved when queued or at the first pass
    int err = 0; // IFileSink::Error flags raised on this request
    bool live = true;
    bool done = false;
    // Examined by a pass and left only for want of room on its channel: while the channel
    // stays full, later passes need not look at it again.
    bool waiting = false;
    // Its file is being written by this import (a fetch or a copy): only such a file, once
    // verified, lets the source delete the picture.
    bool placing = false;
};
