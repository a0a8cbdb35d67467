#include "pipeline/iprovider.h"

#include "pipeline/ifilesink.h"

void IProvider::setPipeline(IProvider* source, IFileSink* pipeline)
{
    if (!source || !pipeline)
        return;
    source->attach(pipeline);
    pipeline->setRoute(source->routeKey(), source);
}
