// CIpFilterEditor: the working state of the IP filter editor. It holds copies of the allow and deny texts
// (comma-separated, as acceptip.txt and rejectip.txt hold them) and shows the entries of the chosen mode's
// list; each change to the shown entries rebuilds that list's text, the other text is kept as it was read.
// Nothing reaches the server until the caller applies the texts.
#pragma once

#include <string>
#include <vector>

namespace tw::admin {

// The entries of a list text: split at ",", blanks around an entry dropped, empty entries skipped.
std::vector<std::string> SplitListText(const std::string& text);
// The entries joined with "," and nothing after the last one.
std::string JoinListEntries(const std::vector<std::string>& entries);

class CIpFilterEditor {
public:
    enum class Change { Done, NoSelection, Duplicate, NoList };

    // `mode` as read (0 no filtering, 1 deny list, 2 allow list; any other value is kept and shows no list).
    CIpFilterEditor(int mode, std::string allowText, std::string denyText);

    int Mode() const { return mode_; }
    // Shows `mode`'s list with nothing selected.
    void SetMode(int mode);
    // Modes 1 and 2 have a list to edit.
    bool HasList() const { return mode_ == 1 || mode_ == 2; }

    const std::vector<std::string>& Entries() const { return entries_; }
    int Selected() const { return selected_; }
    // Selects a row of the shown entries; a row outside them clears the selection.
    void Select(int row);

    // Appends `address` and selects it; an address already shown is kept once (Duplicate, it is selected).
    Change Add(const std::string& address);
    // Replaces the selected entry, which stays selected; when `address` is shown elsewhere already, the
    // edited entry goes and that one is selected (Duplicate).
    Change Edit(const std::string& address);
    // Removes the selected entry and selects the first one.
    Change Remove();

    const std::string& AllowText() const { return allowText_; }
    const std::string& DenyText() const { return denyText_; }

private:
    int Find(const std::string& address) const;
    void Rebuild();

    int mode_;
    std::string allowText_, denyText_;
    std::vector<std::string> entries_;
    int selected_ = -1;
};

}  // namespace tw::admin
