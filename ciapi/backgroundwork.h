#pragma once

#include <memory>

namespace CIAPI {

// While one lives, the engine work the constructing thread asks for (renders and the loops
// inside them) is background work: the engine's threads take work someone waits for (an
// editor's render, an export) first and run background work at lowered CPU priority
// (BackgroundThread); the constructing thread's own share of a loop runs at its priority.
// For gallery thumbnails. Made and dropped on one thread.
class BackgroundWork
{
public:
    BackgroundWork();
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;

private:
    struct Scope;
    std::unique_ptr<Scope> m_scope;
};

} // namespace CIAPI
