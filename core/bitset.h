#pragma once

#include <QVector>
#include <QtGlobal>

// A growable set of small non-negative integers with a cheap emptiness test: the
// summary word is always the exclusive-or of all words, so a non-zero summary proves
// a set bit without a scan.
class BitSet
{
public:
    void setBit(int i);
    void clearBit(int i);
    bool testBit(int i) const;
    bool isEmpty() const;

    int wordCount() const { return m_words.size(); }

private:
    template <typename Change> void change(int i, Change fn);

    QVector<quint64> m_words;
    quint64 m_summary = 0;
};
