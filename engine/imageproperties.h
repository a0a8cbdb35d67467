#pragma once

#include "ciapi/transform.h"
#include "engine/imagenumberproperty.h"
#include "engine/imagetransformproperties.h"
#include "engine/z40elementproperties.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QVariant>

#include <atomic>
#include <memory>

namespace CIAPI {
class RendererBase;
}

// The editable state of one picture as the interface sees it: seven tune and tone values,
// the geometry, and the "patch" (the part of them that a batch edit or a tuning preset
// carries). The editor's render objects push it into the engine and read it back.
class ImageProperties : public Z40ElementProperties
{
    Q_OBJECT
    Q_PROPERTY(QVariant tuneToneProperties READ tuneToneProperties CONSTANT)
    Q_PROPERTY(bool isTuneToneOriginal READ isTuneToneOriginal NOTIFY changed)

public:
    enum CustomPatch { RotationAndMirror = 0, Crop = 1 };
    Q_ENUM(CustomPatch)

    explicit ImageProperties(QObject* parent = nullptr);
    ~ImageProperties() override;

    QVariant tuneToneProperties() const;
    bool isTuneToneOriginal() const;

    Q_INVOKABLE void cloneProperties(ImageProperties* another);
    Q_INVOKABLE void markTuneTonePatch(ImageProperty* property, bool shouldPatch);
    Q_INVOKABLE void markCustomPatch(int customPatch, bool shouldPatch);
    Q_INVOKABLE void applyPatch(ImageProperties* patch);
    Q_INVOKABLE void resetPatch(ImageProperties* patch);
    Q_INVOKABLE void revertToOriginal();
    Q_INVOKABLE void resetTuneTone();
    Q_INVOKABLE void cleanPatchProgress();
    Q_INVOKABLE int patchSkippedCropsCount() const { return m_skippedCrops; }
    Q_INVOKABLE int patchCompletedCount() const { return m_completed; }
    Q_INVOKABLE bool hasPatch() const;

    // Preset selection: takes the other object's patch (entries, values and custom parts)
    // and its geometry.
    void copyFrom(ImageProperties& other);
    void resetTransform();

    void setTransform(const CIAPI::Transform& t, bool asOriginal = false);
    CIAPI::Transform transformProperties() const { return m_transform->current; }
    ImageTransformProperties& transform() const { return *m_transform; }

    // Renderer exchange.
    void applyToRenderer(CIAPI::RendererBase& renderer) const;
    void loadFromRenderer(const CIAPI::RendererBase& renderer, bool asOriginal);
    // Applies this object, taken as a patch, to a renderer; the values it replaces go to
    // `undo` when given. True when the renderer changed.
    bool applyPatchToRenderer(CIAPI::RendererBase& renderer, ImageProperties* undo);
    bool differsFromRenderer(const CIAPI::RendererBase& renderer) const;

    // The patch as a JSON document (the content of a ".qpf" preset file).
    Q_INVOKABLE QByteArray savePatch() const;
    // Reads a patch document into this object. A document that is not a JSON object or
    // has no version 1 is refused with false, leaves the object as it was and leaves the
    // reason in patchError(). Tone values are clamped to their ranges; a crop is clipped
    // to the picture and ignored when nothing of it is left.
    Q_INVOKABLE bool loadPatch(const QByteArray& json);
    Q_INVOKABLE QString patchError() const { return m_patchError; }

    const QList<std::shared_ptr<ImageNumberProperty>>& tuneTone() const { return m_tuneTone; }
    const QList<std::shared_ptr<ImageProperty>>& patch() const { return m_patch; }
    void addToPatch(const std::shared_ptr<ImageProperty>& entry) { m_patch.append(entry); }
    std::shared_ptr<ImageNumberProperty> tuneToneEntry(const QString& name) const;
    bool rotationAndMirrorPatched() const { return m_rotationAndMirrorPatched; }
    bool cropPatched() const { return m_cropPatched; }

signals:
    void changed();
    void transformChanged();

private:
    // Takes the patch's tone values that differ from ours; true when any did.
    bool takePatchedTones(const ImageProperties& patch);
    void loadGeometry(const QJsonObject& geometry);

    QList<std::shared_ptr<ImageNumberProperty>> m_tuneTone;
    std::shared_ptr<ImageTransformProperties> m_transform;
    QList<std::shared_ptr<ImageProperty>> m_patch;
    bool m_rotationAndMirrorPatched = false;
    bool m_cropPatched = false;
    // Counted by the batch thread while the window may count the picture open in the canvas.
    std::atomic<int> m_skippedCrops { 0 };
    std::atomic<int> m_completed { 0 };
    QString m_patchError;
};
