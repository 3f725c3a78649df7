#include "render/warnings.h"

#include <algorithm>

namespace travcard::render {

void Warnings::add(const QString& text)
{
    const auto found = std::ranges::find(entries_, text, &Entry::text);
    if (found != entries_.end())
        ++found->count;
    else if (entries_.size() < kMaxDistinct)
        entries_.push_back({text, 1});
    else
        ++dropped_;
}

QStringList Warnings::list() const
{
    QStringList lines;
    for (const Entry& entry : entries_)
        lines << (entry.count == 1 ? entry.text : QString("%1 (%2 times)").arg(entry.text).arg(entry.count));
    if (dropped_ > 0)
        lines << QString("%1 more warnings not listed").arg(dropped_);
    return lines;
}

}  // namespace travcard::render
