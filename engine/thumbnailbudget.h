#pragma once

#include <QHash>

#include <map>
#include <memory>

class ImageKeeper;

// Keeps the pictures the image service holds for the gallery within a memory budget:
// when the kept outputs pass it, the least recently shown ones that no listener shows
// are dropped; the next request reads them again from the file's state. GUI thread only.
class ThumbnailBudget
{
public:
    static constexpr qint64 kDefaultBytes = qint64(512) << 20;

    explicit ThumbnailBudget(qint64 bytes = kDefaultBytes);

    qint64 budget() const { return m_budget; }
    void setBudget(qint64 bytes);
    // Bytes of the outputs kept now.
    qint64 used() const { return m_used; }
    int keptCount() const { return m_entries.size(); }

    // The keeper was asked for: it is the most recently shown.
    void touch(const std::shared_ptr<ImageKeeper>& keeper);
    // The keeper holds an output now (or a different one): counted, then the budget kept.
    void kept(const std::shared_ptr<ImageKeeper>& keeper);
    // The keeper's output went away by other means.
    void dropped(ImageKeeper* keeper);
    // Drops outputs, oldest first, until within the budget.
    void trim();
    void clear();

private:
    struct Entry
    {
        std::weak_ptr<ImageKeeper> keeper;
        qint64 bytes = 0;
        quint64 stamp = 0;
    };
    void restamp(ImageKeeper* keeper, Entry& entry);

    qint64 m_budget;
    qint64 m_used = 0;
    quint64 m_clock = 0;
    QHash<ImageKeeper*, Entry> m_entries;
    // Least recently shown first.
    std::map<quint64, ImageKeeper*> m_order;
};
