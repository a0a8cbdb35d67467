#include "library/ordering.h"

#include <algorithm>
#include <array>
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

namespace {

// Sorts by `digitOf(item, shift)` from the lowest byte up, each pass keeping the order of the
// one before; a byte that every item shares takes no pass.
template <typename T, typename Digit>
void radixSort(std::vector<T>& items, const std::vector<int>& shifts, Digit digitOf)
{
    if (shifts.empty() || items.size() < 2)
        return;
    // Every pass's counts in one sweep.
    std::vector<std::array<size_t, 256>> counts(shifts.size());
    for (auto& bucket : counts)
        bucket.fill(0);
    for (const T& item : items) {
        for (size_t p = 0; p < shifts.size(); ++p)
            ++counts[p][digitOf(item, p)];
    }
    std::vector<T> other(items.size());
    for (size_t p = 0; p < shifts.size(); ++p) {
        size_t offset = 0;
        for (size_t& bucket : counts[p]) {
            const size_t size = bucket;
            bucket = offset;
            offset += size;
        }
        for (const T& item : items)
            other[counts[p][digitOf(item, p)]++] = item;
        items.swap(other);
    }
}

// The byte shifts, lowest first, at which some of the values differ from the first one.
std::vector<int> varyingBytes(quint64 varying, int from = 0)
{
    std::vector<int> shifts;
    for (int shift = 0; shift < 64; shift += 8) {
        if ((varying >> shift) & 0xffu)
            shifts.push_back(from + shift);
    }
    return shifts;
}

int bitWidth(quint64 value)
{
    int bits = 0;
    while (value) {
        ++bits;
        value >>= 1;
    }
    return bits;
}

} // namespace

void Ordering::sortByPrefix(std::vector<Item>& items) const
{
    // By the prefixes' numbers, then files with equal prefixes (next to each other by then)
    // by the comparator.
    const size_t count = items.size();
    constexpr size_t kWords = std::tuple_size<Prefix>::value;
    if (count < 2)
        return;
    // How far each number spreads: when all fit in 64 bits together, the files are sorted
    // by one packed number each (16 bytes to move, not a whole item).
    std::array<qint64, kWords> low = items.front().prefix;
    std::array<qint64, kWords> high = low;
    for (const Item& item : items) {
        for (size_t w = 0; w < kWords; ++w) {
            low[w] = qMin(low[w], item.prefix[w]);
            high[w] = qMax(high[w], item.prefix[w]);
        }
    }
    std::array<int, kWords> width {};
    int bits = 0;
    for (size_t w = 0; w < kWords; ++w) {
        width[w] = bitWidth(quint64(high[w]) - quint64(low[w]));
        bits += width[w];
    }
    if (bits <= 64) {
        struct Packed
        {
            quint64 value;
            quint64 index;
        };
        std::vector<Packed> packed(count);
        quint64 varying = 0;
        for (size_t i = 0; i < count; ++i) {
            quint64 value = 0;
            for (size_t w = 0; w < kWords; ++w) {
                if (width[w] > 0)
                    value = (value << width[w]) | (quint64(items[i].prefix[w]) - quint64(low[w]));
            }
            packed[i] = { value, i };
            varying |= value;
        }
        const std::vector<int> shifts = varyingBytes(varying);
        radixSort(packed, shifts,
            [&shifts](const Packed& p, size_t pass) { return unsigned(p.value >> shifts[pass]) & 0xffu; });
        std::vector<Item> sorted;
        sorted.reserve(count);
        for (const Packed& p : packed)
            sorted.push_back(items[size_t(p.index)]);
        items.swap(sorted);
    } else {
        // Word by word, the last one first; biased, so negative numbers come first.
        const auto biased = [](qint64 value) { return quint64(value) ^ (quint64(1) << 63); };
        for (size_t w = kWords; w-- > 0;) {
            const quint64 first = biased(items.front().prefix[w]);
            quint64 varying = 0;
            for (const Item& item : items)
                varying |= biased(item.prefix[w]) ^ first;
            const std::vector<int> shifts = varyingBytes(varying);
            radixSort(items, shifts, [&](const Item& item, size_t pass) {
                return unsigned(biased(item.prefix[w]) >> shifts[pass]) & 0xffu;
            });
        }
    }
    for (size_t run = 0; run < count;) {
        size_t end = run + 1;
        while (end < count && items[end].prefix == items[run].prefix)
            ++end;
        if (end - run > 1) {
            std::sort(items.begin() + ptrdiff_t(run), items.begin() + ptrdiff_t(end),
                [this](const Item& a, const Item& b) { return m_compare(*a.key, *b.key) < 0; });
        }
        run = end;
    }
}

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
    } else if (m_prefix) {
        sortByPrefix(items);
    } else {
        std::sort(items.begin(), items.end(),
            [this](const Item& a, const Item& b) { return m_compare(*a.key, *b.key) < 0; });
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
