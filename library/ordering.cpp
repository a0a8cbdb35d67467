#include "library/ordering.h"

#include <algorithm>
#include <vector>

#include "engine/iresolver.h"
#include "library/agnostic.h"
#include "library/comparators.h"
#include "library/sortkeycache.h"

Ordering::Ordering(Compare compare, KeyList keys, QObject* parent)
    : QObject(parent), m_compare(std::move(compare)), m_keys(std::move(keys))
{
}

Ordering* Ordering::byUrl(QObject* parent)
{
    return new Ordering(Comparators::byUrl, Comparators::nullKey, parent);
}

Ordering* Ordering::byTimestamp(QObject* parent)
{
    return new Ordering(Comparators::byTimestamp, Comparators::dayKey, parent);
}

Ordering* Ordering::byRating(QObject* parent)
{
    return new Ordering(Comparators::byRating, Comparators::ratingKey, parent);
}

Ordering* Ordering::byFolder(QObject* parent)
{
    return new Ordering(Comparators::byFolder, Comparators::folderKey, parent);
}

SortKeyCache* Ordering::cacheFor(IResolver* resolver)
{
    if (!resolver) {
        // Without a resolver no file has headers: order by what the URL alone gives.
        if (!m_agnostic)
            m_agnostic = new Agnostic(this);
        resolver = m_agnostic;
    }
    if (resolver != m_lastResolver || !m_lastCache) {
        m_lastResolver = resolver;
        m_lastCache = SortKeyCache::of(resolver);
    }
    return m_lastCache;
}

int Ordering::lowerBound(const QList<QUrl>& list, const FileKey& probe, SortKeyCache* cache) const
{
    int first = 0;
    int count = list.size();
    while (count > 0) {
        const int step = count / 2;
        const int mid = first + step;
        if (m_compare(cache->key(list.at(mid)), probe) < 0) {
            first = mid + 1;
            count -= step + 1;
        } else {
            count = step;
        }
    }
    return first;
}

QPair<int, int> Ordering::equalRange(const QList<QUrl>& list, const QUrl& url,
                                     IResolver* resolver)
{
    SortKeyCache* cache = cacheFor(resolver);
    const FileKey probe = cache->key(url);
    const int first = lowerBound(list, probe, cache);
    // Only the URL itself compares equal, so the range is empty or that one row.
    int end = first;
    while (end < list.size()) {
        if (m_compare(cache->key(list.at(end)), probe) >= 1)
            break;
        ++end;
    }
    return {first, end};
}

int Ordering::insertionRow(const QList<QUrl>& list, const QUrl& url, IResolver* resolver)
{
    SortKeyCache* cache = cacheFor(resolver);
    const FileKey probe = cache->refresh(url);
    const int row = lowerBound(list, probe, cache);
    if (row < list.size() && list.at(row) == url)
        return -1;
    return row;
}

void Ordering::sort(QList<QUrl>& list, IResolver* resolver)
{
    SortKeyCache* cache = cacheFor(resolver);
    std::vector<std::pair<const FileKey*, int>> items;
    items.reserve(size_t(list.size()));
    for (int i = 0; i < list.size(); ++i)
        items.emplace_back(&cache->key(list.at(i)), i);
    std::sort(items.begin(), items.end(), [this](const auto& a, const auto& b) {
        return m_compare(*a.first, *b.first) < 0;
    });
    QList<QUrl> sorted;
    sorted.reserve(list.size());
    for (const auto& item : items)
        sorted.append(list.at(item.second));
    list.swap(sorted);
}

QList<QVariant> Ordering::keys(const QUrl& url, IResolver* resolver)
{
    SortKeyCache* cache = cacheFor(resolver);
    return m_keys(cache->key(url));
}

int Ordering::compare(const QUrl& a, const QUrl& b, IResolver* resolver)
{
    SortKeyCache* cache = cacheFor(resolver);
    const FileKey& ka = cache->key(a);
    return m_compare(ka, cache->key(b));
}
