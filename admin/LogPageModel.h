// CLogPageModel: the lines of the log page, each with its event level. Holds at most kMaxLines lines:
// before a line is added to a full list, the oldest goes.
//
// Threads: GUI thread only.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "engine/ServerEventSink.h"

namespace tw::admin {

struct Rgb {
    int red, green, blue;
    bool operator==(const Rgb&) const = default;
};

// A command received dark blue, a reply sent green, every other level dark red.
Rgb LevelColour(EventLevel level);

class CLogPageModel {
public:
    static constexpr size_t kMaxLines = 1201;

    struct Line {
        EventLevel level = EventLevel::EVENT;
        std::string text;
    };

    void Append(std::vector<Line> lines);
    void Clear() { lines_.clear(); }
    size_t Size() const { return lines_.size(); }
    const Line& At(size_t row) const { return lines_[row]; }

private:
    std::deque<Line> lines_;
};

}  // namespace tw::admin
