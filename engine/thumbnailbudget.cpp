#include "engine/thumbnailbudget.h"

#include "engine/imagekeeper.h"

namespace {

qint64 bytesOf(const CIAPI::ImagePyramid& pyramid)
{
    qint64 bytes = 0;
    for (int level = 0; level < pyramid.levelCount(); ++level) {
        const CIAPI::Image& image = pyramid[level];
        if (!image.empty())
            bytes += qint64(image.stride()) * image.height();
    }
    return bytes;
}

} // namespace

ThumbnailBudget::ThumbnailBudget(qint64 bytes)
    : m_budget(bytes)
{ }

void ThumbnailBudget::setBudget(qint64 bytes)
{
    m_budget = qMax<qint64>(0, bytes);
    trim();
}

void ThumbnailBudget::restamp(ImageKeeper* keeper, Entry& entry)
{
    if (entry.stamp)
        m_order.erase(entry.stamp);
    entry.stamp = ++m_clock;
    m_order.emplace(entry.stamp, keeper);
}

void ThumbnailBudget::touch(const std::shared_ptr<ImageKeeper>& keeper)
{
    const auto it = m_entries.find(keeper.get());
    if (it != m_entries.end())
        restamp(keeper.get(), it.value());
}

void ThumbnailBudget::kept(const std::shared_ptr<ImageKeeper>& keeper)
{
    if (!keeper->hasOutput())
        return;
    Entry& entry = m_entries[keeper.get()];
    entry.keeper = keeper;
    m_used -= entry.bytes;
    entry.bytes = bytesOf(keeper->kept().pyramid);
    m_used += entry.bytes;
    restamp(keeper.get(), entry);
    trim();
}

void ThumbnailBudget::dropped(ImageKeeper* keeper)
{
    const auto it = m_entries.find(keeper);
    if (it == m_entries.end())
        return;
    m_used -= it->bytes;
    m_order.erase(it->stamp);
    m_entries.erase(it);
}

void ThumbnailBudget::trim()
{
    auto it = m_order.begin();
    while (m_used > m_budget && it != m_order.end()) {
        ImageKeeper* raw = it->second;
        ++it;
        const auto entry = m_entries.find(raw);
        const std::shared_ptr<ImageKeeper> keeper = entry->keeper.lock();
        if (keeper && keeper->isShown())
            continue; // a cell shows it
        if (keeper)
            keeper->clearPyramid();
        dropped(raw);
    }
}

void ThumbnailBudget::clear()
{
    m_entries.clear();
    m_order.clear();
    m_used = 0;
}
