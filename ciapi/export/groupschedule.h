#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

namespace CIAPI::exporter {

// Hands out the tasks of an export's loop over its groups of bands, each as soon as what it
// needs is done, so that a thread never waits for one task while another could run:
// - the tiles of group g render once group g's rows are finished (the first group's are made
//   before the loop);
// - the tasks that make the rows of group g (g >= 1) run once the rows of group g - 1 are
//   finished (they copy the rows the two share) and the tiles of group g - 2 are done (the
//   window they write into is the one those tiles read);
// - the tasks that finish the rows of group g (sharpen and measure its tiles) run once all the
//   rows of group g are made.
// Of the tasks that may run, the rows of the earliest group come first (finishing before
// making), then the tiles of the earliest group with tiles left, in their order: the next
// group's rows are made while the group before it renders, and are there when its last tiles
// end. The order the tasks are handed out in does not change what they make.
class GroupSchedule
{
public:
    enum class Kind {
        Tile,
        Make,
        Finish,
    };
    struct Task
    {
        Kind kind = Kind::Tile;
        int group = 0;
        int index = 0; // among the group's tasks of its kind, in the order they are handed out
    };

    // `tiles[g]`: the tiles of group g (at least one); every group after the first has `makes`
    // tasks that make its rows and `finishes[g]` that finish them (`finishes[0]` is not read).
    GroupSchedule(std::vector<int> tiles, int makes, std::vector<int> finishes);

    // The tasks of all the groups.
    int taskCount() const { return m_total; }

    // The next task whose prerequisites are done, waiting while there is none; called
    // taskCount() times in all, on any threads (once more throws std::logic_error).
    Task take();
    // `task` ended, whichever way it ended: the tasks that wait for it may run.
    void done(const Task& task);

private:
    // Claims a task that may run into `task` (with m_mutex held).
    bool pick(Task& task);
    // Whether the rows of `group` are made and finished (with m_mutex held).
    bool rowsDone(int group) const
    {
        return m_makesLeft[size_t(group)] == 0 && m_finishesLeft[size_t(group)] == 0;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    const int m_groups;
    const int m_makes;
    std::vector<int> m_tiles, m_finishes;
    // Each kind's tasks of each group handed out, and those not done yet.
    std::vector<int> m_tilesTaken, m_makesTaken, m_finishesTaken;
    std::vector<int> m_tilesLeft, m_makesLeft, m_finishesLeft;
    int m_lowest = 0; // the earliest group with tiles not handed out
    int m_total = 0;
    int m_taken = 0;
};

} // namespace CIAPI::exporter
