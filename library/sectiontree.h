#pragma once

#include <QList>
#include <QVariant>

#include <memory>
#include <vector>

// The nested sections of a sorted file list: files whose key lists share a prefix belong
// to the section of that prefix. Only counts are kept; the list's order already puts a
// section's own files first, then its child sections in key order. Nodes are never
// removed until the tree is cleared, so a section that loses its files keeps its place.
class SectionTree
{
public:
    struct Stats
    {
        quint32 innerIncl = 0; // sections anywhere below
        quint32 innerExcl = 0; // direct child sections
        quint32 itemsIncl = 0; // files here and below
        quint32 itemsExcl = 0; // files whose key list ends here
    };

    // The order of section keys: null first, numbers by value, anything else as text.
    static int compareKeys(const QVariant& a, const QVariant& b);

    SectionTree();
    ~SectionTree();

    // Sections (outline rows), the root not counted.
    int rowCount() const { return int(m_root.stats.innerIncl); }
    void clear();
    void swap(SectionTree& other) { std::swap(m_root, other.m_root); }

    // The sections a new key path would create, and the outline row of the first of them.
    int missingNodes(const QList<QVariant>& keys, int* outlineRow) const;
    // Counts n more files (n may be negative) on the path, creating missing sections.
    void add(const QList<QVariant>& keys, int n);

    // The first list row of the section of the path (where it would be, when missing).
    int baseRow(const QList<QVariant>& keys) const;
    // Files of the section: its own, or with flatten all below it; 0 when missing.
    int rangeSize(const QList<QVariant>& keys, bool flatten) const;
    // The outline row of the section holding the list row (-1 when none), and the row's
    // offset inside it.
    int sectionAt(int row, int* offset = nullptr) const;
    QList<QVariant> pathAt(int outlineRow) const;
    // The outline row of the path, -1 when it is not a section.
    int indexOf(const QList<QVariant>& keys) const;
    Stats statsAt(int outlineRow) const;

private:
    struct Node
    {
        QVariant key;
        Stats stats;
        std::vector<std::unique_ptr<Node>> children;
    };
    // The first child whose key does not sort before the key.
    static size_t lowerBound(const Node& node, const QVariant& key);
    static Node* child(const Node& node, const QVariant& key);
    const Node* nodeAtRow(int outlineRow, QList<QVariant>* path) const;

    Node m_root;
};
