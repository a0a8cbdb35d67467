#pragma once

#include "ciapi/image.h"
#include "ciapi/rendererbase.h"

#include <memory>

namespace CIAPI {

// Synchronous, small renders for thumbnails and metadata reads: the embedded preview
// decoded at a reduced scale, or a quick downsample of the raw samples when the file
// has no preview.
class DirectRenderer : public RendererBase
{
public:
    // Profile 4 is the only one; any other throws std::invalid_argument.
    static std::shared_ptr<DirectRenderer> Create(int profile);
    ~DirectRenderer() override;

    // Size of the thumbnail of the current input (0 x 0 without input). The long side is
    // the smallest reduction of the preview that is still at least 384 pixels (or the
    // preview's own size when it is smaller).
    int width() const;
    int height() const;

    // Fills `image` (any size; usually width() x height()) with the thumbnail, in RGBA or,
    // when integer parameter 10 is 1, BGRA; alpha 255. Throws std::runtime_error without
    // input, for an incompatible input, or when the preview is damaged and no raw frame
    // can be read.
    void render(Image& image);

private:
    DirectRenderer();
    void onInputChanged() override;

    int m_width = 0;
    int m_height = 0;
};

} // namespace CIAPI
