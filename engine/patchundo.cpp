#include "engine/patchundo.h"

#include "engine/imageproperties.h"

PatchUndo PatchUndo::from(const ImageProperties& undo)
{
    PatchUndo record;
    for (const auto& entry : undo.patch())
        record.values.append({ entry->name(), entry->parameter(), entry->currentValue() });
    record.rotationAndMirror = undo.rotationAndMirrorPatched();
    record.crop = undo.cropPatched();
    record.transform = undo.transformProperties();
    record.orientation = undo.transform().orientation();
    return record;
}

void PatchUndo::fill(ImageProperties& patch) const
{
    for (const Value& value : values) {
        std::shared_ptr<ImageProperty> entry = patch.tuneToneEntry(value.name);
        if (!entry)
            entry = std::make_shared<ImageProperty>(value.name, value.parameter);
        entry->setCurrentValue(value.value);
        patch.addToPatch(entry);
    }
    if (rotationAndMirror || crop) {
        patch.setTransform(transform, false);
        patch.transform().setOrientation(orientation);
    }
    patch.markCustomPatch(ImageProperties::RotationAndMirror, rotationAndMirror);
    patch.markCustomPatch(ImageProperties::Crop, crop);
}
