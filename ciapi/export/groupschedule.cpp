#include "ciapi/export/groupschedule.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace CIAPI::exporter {

GroupSchedule::GroupSchedule(std::vector<int> tiles, int makes, std::vector<int> finishes)
    : m_groups(int(tiles.size()))
    , m_makes(std::max(0, makes))
    , m_tiles(std::move(tiles))
    , m_finishes(std::move(finishes))
{
    if (m_finishes.size() != m_tiles.size())
        throw std::logic_error("Groups without their rows' tasks");
    const size_t n = m_tiles.size();
    if (n > 0)
        m_finishes[0] = 0;
    for (size_t g = 0; g < n; ++g) {
        if (m_tiles[g] < 1 || m_finishes[g] < 0)
            throw std::logic_error("A group without tiles");
        m_total += m_tiles[g] + (g > 0 ? m_makes + m_finishes[g] : 0);
    }
    m_tilesTaken.assign(n, 0);
    m_makesTaken.assign(n, 0);
    m_finishesTaken.assign(n, 0);
    m_tilesLeft = m_tiles;
    m_makesLeft.assign(n, m_makes);
    m_finishesLeft = m_finishes;
    if (n > 0) {
        m_makesLeft[0] = 0;
        m_makesTaken[0] = m_makes;
    }
}

bool GroupSchedule::pick(Task& task)
{
    while (m_lowest < m_groups && m_tilesTaken[size_t(m_lowest)] == m_tiles[size_t(m_lowest)])
        ++m_lowest;
    // Rows may be made for a group one past the earliest with tiles left at most: those of the
    // group after it wait for its tiles.
    const int last = std::min(m_groups - 1, m_lowest + 1);
    for (int g = 1; g <= last; ++g) {
        const size_t i = size_t(g);
        if (m_finishesTaken[i] < m_finishes[i] && m_makesLeft[i] == 0) {
            task = Task { Kind::Finish, g, m_finishesTaken[i]++ };
            return true;
        }
        if (m_makesTaken[i] < m_makes && rowsDone(g - 1) && (g < 2 || m_tilesLeft[i - 2] == 0)) {
            task = Task { Kind::Make, g, m_makesTaken[i]++ };
            return true;
        }
    }
    if (m_lowest < m_groups && rowsDone(m_lowest)) {
        task = Task { Kind::Tile, m_lowest, m_tilesTaken[size_t(m_lowest)]++ };
        return true;
    }
    return false;
}

GroupSchedule::Task GroupSchedule::take()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_taken >= m_total)
        throw std::logic_error("No task left to take");
    Task task;
    // A task not done yet is under way (every task handed out is run): it ends, and with it
    // what waits for it may run.
    m_changed.wait(lock, [&] { return pick(task); });
    ++m_taken;
    return task;
}

void GroupSchedule::done(const Task& task)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t g = size_t(task.group);
    if (g >= m_tiles.size())
        throw std::logic_error("No such group");
    int* left = nullptr;
    switch (task.kind) {
    case Kind::Tile:
        left = &m_tilesLeft[g];
        break;
    case Kind::Make:
        left = &m_makesLeft[g];
        break;
    case Kind::Finish:
        left = &m_finishesLeft[g];
        break;
    }
    if (*left <= 0)
        throw std::logic_error("A task done twice");
    // Only the last of a kind lets other tasks run.
    if (--*left == 0)
        m_changed.notify_all();
}

} // namespace CIAPI::exporter
