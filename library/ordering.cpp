#include "library/ordering.h"

#include <algorithm>
#include <vector>

#include "engine/iresolver.h"
#include "library/agnostic.h"
#include "library/comparators.h"
#include "library/sortkeycache.h"

Ordering::Ordering(Compare compare, KeyList keys, QObject* parent)
    : QObject(parent)
    , m_compare(std::move(compare))
    , m_keys(std::move(keys))
{ }

Ordering::Ordering(Compare compare, KeyList keys, PrefixOf prefix, QObject* parent)
    : QObject(parent)
    , m_compare(std::move(compare))
    , m_keys(std::move(keys))
    , m_prefix(std::move(prefix))
{ }

Ordering::Ordering(Compare compare, KeyList keys, TextPrefixAt text, QObject* parent)
    : QObject(parent)
    , m_compare(std::move(compare))
    , m_keys(std::move(keys))
    , m_text(std::move(text))
{ }

Ordering* Ordering::byUrl(QObject* parent)
{
    auto* ordering = new Ordering(Comparators::byUrl, Comparators::nullKey, Comparators::urlPrefix, parent);
    ordering->setSameSection([](const FileKey&, const FileKey&) { return true; });
    return ordering;
}

Ordering* Ordering::byTimestamp(QObject* parent)
{
    auto* ordering = new Ordering(
        Comparators::byTimestamp, Comparators::dayKey,
        [](const FileKey& key) {
            return Prefix { key.packedDay(), key.msecs, 0 };
        },
        parent);
    ordering->setSameSection(
        [](const FileKey& a, const FileKey& b) { return a.packedDay() == b.packedDay(); });
    return ordering;
}

Ordering* Ordering::byRating(QObject* parent)
{
    auto* ordering = new Ordering(
        Comparators::byRating, Comparators::ratingKey,
        [](const FileKey& key) {
            return Prefix { key.rating, key.packedDay(), key.msecs };
        },
        parent);
    ordering->setSameSection([](const FileKey& a, const FileKey& b) { return a.rating == b.rating; });
    return ordering;
}

Ordering* Ordering::byFolder(QObject* parent)
{
    auto* ordering
        = new Ordering(Comparators::byFolder, Comparators::folderKey, Comparators::folderPrefix, parent);
    ordering->setSameSection([](const FileKey& a, const FileKey& b) {
        return (a.folderEnd < 0) == (b.folderEnd < 0) && a.folder() == b.folder();
    });
    return ordering;
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

QPair<int, int> Ordering::equalRange(const QList<QUrl>& list, const QUrl& url, IResolver* resolver)
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
    return { first, end };
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

struct Ordering::Item
{
    Prefix prefix;
    const FileKey* key;
    int row;
};

void Ordering::sortByText(Item* first, Item* last, int offset) const
{
    // Nine characters at a time from `offset` on; files that share them are sorted by the
    // next nine, and files whose texts end alike by the comparator.
    for (Item* it = first; it != last; ++it)
        it->prefix = m_text(*it->key, offset);
    std::sort(first, last, [](const Item& a, const Item& b) { return a.prefix < b.prefix; });
    for (Item* run = first; run != last;) {
        Item* end = run + 1;
        while (end != last && end->prefix == run->prefix)
            ++end;
        if (end - run > 1) {
            const bool ended = run->prefix[2] % Comparators::kUnitBase == 0;
            if (ended) {
                std::sort(
                    run, end, [this](const Item& a, const Item& b) { return m_compare(*a.key, *b.key) < 0; });
            } else {
                sortByText(run, end, offset + Comparators::kPrefixUnits);
            }
        }
        run = end;
    }
}

std::vector<Ordering::Item> Ordering::sortedItems(QList<QUrl>& list, IResolver* resolver)
{
    SortKeyCache* cache = cacheFor(resolver);
    std::vector<Item> items;
    items.reserve(size_t(list.size()));
    // The keys lie scattered in memory: each place is asked for a few files ahead of its use.
    constexpr int ahead = 16;
    for (int i = 0; i < list.size(); ++i) {
        if (i + ahead < list.size())
            cache->prefetch(list.at(i + ahead));
        items.push_back({ Prefix { 0, 0, 0 }, &cache->key(list.at(i)), i });
    }
    if (m_prefix) {
        for (size_t i = 0; i < items.size(); ++i) {
            if (i + ahead < items.size())
                __builtin_prefetch(items[i + ahead].key);
            items[i].prefix = m_prefix(*items[i].key);
        }
    }
    if (m_text && !items.empty()) {
        // Start past the characters that every text shares, nine at a time.
        int common = 0;
        for (;;) {
            const Prefix shared = m_text(*items.front().key, common);
            if (shared[2] % Comparators::kUnitBase == 0)
                break;
            bool same = true;
            for (const Item& item : items) {
                if (m_text(*item.key, common) != shared) {
                    same = false;
                    break;
                }
            }
            if (!same)
                break;
            common += Comparators::kPrefixUnits;
        }
        sortByText(items.data(), items.data() + items.size(), common);
    } else {
        std::sort(items.begin(), items.end(), [this](const Item& a, const Item& b) {
            for (size_t i = 0; i < a.prefix.size(); ++i) {
                if (a.prefix[i] != b.prefix[i])
                    return a.prefix[i] < b.prefix[i];
            }
            return m_compare(*a.key, *b.key) < 0;
        });
    }
    // The URLs are swapped out, not copied: their shared values are never touched.
    QList<QUrl> sorted;
    sorted.reserve(list.size());
    for (const Item& item : items) {
        sorted.append(QUrl());
        sorted.last().swap(list[item.row]);
    }
    list.swap(sorted);
    return items;
}

void Ordering::sort(QList<QUrl>& list, IResolver* resolver)
{
    sortedItems(list, resolver);
}

std::vector<Ordering::Section> Ordering::sortInSections(QList<QUrl>& list, IResolver* resolver)
{
    const std::vector<Item> items = sortedItems(list, resolver);
    std::vector<Section> sections;
    const FileKey* first = nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        const Item& item = items[i];
        if (i + 16 < items.size())
            __builtin_prefetch(items[i + 16].key);
        if (first) {
            const bool same = m_same ? m_same(*first, *item.key) : m_keys(*first) == m_keys(*item.key);
            if (same) {
                ++sections.back().count;
                continue;
            }
        }
        first = item.key;
        sections.push_back({ m_keys(*item.key), 1 });
    }
    return sections;
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
