#pragma once

#include <QOpenGLContext>
#include <QPointer>

class QOpenGLFunctions;

// An object that owns OpenGL resources of one context. The resources are made by
// create() once a context is assigned and dropped by release() before another context
// takes its place. Runs on the scene-graph render thread.
class GLAPIClient
{
public:
    virtual ~GLAPIClient();

    // Nothing when `context` is already the assigned one; otherwise releases what was
    // made for the previous context, then assigns `context` and creates.
    void setContext(QOpenGLContext* context);
    QOpenGLContext* context() const { return m_context; }

protected:
    GLAPIClient() = default;

    virtual void create() = 0;
    virtual void release() = 0;

    // True when the assigned context (or one sharing its objects) is current on this
    // thread, so its object names may be deleted here. Names of a context that is not
    // current must never be passed to the GL: they would name another context's objects.
    bool owningContextCurrent() const;

    QPointer<QOpenGLContext> m_context;
    QOpenGLFunctions* m_functions = nullptr;
};
