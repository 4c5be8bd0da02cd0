// CIniFile: sectioned key=value settings files.
//
// Rules: section and key names compare without regard to case; the first matching key of the first
// matching section wins; values are trimmed and cut to 255 characters; a missing file, section or key
// gives the caller's default. Reading numbers out of values is the callers' (LeadingInt in Text.h helps).
// Writing keeps every other line of the file as it was.
#pragma once

#include <string>
#include <vector>

namespace tw {

class CIniFile {
public:
    static constexpr size_t kMaxValue = 255;

    explicit CIniFile(std::string path);  // reads the file; a missing file reads as empty

    const std::string& Path() const { return path_; }
    std::string GetString(const std::string& section, const std::string& key, const std::string& def = {}) const;

    // Replaces the first matching key's value, or appends the key (and the section when missing),
    // then rewrites the file whole. False when the file cannot be written.
    bool WriteString(const std::string& section, const std::string& key, const std::string& value);

private:
    // Index of the line holding the key, or -1; `sectionEnd` gets the line after the matched section.
    long FindKey(const std::string& section, const std::string& key, long* sectionEnd) const;
    bool Save() const;

    std::string path_;
    std::vector<std::string> lines_;
};

}  // namespace tw
