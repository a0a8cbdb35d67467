#pragma once

#include <QSGOpacityNode>

// Shows or hides one child by its opacity; starts hidden.
class OptionalNode : public QSGOpacityNode
{
public:
    explicit OptionalNode(QSGNode* child, double shownOpacity = 1.0);

    void setVisible(bool visible);
    bool isVisible() const { return m_visible; }
    double shownOpacity() const { return m_shownOpacity; }

private:
    double m_shownOpacity;
    bool m_visible = false;
};
