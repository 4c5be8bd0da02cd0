#include "admin/LogPageModel.h"

#include <iterator>

namespace tw::admin {

Rgb LevelColour(EventLevel level) {
    switch (level) {
    case EventLevel::COMMAND:
        return {0, 0, 150};
    case EventLevel::REPLY:
        return {0, 150, 0};
    default:
        return {128, 0, 0};
    }
}

void CLogPageModel::Append(std::vector<Line> lines) {
    // Of a batch larger than the list only its newest kMaxLines lines would survive.
    auto from = lines.begin();
    if (lines.size() > kMaxLines) from += static_cast<std::ptrdiff_t>(lines.size() - kMaxLines);
    const size_t incoming = static_cast<size_t>(std::distance(from, lines.end()));
    while (!lines_.empty() && lines_.size() + incoming > kMaxLines) lines_.pop_front();
    lines_.insert(lines_.end(), std::make_move_iterator(from), std::make_move_iterator(lines.end()));
}

}  // namespace tw::admin
