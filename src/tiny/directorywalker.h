// Walks a folder's entries, optionally into its sub-folders, offering only the entries that pass a
// list of regular-expression filters (Perl syntax, letter case ignored, found anywhere in the
// subject). "." and ".." are filtered out from the start.
#pragma once

#include "tiny/dir.h"

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace norvo {
namespace tiny {

class DirectoryWalker {
public:
    // What a filter is matched against, chosen from the pattern's text; negative: excluding.
    enum FilterKind { kFullPath = 1, kRelativePath = 2, kName = 3 };

    DirectoryWalker();
    virtual ~DirectoryWalker();
    DirectoryWalker(const DirectoryWalker &) = delete;
    DirectoryWalker &operator=(const DirectoryWalker &) = delete;

    // Drops every filter but the first (the dot filter).
    void keepOnlyFirstFilter();
    // The new filter's index; -1 for an empty or invalid pattern (the list is then unchanged).
    int addFilter(const std::string &pattern, bool excluding);

    // Lists `basePath` (relative paths start at the current directory) and stops on its first
    // accepted entry, or at the end when there is none. False when the current directory cannot
    // be read or the folder cannot be listed.
    bool open(bool includeFiles, bool recursive, const std::string &basePath);
    bool atEnd() const;
    // The next accepted entry: into a sub-folder first when recursive, back up when one ends.
    void advance();

    // Empty at the end. The path joins the base path and the names with forward slashes.
    std::string currentName() const;
    std::string currentPath() const;
    bool isDirectory() const;
    bool isRegularFile() const;
    // Seconds since 1970 (the creation time on Windows); 0 at the end or when it cannot be read.
    int64_t creationTime() const;

private:
    struct Expression;  // the compiled expression, kept out of this header
    struct Filter {
        int kind;
        std::shared_ptr<Expression> expression;
    };
    enum Option { kIncludeFiles = 1, kRecursive = 2 };

    bool accept(const std::string &name) const;
    // Whether the entry `name` of the deepest listing is offered.
    bool offered(const std::string &name) const;
    // Reads the deepest listing until an entry is offered; false when it ends first.
    bool readAccepted(std::string &name);
    bool descend();
    bool nextAtCurrentLevel();
    // The parent levels below the base, each followed by "/", for an entry of the deepest level.
    std::string relativeFolder() const;
    void closeAll();

    std::vector<UniqueDir> dirStack_;
    std::vector<std::string> nameStack_;
    std::string basePath_;
    int options_ = 0;
    std::vector<Filter> filters_;
};

} // namespace tiny
} // namespace norvo
