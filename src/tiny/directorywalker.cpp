#include "tiny/directorywalker.h"

#include <boost/regex.hpp>

#include <direct.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace norvo {
namespace tiny {

namespace {

const char kDotFilter[] = "^\\.\\.?$";
const size_t kCurrentDirectorySize = 512;
// Deeper levels are not entered: a folder that loops back into itself cannot walk for ever.
const size_t kMaxDepth = 64;

bool statPath(const std::string &path, struct __stat64 &info) { return _stat64(path.c_str(), &info) == 0; }

bool isFolderMode(const struct __stat64 &info) { return (info.st_mode & _S_IFMT) == _S_IFDIR; }

bool isSeparator(char c) { return c == '/' || c == '\\'; }

int kindOf(const std::string &pattern)
{
    if (pattern.size() >= 3 && (pattern.find(":\\") != std::string::npos || pattern.find(":/") != std::string::npos))
        return DirectoryWalker::kFullPath;
    if (pattern.find('/') != std::string::npos || pattern.find("\\\\") != std::string::npos)
        return DirectoryWalker::kRelativePath;
    return DirectoryWalker::kName;
}

// The length of the root of an absolute path: 3 for "X:\", the length of "\\server\share\"; 0
// for any other path. A root keeps its separator: without it "X:" is the drive's current folder.
size_t rootLength(const std::string &path)
{
    if (path.size() >= 3 && path[1] == ':' && isSeparator(path[2]))
        return 3;
    if (path.size() < 2 || !isSeparator(path[0]) || !isSeparator(path[1]))
        return 0;
    size_t server = path.find_first_of("/\\", 2);
    if (server == std::string::npos || server == 2)
        return 0;
    size_t share = path.find_first_of("/\\", server + 1);
    if (share == server + 1)
        return 0;
    return share == std::string::npos ? 0 : share + 1;
}

// `folder` and `name` with one forward slash between them (none after a root's separator).
std::string joined(const std::string &folder, const std::string &name)
{
    if (!folder.empty() && isSeparator(folder.back()))
        return folder + name;
    return folder + "/" + name;
}

// The base path made absolute against the current directory; false when that cannot be read.
bool absoluteBase(std::string &path)
{
    char current[kCurrentDirectorySize] = {};
    if (!_getcwd(current, static_cast<int>(kCurrentDirectorySize)))
        return false;
    std::string cwd = current;
    bool network = path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]);
    if (path.empty())
        path = cwd;
    else if (isSeparator(path[0]) && !network)
        path = cwd.substr(0, 2) + path;
    else if (!isSeparator(path[0]) && !(path.size() >= 2 && path[1] == ':'))
        path = cwd + "/" + path;
    if (!path.empty() && isSeparator(path.back()) && path.size() > rootLength(path))
        path.pop_back();
    return true;
}

} // namespace

struct DirectoryWalker::Expression {
    explicit Expression(const std::string &pattern) : regex(pattern, boost::regex::perl | boost::regex::icase) {}
    boost::regex regex;
};

DirectoryWalker::DirectoryWalker() { addFilter(kDotFilter, true); }

DirectoryWalker::~DirectoryWalker()
{
    closeAll();
    filters_.clear();
    basePath_.clear();
}

void DirectoryWalker::keepOnlyFirstFilter()
{
    if (filters_.size() > 1)
        filters_.resize(1);
}

int DirectoryWalker::addFilter(const std::string &pattern, bool excluding)
{
    if (pattern.empty())
        return -1;
    std::shared_ptr<Expression> expression;
    try {
        expression = std::make_shared<Expression>(pattern);
    } catch (...) {
        return -1;
    }
    int kind = kindOf(pattern);
    filters_.push_back(Filter{excluding ? -kind : kind, expression});
    return static_cast<int>(filters_.size()) - 1;
}

std::string DirectoryWalker::relativeFolder() const
{
    std::string folder;
    for (size_t level = 0; level + 1 < dirStack_.size() && level < nameStack_.size(); ++level)
        folder += nameStack_[level] + "/";
    return folder;
}

bool DirectoryWalker::accept(const std::string &name) const
{
    bool hasIncluding = false, included = false;
    for (const Filter &filter : filters_) {
        std::string subject;
        switch (filter.kind < 0 ? -filter.kind : filter.kind) {
        case kName: subject = name; break;
        case kRelativePath: subject = relativeFolder() + name; break;
        case kFullPath: subject = joined(basePath_, relativeFolder() + name); break;
        default: return false;
        }
        bool found = false;
        try {
            found = boost::regex_search(subject, filter.expression->regex);
        } catch (...) {
            return false;
        }
        if (filter.kind < 0) {
            if (found)
                return false;
        } else {
            hasIncluding = true;
            included = included || found;
        }
    }
    return included || !hasIncluding;
}

bool DirectoryWalker::offered(const std::string &name) const
{
    std::string path = joined(basePath_, relativeFolder() + name);
    struct __stat64 info;
    if (!statPath(path, info))
        return false;
    if (!(options_ & kIncludeFiles) && !isFolderMode(info))
        return false;
    return accept(name);
}

bool DirectoryWalker::readAccepted(std::string &name)
{
    DIR *dir = dirStack_.back().get();
    while (DirectoryEntry *entry = readDir(dir)) {
        if (offered(entry->name)) {
            name = entry->name;
            return true;
        }
    }
    return false;
}

bool DirectoryWalker::open(bool includeFiles, bool recursive, const std::string &basePath)
{
    closeAll();
    basePath_ = basePath;
    options_ = (includeFiles ? kIncludeFiles : 0) | (recursive ? kRecursive : 0);
    if (!absoluteBase(basePath_))
        return false;
    UniqueDir base(openDir(basePath_.c_str()));
    if (!base)
        return false;
    dirStack_.push_back(std::move(base));
    std::string name;
    if (readAccepted(name))
        nameStack_.push_back(name);
    return true;
}

bool DirectoryWalker::atEnd() const { return dirStack_.empty() || nameStack_.size() < dirStack_.size(); }

bool DirectoryWalker::descend()
{
    if (dirStack_.size() >= kMaxDepth)
        return false;
    UniqueDir level(openDir(currentPath().c_str()));
    if (!level)
        return false;
    dirStack_.push_back(std::move(level));
    std::string name;
    if (readAccepted(name))
        nameStack_.push_back(name);
    return true;
}

bool DirectoryWalker::nextAtCurrentLevel()
{
    if (atEnd())
        return false;
    nameStack_.pop_back();  // the parents' names stay; this level reads on
    std::string name;
    if (!readAccepted(name))
        return false;
    nameStack_.push_back(name);
    return true;
}

void DirectoryWalker::advance()
{
    if (dirStack_.empty())
        return;
    do {
        if (!atEnd() && (options_ & kRecursive) && isDirectory()) {
            if (!descend())
                nextAtCurrentLevel();
        } else {
            if (atEnd()) {
                if (dirStack_.size() == 1)
                    return;
                dirStack_.pop_back();
            }
            nextAtCurrentLevel();
        }
    } while (atEnd());
}

std::string DirectoryWalker::currentName() const { return atEnd() ? std::string() : nameStack_.back(); }

std::string DirectoryWalker::currentPath() const
{
    if (atEnd())
        return std::string();
    std::string path = basePath_;
    for (const std::string &name : nameStack_)
        path = joined(path, name);
    return path;
}

bool DirectoryWalker::isDirectory() const
{
    struct __stat64 info;
    return !atEnd() && statPath(currentPath(), info) && isFolderMode(info);
}

bool DirectoryWalker::isRegularFile() const
{
    struct __stat64 info;
    return !atEnd() && statPath(currentPath(), info) && (info.st_mode & _S_IFMT) == _S_IFREG;
}

int64_t DirectoryWalker::creationTime() const
{
    struct __stat64 info;
    if (atEnd() || !statPath(currentPath(), info))
        return 0;
    return static_cast<int64_t>(info.st_ctime);
}

void DirectoryWalker::closeAll()
{
    nameStack_.clear();
    while (!dirStack_.empty())
        dirStack_.pop_back();
}

} // namespace tiny
} // namespace norvo
