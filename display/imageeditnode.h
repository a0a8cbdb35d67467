#pragma once

#include <QSGNode>
#include <QSGTransformNode>

class ImagePlanesNode;
class NodeCrop;
class QQuickWindow;

// The editor canvas's root node: the picture's planes, and above them an overlay layer
// holding the crop overlay.
class ImageEditNode : public QSGNode
{
public:
    explicit ImageEditNode(QQuickWindow* window);
    ~ImageEditNode() override;

    ImagePlanesNode* planes() const { return m_planes; }
    // Replaces the planes node (deleting the previous one); it goes below the overlays.
    void setPlanes(ImagePlanesNode* planes);
    QSGTransformNode* overlay() const { return m_overlay; }
    NodeCrop& crop() { return *m_crop; }
    QQuickWindow* window() const { return m_window; }

    void preprocess() override;

private:
    QQuickWindow* m_window;
    ImagePlanesNode* m_planes = nullptr;
    QSGTransformNode* m_overlay;
    NodeCrop* m_crop;
};
