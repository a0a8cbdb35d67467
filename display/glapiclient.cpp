#include "display/glapiclient.h"
#include "display/logging.h"

#include <QDebug>
#include <QOpenGLFunctions>

GLAPIClient::~GLAPIClient() = default;

void GLAPIClient::setContext(QOpenGLContext* context)
{
    if (context == m_context && context)
        return;
    if (m_context || m_functions) {
        qCWarning(lcDisplay)
            << "Overwriting an assigned QOpenGLContext: QSGRenderNode::releaseResources() not called?";
        release();
    }
    m_context = context;
    m_functions = nullptr;
    if (!context)
        return;
    m_functions = context->functions();
    m_functions->initializeOpenGLFunctions();
    create();
}

bool GLAPIClient::owningContextCurrent() const
{
    QOpenGLContext* current = QOpenGLContext::currentContext();
    if (!m_context || !current)
        return false;
    return current == m_context || QOpenGLContext::areSharing(current, m_context);
}
