#include "library/sectiontree.h"

namespace {

bool isNumber(const QVariant& v)
{
    switch (int(v.type())) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Bool:
        return true;
    default:
        return false;
    }
}

} // namespace

int SectionTree::compareKeys(const QVariant& a, const QVariant& b)
{
    if (a.isNull() || b.isNull())
        return a.isNull() == b.isNull() ? 0 : (a.isNull() ? -1 : 1);
    if (isNumber(a) && isNumber(b)) {
        const qint64 x = a.toLongLong(), y = b.toLongLong();
        return x < y ? -1 : (y < x ? 1 : 0);
    }
    if (a.type() == QVariant::Double || b.type() == QVariant::Double) {
        const double x = a.toDouble(), y = b.toDouble();
        return x < y ? -1 : (y < x ? 1 : 0);
    }
    const int c = a.toString().compare(b.toString(), Qt::CaseSensitive);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

SectionTree::SectionTree() = default;
SectionTree::~SectionTree() = default;

void SectionTree::clear()
{
    m_root.children.clear();
    m_root.stats = Stats();
}

size_t SectionTree::lowerBound(const Node& node, const QVariant& key)
{
    size_t first = 0, count = node.children.size();
    while (count > 0) {
        const size_t step = count / 2;
        if (compareKeys(node.children[first + step]->key, key) < 0) {
            first += step + 1;
            count -= step + 1;
        } else {
            count = step;
        }
    }
    return first;
}

SectionTree::Node* SectionTree::child(const Node& node, const QVariant& key)
{
    const size_t at = lowerBound(node, key);
    if (at < node.children.size() && compareKeys(node.children[at]->key, key) == 0)
        return node.children[at].get();
    return nullptr;
}

int SectionTree::missingNodes(const QList<QVariant>& keys, int* outlineRow) const
{
    // Walk as indexOf does; at the first missing key the new nodes start at the row
    // after the earlier siblings' subtrees.
    const Node* node = &m_root;
    int row = 0;
    for (int depth = 0; depth < keys.size(); ++depth) {
        const size_t at = lowerBound(*node, keys[depth]);
        for (size_t i = 0; i < at; ++i)
            row += int(node->children[i]->stats.innerIncl) + 1;
        if (at >= node->children.size() || compareKeys(node->children[at]->key, keys[depth]) != 0) {
            if (outlineRow)
                *outlineRow = row;
            return keys.size() - depth;
        }
        node = node->children[at].get();
        row += 1;
    }
    if (outlineRow)
        *outlineRow = row;
    return 0;
}

void SectionTree::add(const QList<QVariant>& keys, int n)
{
    const int created = missingNodes(keys, nullptr);
    Node* node = &m_root;
    for (int depth = 0; depth < keys.size(); ++depth) {
        Node* next = child(*node, keys[depth]);
        const bool made = next == nullptr;
        if (made) {
            auto fresh = std::make_unique<Node>();
            fresh->key = keys[depth];
            next = fresh.get();
            node->children.insert(node->children.begin() + lowerBound(*node, keys[depth]), std::move(fresh));
        }
        // Nodes created at the child's depth and below.
        node->stats.innerIncl += quint32(qMin(created, keys.size() - depth));
        node->stats.innerExcl += made ? 1 : 0;
        node->stats.itemsIncl += quint32(n);
        node = next;
    }
    node->stats.itemsIncl += quint32(n);
    node->stats.itemsExcl += quint32(n);
}

int SectionTree::baseRow(const QList<QVariant>& keys) const
{
    const Node* node = &m_root;
    int row = 0;
    for (const QVariant& key : keys) {
        row += int(node->stats.itemsExcl);
        const size_t at = lowerBound(*node, key);
        for (size_t i = 0; i < at; ++i)
            row += int(node->children[i]->stats.itemsIncl);
        if (at >= node->children.size() || compareKeys(node->children[at]->key, key) != 0)
            return row;
        node = node->children[at].get();
    }
    return row;
}

int SectionTree::rangeSize(const QList<QVariant>& keys, bool flatten) const
{
    const Node* node = &m_root;
    for (const QVariant& key : keys) {
        node = child(*node, key);
        if (!node)
            return 0;
    }
    return int(flatten ? node->stats.itemsIncl : node->stats.itemsExcl);
}

int SectionTree::sectionAt(int row, int* offset) const
{
    if (row < int(m_root.stats.itemsExcl) || row < 0)
        return -1; // files of the root itself belong to no section
    int r = row - int(m_root.stats.itemsExcl);
    int index = 0;
    const Node* node = &m_root;
    size_t i = 0;
    while (i < node->children.size()) {
        const Node* c = node->children[i].get();
        if (r < int(c->stats.itemsIncl)) {
            if (r < int(c->stats.itemsExcl)) {
                if (offset)
                    *offset = r;
                return index;
            }
            r -= int(c->stats.itemsExcl);
            node = c;
            i = 0;
            index += 1;
            continue;
        }
        r -= int(c->stats.itemsIncl);
        index += int(c->stats.innerIncl) + 1;
        ++i;
    }
    return -1;
}

const SectionTree::Node* SectionTree::nodeAtRow(int outlineRow, QList<QVariant>* path) const
{
    if (outlineRow < 0 || outlineRow >= rowCount())
        return nullptr;
    const Node* node = &m_root;
    int r = outlineRow;
    for (;;) {
        size_t i = 0;
        for (; i < node->children.size(); ++i) {
            const int span = int(node->children[i]->stats.innerIncl) + 1;
            if (r < span)
                break;
            r -= span;
        }
        if (i >= node->children.size())
            return nullptr;
        node = node->children[i].get();
        if (path)
            path->append(node->key);
        if (r == 0)
            return node;
        r -= 1;
    }
}

QList<QVariant> SectionTree::pathAt(int outlineRow) const
{
    QList<QVariant> path;
    if (!nodeAtRow(outlineRow, &path))
        return {};
    return path;
}

SectionTree::Stats SectionTree::statsAt(int outlineRow) const
{
    const Node* node = nodeAtRow(outlineRow, nullptr);
    return node ? node->stats : Stats();
}

int SectionTree::indexOf(const QList<QVariant>& keys) const
{
    if (keys.isEmpty())
        return -1;
    int row = 0;
    const int missing = missingNodes(keys, &row);
    return missing > 0 ? -1 : row - 1;
}
