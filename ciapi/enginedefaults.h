#pragma once

#include "ciapi/propertystore.h"
#include "ciapi/transform.h"

namespace CIAPI {

namespace vrx {
class VrxImage;
}

// The values an engine object takes from its input.
namespace defaults {

constexpr float kMinDepthOfField = 2.8f;
constexpr float kMaxDepthOfField = 15.2f;
constexpr float kDefaultDepthOfField = 4.0f;

// Parameters that describe the file (integers 0 to 7, arrays, exposure facts, depth
// range), or their cleared values without input.
void fillFileFacts(PropertyStore::Values& values, const vrx::VrxImage* input);
// Edit parameters at their unedited values (tune, depth of field, focus).
void fillEditDefaults(PropertyStore::Values& values, const vrx::VrxImage* input);
// The file's own transform (aspect from integer 3, orientation from integer 2); unset
// without input.
Transform fileTransform(const vrx::VrxImage* input);
// Integers that belong to the session, not to a file or an edit.
bool isSessionSetting(int intParam);

} // namespace defaults
} // namespace CIAPI
