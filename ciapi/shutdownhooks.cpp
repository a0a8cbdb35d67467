#include "ciapi/shutdownhooks.h"

#include "ciapi/ciapi.h"

#include <map>
#include <mutex>

namespace CIAPI {

namespace {
struct Registry
{
    std::mutex mutex; // guards hooks and next
    std::mutex running; // one shutdown at a time
    std::map<int, std::function<void()>> hooks;
    int next = 1;
};

Registry& registry()
{
    static Registry* r = new Registry; // outlives every static destructor that may shut down
    return *r;
}
} // namespace

int AddShutdownHook(std::function<void()> hook)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const int id = r.next++;
    r.hooks.emplace(id, std::move(hook));
    return id;
}

void RemoveShutdownHook(int id)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.hooks.erase(id);
}

void StaticShutdown()
{
    Registry& r = registry();
    std::lock_guard<std::mutex> run(r.running);
    std::map<int, std::function<void()>> hooks;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        hooks = r.hooks;
    }
    for (auto it = hooks.rbegin(); it != hooks.rend(); ++it)
        if (it->second)
            it->second();
}

} // namespace CIAPI
