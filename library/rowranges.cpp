#include "library/rowranges.h"

#include <algorithm>

RowRanges::List RowRanges::normalized(List ranges)
{
    if (!std::is_sorted(ranges.cbegin(), ranges.cend()))
        std::sort(ranges.begin(), ranges.end());
    List joined;
    joined.reserve(ranges.size());
    for (const auto& range : qAsConst(ranges)) {
        if (range.first > range.second)
            continue;
        if (!joined.isEmpty() && range.first <= joined.last().second + 1)
            joined.last().second = qMax(joined.last().second, range.second);
        else
            joined.append(range);
    }
    return joined;
}

bool RowRanges::contains(const List& ranges, int row)
{
    const auto after = std::upper_bound(ranges.cbegin(), ranges.cend(), row,
        [](int value, const QPair<int, int>& range) { return value < range.first; });
    return after != ranges.cbegin() && std::prev(after)->second >= row;
}

int RowRanges::size(const List& ranges)
{
    int rows = 0;
    for (const auto& range : ranges)
        rows += range.second - range.first + 1;
    return rows;
}

RowRanges::List RowRanges::united(const List& ranges, const List& more)
{
    if (more.isEmpty())
        return ranges;
    if (ranges.isEmpty())
        return more;
    List all;
    all.reserve(ranges.size() + more.size());
    std::merge(ranges.cbegin(), ranges.cend(), more.cbegin(), more.cend(), std::back_inserter(all));
    return normalized(all);
}

RowRanges::List RowRanges::subtracted(const List& ranges, const List& less)
{
    if (less.isEmpty() || ranges.isEmpty())
        return ranges;
    List left;
    left.reserve(ranges.size() + less.size());
    auto cut = less.cbegin();
    for (auto range : ranges) {
        // Cuts wholly before this range cannot touch the later ones either.
        while (cut != less.cend() && cut->second < range.first)
            ++cut;
        for (auto next = cut; next != less.cend() && next->first <= range.second; ++next) {
            if (next->first > range.first)
                left.append({ range.first, next->first - 1 });
            range.first = next->second + 1;
            if (range.first > range.second)
                break;
        }
        if (range.first <= range.second)
            left.append(range);
    }
    return left;
}

RowRanges::List RowRanges::inserted(const List& ranges, int row, int count)
{
    List shifted;
    shifted.reserve(ranges.size() + 1);
    for (const auto& range : ranges) {
        if (range.first >= row) {
            shifted.append({ range.first + count, range.second + count });
        } else if (range.second >= row) {
            shifted.append({ range.first, row - 1 });
            shifted.append({ row + count, range.second + count });
        } else {
            shifted.append(range);
        }
    }
    return shifted;
}

RowRanges::List RowRanges::removed(const List& ranges, int first, int last)
{
    const int count = last - first + 1;
    List shifted;
    shifted.reserve(ranges.size());
    for (const auto& range : ranges) {
        const auto place = [&](int r) { return r > last ? r - count : r; };
        // Rows inside the removed ones go; what is left of the range shifts.
        const int top = range.first >= first && range.first <= last ? last + 1 : range.first;
        const int bottom = range.second >= first && range.second <= last ? first - 1 : range.second;
        if (top > bottom)
            continue;
        shifted.append({ place(top), place(bottom) });
    }
    return normalized(shifted);
}
