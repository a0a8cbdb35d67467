#include "library/sortkeycache.h"

#include <QDateTime>
#include <QThreadPool>

#include <memory>
#include <vector>

#include "engine/iresolver.h"
#include "library/urlidentity.h"

SortKeyCache::SortKeyCache(IHeaders* headers)
    : QObject(headers)
    , m_headers(headers)
{
    setObjectName(QStringLiteral("sortKeyCache"));
}

SortKeyCache* SortKeyCache::of(IHeaders* headers)
{
    if (!headers)
        return nullptr;
    auto* cache = headers->findChild<SortKeyCache*>(QString(), Qt::FindDirectChildrenOnly);
    return cache ? cache : new SortKeyCache(headers);
}

void SortKeyCache::reserve(int count)
{
    if (count <= 0 || size_t(count) <= m_keys.size())
        return;
    m_keys.reserve(size_t(count));
    size_t capacity = 16;
    while (capacity < 2 * size_t(count))
        capacity *= 2;
    if (capacity > m_shortcuts.size())
        growShortcuts(capacity);
    m_pinned.reserve(2 * size_t(count));
}

namespace {

size_t slotOf(quintptr identity, size_t capacity)
{
    // Addresses differ in their middle bits; a multiply spreads them over the table.
    return size_t((quint64(identity) * 0x9E3779B97F4A7C15ull) >> 20) & (capacity - 1);
}

} // namespace

void SortKeyCache::prefetch(const QUrl& url) const
{
    const quintptr identity = urlIdentity(url);
    if (identity && !m_shortcuts.empty())
        __builtin_prefetch(&m_shortcuts[slotOf(identity, m_shortcuts.size())]);
}

FileKey* SortKeyCache::shortcut(quintptr identity) const
{
    if (m_shortcuts.empty())
        return nullptr;
    const size_t mask = m_shortcuts.size() - 1;
    for (size_t i = slotOf(identity, m_shortcuts.size());; i = (i + 1) & mask) {
        const Shortcut& entry = m_shortcuts[i];
        if (entry.identity == identity)
            return entry.key;
        if (entry.identity == 0)
            return nullptr;
    }
}

bool SortKeyCache::addShortcut(quintptr identity, FileKey* key)
{
    if (2 * (m_shortcutCount + 1) > m_shortcuts.size())
        growShortcuts(qMax<size_t>(16, 2 * m_shortcuts.size()));
    const size_t mask = m_shortcuts.size() - 1;
    for (size_t i = slotOf(identity, m_shortcuts.size());; i = (i + 1) & mask) {
        Shortcut& entry = m_shortcuts[i];
        if (entry.identity == identity)
            return false;
        if (entry.identity == 0) {
            entry = { identity, key };
            ++m_shortcutCount;
            return true;
        }
    }
}

void SortKeyCache::growShortcuts(size_t capacity)
{
    std::vector<Shortcut> old(capacity);
    old.swap(m_shortcuts);
    m_shortcutCount = 0;
    for (const Shortcut& entry : old) {
        if (entry.identity != 0)
            addShortcut(entry.identity, entry.key);
    }
}

const FileKey& SortKeyCache::key(const QUrl& url)
{
    const quintptr identity = urlIdentity(url);
    if (identity) {
        if (FileKey* known = shortcut(identity))
            return *known;
    }
    auto it = m_keys.find(url);
    if (it == m_keys.end())
        it = m_keys.emplace(url, make(url, m_headers->rowFor(url))).first;
    remember(url, &it->second);
    return it->second;
}

void SortKeyCache::remember(const QUrl& url, FileKey* key)
{
    const quintptr identity = urlIdentity(url);
    if (!identity)
        return;
    if (m_pinned.size() > 2 * m_keys.size() + 1024) {
        // Many short-lived copies went through: start the shortcuts afresh.
        std::fill(m_shortcuts.begin(), m_shortcuts.end(), Shortcut());
        m_shortcutCount = 0;
        m_pinned.clear();
    }
    if (addShortcut(identity, key))
        m_pinned.push_back(url);
}

void SortKeyCache::forget(const QSet<QUrl>& urls)
{
    if (urls.isEmpty() || m_keys.empty())
        return;
    // The keys are taken out here and freed on a thread of their own: a session of 100,000
    // files lets go of 400,000 strings, which took the GUI thread a fifth of a second.
    auto gone = std::make_shared<std::vector<decltype(m_keys)::node_type>>();
    gone->reserve(size_t(qMin(size_t(urls.size()), m_keys.size())));
    if (size_t(urls.size()) * 4 < m_keys.size()) {
        // A few of many: each one looked up.
        for (const QUrl& url : urls) {
            auto node = m_keys.extract(url);
            if (!node.empty())
                gone->push_back(std::move(node));
        }
    } else {
        // Most of the keys go, and the URLs that go are mostly copies of the ones the keys
        // are filed under: the keys are walked once and matched by the URLs' identities, so
        // no URL's text is hashed. A URL built apart from its key's is looked up after.
        size_t capacity = 16;
        while (capacity < 2 * size_t(urls.size()))
            capacity *= 2;
        std::vector<quintptr> leaving(capacity, 0); // identities; the lowest bit marks a match
        const size_t mask = capacity - 1;
        const auto slot = [&](quintptr identity) -> quintptr& {
            for (size_t i = slotOf(identity, capacity);; i = (i + 1) & mask) {
                if (leaving[i] == 0 || (leaving[i] & ~quintptr(1)) == identity)
                    return leaving[i];
            }
        };
        for (const QUrl& url : urls) {
            if (const quintptr identity = urlIdentity(url))
                slot(identity) = identity;
        }
        size_t matched = 0;
        for (auto it = m_keys.begin(); it != m_keys.end();) {
            const quintptr identity = urlIdentity(it->first);
            quintptr* found = identity ? &slot(identity) : nullptr;
            if (found && *found) {
                *found |= 1;
                ++matched;
                auto next = std::next(it);
                gone->push_back(m_keys.extract(it));
                it = next;
            } else {
                ++it;
            }
        }
        for (const QUrl& url : urls) {
            if (matched == size_t(urls.size()))
                break; // each one had its key's identity
            const quintptr identity = urlIdentity(url);
            if (identity && (slot(identity) & 1))
                continue;
            auto node = m_keys.extract(url);
            if (!node.empty())
                gone->push_back(std::move(node));
        }
    }
    if (gone->empty())
        return;
    // The shortcuts may lead to keys that went: they start afresh, in tables sized for
    // the keys that stay.
    size_t capacity = 16;
    while (capacity < 2 * m_keys.size())
        capacity *= 2;
    auto shortcuts = std::make_shared<std::vector<Shortcut>>(capacity);
    shortcuts->swap(m_shortcuts);
    m_shortcutCount = 0;
    auto pinned = std::make_shared<std::vector<QUrl>>();
    pinned->swap(m_pinned);
    m_keys.rehash(0);
    // Strings and URLs are freed on any thread alike; nothing else refers to these.
    // The task owns the only references, so they go on the pool thread.
    QThreadPool::globalInstance()->start(
        [gone = std::move(gone), pinned = std::move(pinned), shortcuts = std::move(shortcuts)]() mutable {
            gone.reset();
            pinned.reset();
            shortcuts.reset();
        });
}

const FileKey& SortKeyCache::refresh(const QUrl& url)
{
    FileKey& stored = m_keys[url];
    stored = make(url, m_headers->rowFor(url));
    // The copy being placed is usually the one a list keeps: look it up quickly from now on.
    remember(url, &stored);
    return stored;
}

namespace {

int digits(QStringView text, int from, int count)
{
    int value = 0;
    for (int i = from; i < from + count; ++i) {
        const ushort c = text.at(i).unicode();
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// "yyyy-MM-ddTHH:mm:ss[.zzz]" with or without a zone after it, read without building a
// QDateTime (which looks up the time zone for every local time). False when the text has
// another form; the caller then lets QDateTime read it.
bool readIsoWallClock(QStringView text, QDate& date, QTime& time)
{
    if (text.size() < 19 || text.at(4) != QLatin1Char('-') || text.at(7) != QLatin1Char('-')
        || text.at(10) != QLatin1Char('T') || text.at(13) != QLatin1Char(':')
        || text.at(16) != QLatin1Char(':'))
        return false;
    const int year = digits(text, 0, 4);
    const int month = digits(text, 5, 2);
    const int day = digits(text, 8, 2);
    const int hour = digits(text, 11, 2);
    const int minute = digits(text, 14, 2);
    const int second = digits(text, 17, 2);
    int msec = 0;
    int end = 19;
    if (text.size() >= 23 && text.at(19) == QLatin1Char('.')) {
        msec = digits(text, 20, 3);
        end = 23;
    }
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0 || msec < 0)
        return false;
    // Only a zone may follow.
    if (end < text.size()) {
        const QChar next = text.at(end);
        if (!(next == QLatin1Char('Z') && end + 1 == text.size()) && next != QLatin1Char('+')
            && next != QLatin1Char('-'))
            return false;
    }
    date = QDate(year, month, day);
    time = QTime(hour, minute, second, msec);
    return date.isValid() && time.isValid();
}

} // namespace

FileKey SortKeyCache::make(const QUrl& url, const QMap<int, QVariant>& headers)
{
    FileKey key;
    key.url = url.toString();
    key.name = url.fileName(QUrl::FullyDecoded);
    key.path = url.toLocalFile();
    const int slash = key.path.lastIndexOf(QLatin1Char('/'));
    key.nameStart = slash + 1;
    if (key.pathName() == key.name)
        key.folderEnd = slash; // the last part is the file: the folder ends before it
    else
        key.folderEnd = key.path.size();

    // The capture time as written (wall clock), ordered without time zones.
    const QVariant stamp = headers.value(IResolver::Timestamp);
    QDate date;
    QTime time;
    if (stamp.userType() != QMetaType::QString || !readIsoWallClock(stamp.toString(), date, time)) {
        const QDateTime when = stamp.toDateTime();
        date = when.date();
        time = when.time();
        if (!when.isValid())
            date = QDate();
    }
    if (date.isValid()) {
        key.year = date.year();
        key.month = date.month();
        key.day = date.day();
        key.msecs = date.toJulianDay() * qint64(86400000) + time.msecsSinceStartOfDay();
    }
    key.rating = headers.value(IResolver::Rating).toInt();
    return key;
}
