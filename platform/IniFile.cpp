#include "platform/IniFile.h"

#include "platform/FileSystem.h"
#include "platform/Text.h"

#include <fstream>
#include <sstream>

namespace tw {

namespace {

std::string Trimmed(std::string_view s) { return std::string(Trim(s)); }

// "[name]" -> name; false for any other line.
bool SectionName(const std::string& line, std::string& name) {
    std::string t = Trimmed(line);
    if (t.size() < 2 || t.front() != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    name = Trimmed(t.substr(1, close - 1));
    return true;
}

// "key=value" -> key, value; false for lines without "=" and comments.
bool KeyValue(const std::string& line, std::string& key, std::string& value) {
    std::string t = Trimmed(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    key = Trimmed(t.substr(0, eq));
    value = Trimmed(t.substr(eq + 1));
    if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                              (value.front() == '\'' && value.back() == '\'')))
        value = value.substr(1, value.size() - 2);
    return true;
}

}  // namespace

CIniFile::CIniFile(std::string path) : path_(std::move(path)) {
    std::ifstream in(path_, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines_.push_back(line);
    }
}

long CIniFile::FindKey(const std::string& section, const std::string& key, long* sectionEnd) const {
    bool inSection = false, seen = false;
    if (sectionEnd) *sectionEnd = -1;
    for (size_t i = 0; i < lines_.size(); ++i) {
        std::string name, k, v;
        if (SectionName(lines_[i], name)) {
            if (inSection) return -1;  // only the first matching section counts
            inSection = !seen && EqualsNoCase(name, section);
            seen = seen || inSection;
            if (inSection && sectionEnd) *sectionEnd = static_cast<long>(lines_.size());
            continue;
        }
        if (!inSection) continue;
        if (sectionEnd) *sectionEnd = static_cast<long>(i + 1);
        if (KeyValue(lines_[i], k, v) && EqualsNoCase(k, key)) return static_cast<long>(i);
    }
    return -1;
}

std::string CIniFile::GetString(const std::string& section, const std::string& key, const std::string& def) const {
    long at = FindKey(section, key, nullptr);
    std::string k, value = def;
    if (at >= 0) KeyValue(lines_[static_cast<size_t>(at)], k, value);
    if (value.size() > kMaxValue) value.resize(kMaxValue);
    return value;
}

bool CIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    long sectionEnd;
    long at = FindKey(section, key, &sectionEnd);
    std::string line = key + "=" + value;
    if (at >= 0) {
        lines_[static_cast<size_t>(at)] = line;
    } else if (sectionEnd >= 0) {
        // after the section's last key, before blank lines that separate it from the next section
        size_t pos = static_cast<size_t>(sectionEnd);
        while (pos > 0 && Trimmed(lines_[pos - 1]).empty()) --pos;
        lines_.insert(lines_.begin() + static_cast<long>(pos), line);
    } else {
        lines_.push_back("[" + section + "]");
        lines_.push_back(line);
    }
    return Save();
}

bool CIniFile::Save() const {
    std::string text;
    for (auto& l : lines_) text += l + "\r\n";
    return WriteFileReplacing(path_, text) == 0;
}

}  // namespace tw
