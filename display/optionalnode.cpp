#include "display/optionalnode.h"

OptionalNode::OptionalNode(QSGNode* child, double shownOpacity)
    : m_shownOpacity(shownOpacity)
{
    setOpacity(0.0);
    if (child)
        appendChildNode(child);
}

void OptionalNode::setVisible(bool visible)
{
    m_visible = visible;
    setOpacity(visible ? m_shownOpacity : 0.0);
}
