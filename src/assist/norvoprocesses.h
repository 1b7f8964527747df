// The table of our known processes: product codes, names, executables and product folders. The
// crash-reporting library looks products up here to find their dump folders.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace norvo {
namespace assist {

struct NorvoProcess {
    std::string key;             // product code, or product code + "&" + process identifier
    std::string productName;
    std::string executable;      // relative to the product folder; "/" separates a subfolder
    std::string productFolder;   // below the temporary crash folder and HKLM "Software\Norvo\"
    std::string executableName;  // the executable's file name
    std::string processTag;      // short process name stored with a queued dump
    int32_t priority;            // 0 a product's main process; 1 and 2 auxiliary ones
};

class NorvoProcesses {
public:
    // The table, built on first use; it lives until the process ends.
    static NorvoProcesses &instance();
    virtual ~NorvoProcesses() {}

    // The row of "code&process", else the row of "code" alone, else null.
    const NorvoProcess *find(const std::string &productCode, const std::string &processName) const;
    bool contains(const std::string &productCode, const std::string &processName) const;
    int32_t priority(const std::string &productCode, const std::string &processName) const;  // 0: no row
    // Empty texts when there is no row.
    std::string executableName(const std::string &productCode, const std::string &processName) const;
    std::string productFolder(const std::string &productCode, const std::string &processName) const;
    std::string processTag(const std::string &productCode, const std::string &processName) const;

    const std::vector<NorvoProcess> &rows() const { return rows_; }

private:
    NorvoProcesses();
    std::vector<NorvoProcess> rows_;
};

} // namespace assist
} // namespace norvo
