#pragma once

// The import state of one image (or one of its files) as a source may query it: the
// router owns every harvest and answers one from claimIndex and imageChanged.
class IHarvest
{
public:
    // Some session that asked for the image has not finished it yet.
    virtual bool active() const = 0;
    // Every session that asked for the image has it.
    virtual bool complete() const = 0;
    // The image is imported, verified and may be deleted at the source.
    virtual bool removable() const = 0;
    virtual ~IHarvest() = default;
};
