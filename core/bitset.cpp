#include "core/bitset.h"

#include <stdexcept>

template <typename Change> void BitSet::change(int i, Change fn)
{
    if (i < 0)
        throw std::out_of_range("BitSet: negative index");
    const int index = i >> 6;
    while (m_words.size() <= index)
        m_words.append(0);
    m_words.detach();
    quint64& word = m_words[index];
    m_summary ^= word;
    word = fn(word, quint64(1) << (i & 63));
    m_summary ^= word;
}

void BitSet::setBit(int i)
{
    change(i, [](quint64 word, quint64 mask) { return word | mask; });
}

void BitSet::clearBit(int i)
{
    change(i, [](quint64 word, quint64 mask) { return word & ~mask; });
}

bool BitSet::testBit(int i) const
{
    const int index = i >> 6;
    if (i < 0 || index >= m_words.size())
        return false;
    return (m_words[index] >> (i & 63)) & 1u;
}

bool BitSet::isEmpty() const
{
    if (m_summary != 0)
        return false;
    for (quint64 word : m_words) {
        if (word != 0)
            return false;
    }
    return true;
}
