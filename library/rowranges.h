#pragma once

#include <QList>
#include <QPair>

// Rows as sorted, non-overlapping, non-adjacent [first, last] pairs, and how they change with
// the rows they count: what the gallery knows of its selection without asking the selection
// model for its ranges (a copy of each, with its persistent indexes).
class RowRanges
{
public:
    using List = QList<QPair<int, int>>;

    // Sorted, overlapping and adjacent pairs joined.
    static List normalized(List ranges);
    static bool contains(const List& ranges, int row);
    static int size(const List& ranges);
    // Both normalized; the result too.
    static List united(const List& ranges, const List& more);
    static List subtracted(const List& ranges, const List& less);
    // After `count` rows were inserted before `row` (none of them in the ranges) or the rows
    // `first` to `last` were removed.
    static List inserted(const List& ranges, int row, int count);
    static List removed(const List& ranges, int first, int last);
};
