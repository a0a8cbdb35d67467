#pragma once

#include <QObject>
#include <QPointer>

#include <array>
#include <functional>
#include <vector>

#include "library/filekey.h"
#include "library/iordering.h"

class Agnostic;
class SortKeyCache;

// An ordering made of a comparator and a key function over cached file keys. Sorting and
// searching read each file's key once; the keys are refreshed when a file's headers
// change, so the order is the one the comparator gives on the current headers.
class Ordering : public QObject, public IOrdering
{
    Q_OBJECT
public:
    using Compare = std::function<int(const FileKey&, const FileKey&)>;
    using KeyList = std::function<QList<QVariant>(const FileKey&)>;
    // Numbers that order files as the comparator does, as far as they go: files whose
    // prefixes differ compare in the prefixes' order. Lets a sort compare plain numbers.
    using Prefix = std::array<qint64, 3>;
    using PrefixOf = std::function<Prefix(const FileKey&)>;

    // For comparators that are decided by a text: nine of its characters from an offset on
    // as numbers (see Comparators::urlPrefix); files whose numbers are equal to the end of
    // their texts are told apart by the comparator.
    using TextPrefixAt = std::function<Prefix(const FileKey&, int)>;
    // Whether two files' key lists are equal, without building them.
    using SameSection = bool (*)(const FileKey&, const FileKey&);
    // A run of adjacent sorted files that share one key list.
    struct Section
    {
        QList<QVariant> keys;
        int count;
    };

    Ordering(Compare compare, KeyList keys, QObject* parent = nullptr);
    Ordering(Compare compare, KeyList keys, PrefixOf prefix, QObject* parent = nullptr);
    Ordering(Compare compare, KeyList keys, TextPrefixAt text, QObject* parent = nullptr);

    // The orderings of the gallery.
    static Ordering* byUrl(QObject* parent = nullptr);
    static Ordering* byTimestamp(QObject* parent = nullptr);
    static Ordering* byRating(QObject* parent = nullptr);
    static Ordering* byFolder(QObject* parent = nullptr);

    QPair<int, int> equalRange(const QList<QUrl>& list, const QUrl& url, IResolver* resolver) override;
    // Reads the URL's key afresh: the file is being placed by its current headers.
    int insertionRow(const QList<QUrl>& list, const QUrl& url, IResolver* resolver) override;
    void sort(QList<QUrl>& list, IResolver* resolver) override;
    QList<QVariant> keys(const QUrl& url, IResolver* resolver) override;

    // The comparator on the files' cached keys.
    int compare(const QUrl& a, const QUrl& b, IResolver* resolver);
    // Sorts as sort() does and gives the sections of the sorted list in order, each file's
    // key read once.
    std::vector<Section> sortInSections(QList<QUrl>& list, IResolver* resolver);
    void setSameSection(SameSection same) { m_same = same; }
    // Files share a section exactly when the first `words` numbers of their prefixes are
    // equal (as setSameSection says it): the sections are then read off the sorted numbers
    // without reading the files' keys again.
    void setSectionWords(int words) { m_sectionWords = words; }

private:
    SortKeyCache* cacheFor(IResolver* resolver);
    int lowerBound(const QList<QUrl>& list, const FileKey& probe, SortKeyCache* cache) const;
    struct Item;
    // The sorted files' keys; for each of them a number equal only within its section,
    // when the sort gives it (else empty).
    struct Sorted
    {
        std::vector<const FileKey*> keys;
        std::vector<quint64> sections;
    };
    void sortByText(Item* first, Item* last, int offset) const;
    void sortByPrefix(std::vector<Item>& items) const;
    bool sortPacked(const std::vector<Prefix>& prefixes, std::vector<const FileKey*>& keys,
        std::vector<int>& rows, std::vector<quint64>& sections) const;
    Sorted sortedKeys(QList<QUrl>& list, IResolver* resolver);

    Compare m_compare;
    KeyList m_keys;
    PrefixOf m_prefix;
    TextPrefixAt m_text;
    SameSection m_same = nullptr;
    int m_sectionWords = 0;
    Agnostic* m_agnostic = nullptr;
    IResolver* m_lastResolver = nullptr;
    QPointer<SortKeyCache> m_lastCache;
};
