#pragma once

#include <QColor>
#include <QSGFlatColorMaterial>
#include <QSGGeometryNode>

// A geometry node drawn in one colour; the caller gives it its geometry.
class FlatColorNode : public QSGGeometryNode
{
public:
    explicit FlatColorNode(const QColor& color);
    ~FlatColorNode() override;

    void setColor(const QColor& color);
    QColor color() const { return m_material.color(); }

private:
    QSGFlatColorMaterial m_material;
};
