#pragma once

// A listener of the image service as the canvas and the gallery cells are: it records what
// it is handed. Header-only: only the engine's tests, which link the engine, include it.

#include "engine/depthclient.h"
#include "engine/vrxmessage.h"

#include <QList>
#include <QObject>

namespace ostra::test {

class RecordingCanvas : public QObject, public DepthClient
{
public:
    QObject* object() override { return this; }
    void imageOutput(const VrxMessage& message) override { outputs.append(message); }
    void fileInvalid(QUrl location) override { invalid.append(location); }
    void routerDetached(ImageRouter* router) override { detachedFrom.append(router); }
    void attachEditor(ImageEditor* editor) override { attached.append(editor); }
    bool showsOutput() const override { return shows; }

    QList<VrxMessage> outputs;
    QList<QUrl> invalid;
    QList<ImageRouter*> detachedFrom;
    QList<ImageEditor*> attached;
    // Whether it shows what it is handed (a gallery cell off the screen does not).
    bool shows = true;
};

} // namespace ostra::test
