// The systemd side of the service switches: the unit file's text and the systemctl calls.
//
// The unit directory ($TARNWICK_UNIT_DIR, default /etc/systemd/system) and the systemctl program
// ($TARNWICK_SYSTEMCTL, default "systemctl") can be redirected, so tests run against a recording fake.
#pragma once

#include <string>
#include <vector>

namespace tw {

constexpr const char* kUnitName = "tarnwick-ftp.service";

// `value` as one double-quoted word of a unit file: backslash, quote and control characters escaped and
// "%" doubled (specifiers). ("$" is left alone: it is expanded neither in an executable's name nor in
// Environment=.)
std::string QuoteUnitValue(const std::string& value);

// The unit that runs `programPath` without a switch in `programDir` (its TARNWICK_HOME); empty when
// systemd refuses the path as an executable's name (quotes, backslashes, control characters).
std::string BuildUnitText(const std::string& programPath, const std::string& programDir);

class CSystemctl {
public:
    CSystemctl();

    const std::string& UnitDirectory() const { return unitDir_; }
    std::string UnitPath() const;
    // Runs systemctl with `args` (bounded to 90 s); true when it ran and exited with 0.
    bool Run(const std::vector<std::string>& args) const;
    // "active", "activating", "deactivating", "inactive", "failed", ...; empty when systemctl gave nothing.
    std::string ActiveState() const;

private:
    std::string unitDir_;
    std::string program_;
};

}  // namespace tw
