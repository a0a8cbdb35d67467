#pragma once

#include "engine/depthclient.h"
#include "engine/iimageservice.h"
#include "engine/imageeditor.h"

#include <QTest>
#include <QUrl>

namespace ostra::test {

// Lends an editor for a picture and waits, turning the event loop, until the open that
// runs in the background has ended (the picture open, or reported unreadable), as the
// canvas waits for it. Null when no editor was lent or the open never ended.
inline ImageEditor* openedForView(IImageService& service, const QUrl& url, DepthClient* client)
{
    ImageEditor* editor = service.openForView(url, client);
    if (editor && !QTest::qWaitFor([editor] { return editor->openingUrl().isEmpty(); }, 60000))
        return nullptr;
    return editor;
}

} // namespace ostra::test
