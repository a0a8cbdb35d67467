#include "ciapi/backgroundwork.h"

#include "ciapi/render/workerpool.h"

namespace CIAPI {

struct BackgroundWork::Scope
{
    render::WorkerPool::PriorityScope priority { render::WorkerPool::Priority::Background };
};

BackgroundWork::BackgroundWork()
    : m_scope(std::make_unique<Scope>())
{ }

BackgroundWork::~BackgroundWork() = default;

} // namespace CIAPI
