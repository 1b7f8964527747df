// Finding dump files that already lie on disk: the newest dump of a known process, and the
// system's kernel memory dump and whether it is newer than the last one handled.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>

namespace norvo {
namespace assist {

// (product code, process name), the key of the known-process table.
using ProcessKey = std::pair<std::string, std::string>;

class MDFinder {
public:
    enum FindResult {
        kNotFound = 0,
        kFound = 1,          // the named dump, a product-folder dump, or one of the process's names
        kNameMissing = 2,    // a name was passed but is absent; a dump of the process was found
        kGenericOnly = 3,    // only a file matching the generic dump pattern
    };
    // Passes over a folder examine at most this many entries each.
    static const int kMaxEntriesPerPass = 100;

    MDFinder(const ProcessKey &key, bool useProductLayout, bool deleteOldDumps);
    virtual ~MDFinder() {}

    // True when `dump` names an existing file, or when a file in `folder` matches `pattern`: then
    // `dump` becomes the one with the newest creation time. With deleteOldDumps the older matching
    // files are deleted.
    bool checkDumpExistence(const std::string &pattern, const std::string &folder, std::string &dump) const;
    // Searches `folder` (empty: the program's folder) for the dump named in `dump`, else for the
    // newest dump of the key's process; a FindResult.
    int findMemoryDump(std::string &dump, const std::string &folder) const;

    // Where the system writes its kernel memory dump.
    std::string getKernelCrashDumpPath() const;
    // Whether the dump at `path` is newer than the product's "LastKernelDumpTime".
    bool isItNewKrnDump(const std::string &path) const;

private:
    bool searchProductFolders(std::string &dump, const std::string &dumpPath) const;
    int searchByName(std::string &dump, const std::string &dumpPath) const;

    ProcessKey key_;
    bool deleteOldDumps_;
    bool useProductLayout_;
};

// True when the kernel memory dump exists, can be read and is new for `finder`'s product. `path`
// is its path whenever it can be read, and empty when it cannot.
bool findKernelDump(const MDFinder &finder, std::string &path);

// `text` with a backslash before every '.', for a file name inside a regular expression.
std::string escapeDots(const std::string &text);

} // namespace assist
} // namespace norvo
