#include "admin/IpFilterEditor.h"

#include <algorithm>

#include "platform/Text.h"

namespace tw::admin {

std::vector<std::string> SplitListText(const std::string& text) {
    const std::vector<std::string_view> entries = SplitList(text);
    return std::vector<std::string>(entries.begin(), entries.end());
}

std::string JoinListEntries(const std::vector<std::string>& entries) {
    std::string text;
    for (const std::string& e : entries) text += (text.empty() ? "" : ",") + e;
    return text;
}

CIpFilterEditor::CIpFilterEditor(int mode, std::string allowText, std::string denyText)
    : mode_(mode), allowText_(std::move(allowText)), denyText_(std::move(denyText)) {
    SetMode(mode);
}

void CIpFilterEditor::SetMode(int mode) {
    mode_ = mode;
    entries_ = mode == 1   ? SplitListText(denyText_)
               : mode == 2 ? SplitListText(allowText_)
                           : std::vector<std::string>{};
    selected_ = -1;
}

void CIpFilterEditor::Select(int row) { selected_ = row >= 0 && row < static_cast<int>(entries_.size()) ? row : -1; }

int CIpFilterEditor::Find(const std::string& address) const {
    auto it = std::find(entries_.begin(), entries_.end(), address);
    return it == entries_.end() ? -1 : static_cast<int>(it - entries_.begin());
}

CIpFilterEditor::Change CIpFilterEditor::Add(const std::string& address) {
    if (!HasList()) return Change::NoList;
    if (int row = Find(address); row >= 0) {
        selected_ = row;
        return Change::Duplicate;
    }
    entries_.push_back(address);
    selected_ = static_cast<int>(entries_.size()) - 1;
    Rebuild();
    return Change::Done;
}

CIpFilterEditor::Change CIpFilterEditor::Edit(const std::string& address) {
    if (selected_ < 0) return Change::NoSelection;
    const int other = Find(address);
    if (other >= 0 && other != selected_) {
        entries_.erase(entries_.begin() + selected_);
        selected_ = other > selected_ ? other - 1 : other;
        Rebuild();
        return Change::Duplicate;
    }
    entries_[static_cast<size_t>(selected_)] = address;
    Rebuild();
    return Change::Done;
}

CIpFilterEditor::Change CIpFilterEditor::Remove() {
    if (selected_ < 0) return Change::NoSelection;
    entries_.erase(entries_.begin() + selected_);
    selected_ = entries_.empty() ? -1 : 0;
    Rebuild();
    return Change::Done;
}

void CIpFilterEditor::Rebuild() {
    // Only a mode with a list has entries, so a selection (and with it a change) exists only there.
    (mode_ == 1 ? denyText_ : allowText_) = JoinListEntries(entries_);
}

}  // namespace tw::admin
