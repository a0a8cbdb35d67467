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

namespace {

// The capture time's milliseconds since its day began. Files of one day compare by it as
// by the whole time, and it spreads over 27 bits, not the 48 of times since the epoch
// (files without a capture time have 0 there): with the day before it, the numbers of
// files years apart still pack into one.
qint64 timeOfDay(const FileKey& key)
{
    constexpr qint64 kDay = 86400000;
    return ((key.msecs % kDay) + kDay) % kDay;
}

} // namespace

Ordering* Ordering::byTimestamp(QObject* parent)
{
    auto* ordering = new Ordering(
        Comparators::byTimestamp, Comparators::dayKey,
        [](const FileKey& key) {
            return Prefix { key.packedDay(), timeOfDay(key), 0 };
        },
        parent);
    ordering->setSameSection(
        [](const FileKey& a, const FileKey& b) { return a.packedDay() == b.packedDay(); });
    ordering->setSectionWords(1);
    return ordering;
}

Ordering* Ordering::byRating(QObject* parent)
{
    auto* ordering = new Ordering(
        Comparators::byRating, Comparators::ratingKey,
        [](const FileKey& key) {
            return Prefix { key.rating, key.packedDay(), timeOfDay(key) };
        },
        parent);
    ordering->setSameSection([](const FileKey& a, const FileKey& b) { return a.rating == b.rating; });
    ordering->setSectionWords(1);
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

// One pass of a radix sort: the bits [shift, shift + bits) of a number.
struct Digit
{
    int shift;
    int bits;
};

// Sorts by `digitOf(item, pass)` from the lowest digit up, each pass keeping the order of the
// one before.
template <typename T, typename DigitOf>
void radixSort(std::vector<T>& items, const std::vector<Digit>& digits, DigitOf digitOf)
{
    if (digits.empty() || items.size() < 2)
        return;
    // Every pass's counts in one sweep.
    std::vector<std::vector<quint32>> counts(digits.size());
    for (size_t p = 0; p < digits.size(); ++p)
        counts[p].assign(size_t(1) << digits[p].bits, 0);
    for (const T& item : items) {
        for (size_t p = 0; p < digits.size(); ++p)
            ++counts[p][digitOf(item, p)];
    }
    std::vector<T> other(items.size());
    for (size_t p = 0; p < digits.size(); ++p) {
        quint32 offset = 0;
        for (quint32& bucket : counts[p]) {
            const quint32 size = bucket;
            bucket = offset;
            offset += size;
        }
        quint32* places = counts[p].data();
        for (const T& item : items)
            other[places[digitOf(item, p)]++] = item;
        items.swap(other);
    }
}

// The byte shifts, lowest first, at which some of the values differ from the first one.
std::vector<Digit> varyingBytes(quint64 varying)
{
    std::vector<Digit> digits;
    for (int shift = 0; shift < 64; shift += 8) {
        if ((varying >> shift) & 0xffu)
            digits.push_back({ shift, 8 });
    }
    return digits;
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

// Digits of at most 11 bits over the bits that vary, as few as cover them: fewer passes
// than bytes, with counts that stay in the nearest cache.
std::vector<Digit> varyingDigits(quint64 varying)
{
    std::vector<Digit> digits;
    if (!varying)
        return digits;
    int low = 0;
    while (!((varying >> low) & 1u))
        ++low;
    const int span = bitWidth(varying) - low;
    constexpr int kMostBits = 11;
    const int passes = (span + kMostBits - 1) / kMostBits;
    const int bits = (span + passes - 1) / passes;
    for (int shift = low; shift < low + span; shift += bits)
        digits.push_back({ shift, qMin(bits, low + span - shift) });
    return digits;
}

} // namespace

bool Ordering::sortPacked(const std::vector<Prefix>& prefixes, std::vector<const FileKey*>& keys,
    std::vector<int>& rows, std::vector<quint64>& sections) const
{
    // How far each number spreads: when all fit in 64 bits together, the files are sorted
    // by one packed number each (16 bytes to move, not a whole item).
    const size_t count = prefixes.size();
    constexpr size_t kWords = std::tuple_size<Prefix>::value;
    Prefix low = count ? prefixes.front() : Prefix { 0, 0, 0 };
    Prefix high = low;
    for (const Prefix& prefix : prefixes) {
        for (size_t w = 0; w < kWords; ++w) {
            low[w] = qMin(low[w], prefix[w]);
            high[w] = qMax(high[w], prefix[w]);
        }
    }
    std::array<int, kWords> width {};
    int bits = 0;
    for (size_t w = 0; w < kWords; ++w) {
        width[w] = bitWidth(quint64(high[w]) - quint64(low[w]));
        bits += width[w];
    }
    if (bits > 64)
        return false;
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
                value = (value << width[w]) | (quint64(prefixes[i][w]) - quint64(low[w]));
        }
        packed[i] = { value, i };
        varying |= value;
    }
    const std::vector<Digit> digits = varyingDigits(varying);
    radixSort(packed, digits, [&digits](const Packed& p, size_t pass) {
        return size_t(p.value >> digits[pass].shift) & ((size_t(1) << digits[pass].bits) - 1);
    });
    // Files with equal numbers, next to each other by now, by the comparator.
    for (size_t run = 0; run < count;) {
        size_t end = run + 1;
        while (end < count && packed[end].value == packed[run].value)
            ++end;
        if (end - run > 1) {
            std::sort(packed.begin() + ptrdiff_t(run), packed.begin() + ptrdiff_t(end),
                [this, &keys](const Packed& a, const Packed& b) {
                    return m_compare(*keys[size_t(a.index)], *keys[size_t(b.index)]) < 0;
                });
        }
        run = end;
    }
    // The section's words are the packed number's highest bits.
    int below = 0;
    for (size_t w = size_t(qMax(m_sectionWords, 0)); w < kWords; ++w)
        below += width[w];
    std::vector<const FileKey*> sortedKeys(count);
    rows.resize(count);
    if (m_sectionWords > 0)
        sections.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const Packed& p = packed[i];
        sortedKeys[i] = keys[size_t(p.index)];
        rows[i] = int(p.index);
        if (m_sectionWords > 0)
            sections[i] = below >= 64 ? 0 : p.value >> below;
    }
    keys.swap(sortedKeys);
    return true;
}

void Ordering::sortByPrefix(std::vector<Item>& items) const
{
    // Numbers that spread over more than 64 bits together: word by word, the last one
    // first; biased, so negative numbers come first. Then files with equal prefixes (next
    // to each other by then) by the comparator.
    const size_t count = items.size();
    constexpr size_t kWords = std::tuple_size<Prefix>::value;
    if (count < 2)
        return;
    const auto biased = [](qint64 value) { return quint64(value) ^ (quint64(1) << 63); };
    for (size_t w = kWords; w-- > 0;) {
        const quint64 first = biased(items.front().prefix[w]);
        quint64 varying = 0;
        for (const Item& item : items)
            varying |= biased(item.prefix[w]) ^ first;
        const std::vector<Digit> digits = varyingBytes(varying);
        radixSort(items, digits, [&](const Item& item, size_t pass) {
            return unsigned(biased(item.prefix[w]) >> digits[pass].shift) & 0xffu;
        });
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

Ordering::Sorted Ordering::sortedKeys(QList<QUrl>& list, IResolver* resolver)
{
    SortKeyCache* cache = cacheFor(resolver);
    const size_t count = size_t(list.size());
    Sorted sorted;
    std::vector<int> rows;
    // The keys lie scattered in memory: each place is asked for a few files ahead of its use.
    constexpr size_t ahead = 16;
    if (m_prefix && !m_text) {
        // One sweep: a file's shortcut is asked for two steps ahead, its key one step
        // ahead, and its numbers are read when it comes.
        std::vector<const FileKey*> keys(count);
        std::vector<Prefix> prefixes(count);
        for (size_t i = 0; i < count + ahead; ++i) {
            if (i + ahead < count)
                cache->prefetch(list.at(int(i + ahead)));
            if (i < count) {
                const FileKey* key = &cache->key(list.at(int(i)));
                keys[i] = key;
                __builtin_prefetch(&key->year);
                __builtin_prefetch(&key->rating);
            }
            if (i >= ahead)
                prefixes[i - ahead] = m_prefix(*keys[i - ahead]);
        }
        if (!sortPacked(prefixes, keys, rows, sorted.sections)) {
            std::vector<Item> items(count);
            for (size_t i = 0; i < count; ++i)
                items[i] = { prefixes[i], keys[i], int(i) };
            sortByPrefix(items);
            for (size_t i = 0; i < count; ++i) {
                keys[i] = items[i].key;
                rows.push_back(items[i].row);
            }
        }
        sorted.keys.swap(keys);
    } else {
        std::vector<Item> items;
        items.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            if (i + ahead < count)
                cache->prefetch(list.at(int(i + ahead)));
            items.push_back({ Prefix { 0, 0, 0 }, &cache->key(list.at(int(i))), int(i) });
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
            std::sort(items.begin(), items.end(),
                [this](const Item& a, const Item& b) { return m_compare(*a.key, *b.key) < 0; });
        }
        sorted.keys.reserve(count);
        rows.reserve(count);
        for (const Item& item : items) {
            sorted.keys.push_back(item.key);
            rows.push_back(item.row);
        }
    }
    // The URLs are swapped out, not copied: their shared values are never touched.
    QList<QUrl> urls;
    urls.reserve(list.size());
    for (int row : rows) {
        urls.append(QUrl());
        urls.last().swap(list[row]);
    }
    list.swap(urls);
    return sorted;
}

void Ordering::sort(QList<QUrl>& list, IResolver* resolver)
{
    sortedKeys(list, resolver);
}

std::vector<Ordering::Section> Ordering::sortInSections(QList<QUrl>& list, IResolver* resolver)
{
    const Sorted sorted = sortedKeys(list, resolver);
    const std::vector<const FileKey*>& keys = sorted.keys;
    std::vector<Section> sections;
    if (!sorted.sections.empty()) {
        // Told by the numbers: only each section's first key is read again.
        for (size_t i = 0; i < keys.size(); ++i) {
            if (i > 0 && sorted.sections[i] == sorted.sections[i - 1])
                ++sections.back().count;
            else
                sections.push_back({ m_keys(*keys[i]), 1 });
        }
        return sections;
    }
    const FileKey* first = nullptr;
    for (size_t i = 0; i < keys.size(); ++i) {
        const FileKey* key = keys[i];
        if (i + 16 < keys.size())
            __builtin_prefetch(keys[i + 16]);
        if (first) {
            const bool same = m_same ? m_same(*first, *key) : m_keys(*first) == m_keys(*key);
            if (same) {
                ++sections.back().count;
                continue;
            }
        }
        first = key;
        sections.push_back({ m_keys(*key), 1 });
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
