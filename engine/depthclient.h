#pragma once

#include "engine/imageclient.h"

class ImageEditor;

// A listener that edits depth: told when an editor is opened for it so that it can
// connect the editor's signals.
class DepthClient : public ImageClient
{
public:
    virtual void attachEditor(ImageEditor* editor) = 0;
};
