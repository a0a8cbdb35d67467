#include "display/flatcolornode.h"

FlatColorNode::FlatColorNode(const QColor& color)
{
    m_material.setColor(color);
    setMaterial(&m_material);
}

FlatColorNode::~FlatColorNode() = default;

void FlatColorNode::setColor(const QColor& color)
{
    if (color == m_material.color())
        return;
    m_material.setColor(color);
    markDirty(DirtyMaterial);
}
