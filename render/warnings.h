#pragma once

#include <QString>
#include <QStringList>

#include <vector>

namespace travcard::render {

// What the renderer met and could not draw as a printer would. A repeated
// warning is kept once, with its count.
class Warnings {
public:
    void add(const QString& text);
    QStringList list() const;

private:
    struct Entry {
        QString text;
        int count;
    };
    static constexpr std::size_t kMaxDistinct = 100;
    std::vector<Entry> entries_;
    int dropped_ = 0;
};

}  // namespace travcard::render
