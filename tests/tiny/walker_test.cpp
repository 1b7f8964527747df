// The directory walker on real folders: which entries its filters let through, how it descends
// into sub-folders and comes back, and the paths it builds.
#include "dumptest.h"
#include "tiny/directorywalker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

using norvo::tiny::DirectoryWalker;

namespace {

// Every path the walker offers, in walking order, without the first `cut` characters; `folders`
// receives those that are directories.
std::vector<std::string> walk(DirectoryWalker &walker, const std::string &base, bool includeFiles, bool recursive,
                              size_t cut, std::set<std::string> *folders = nullptr)
{
    std::vector<std::string> offered;
    EXPECT_TRUE(walker.open(includeFiles, recursive, base));
    for (int guard = 0; !walker.atEnd() && guard < 1000; ++guard, walker.advance()) {
        offered.push_back(walker.currentPath().substr(cut));
        if (folders && walker.isDirectory())
            folders->insert(offered.back());
    }
    EXPECT_EQ("", walker.currentPath());
    return offered;
}

std::set<std::string> asSet(const std::vector<std::string> &paths) { return {paths.begin(), paths.end()}; }

class Walker : public ::testing::Test {
protected:
    std::string folder;
    size_t cut = 0;
    void SetUp() override
    {
        folder = dumptest::freshFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        cut = folder.size() + 1;
    }
    void file(const std::string &name) { ASSERT_TRUE(dumptest::makeFile(folder + "\\" + name, "x", 1600000000)); }
    void dir(const std::string &name) { ASSERT_TRUE(CreateDirectoryA((folder + "\\" + name).c_str(), nullptr)); }
};

TEST_F(Walker, AnchoredNameFilterOffersMatchingFilesAndFoldersInAnyCase)
{
    for (const char *name : {"a.dmp", "B.DMP", "c.Dmp.txt", "notes.txt"})
        file(name);
    dir("sub.dmp");
    dir("other");
    DirectoryWalker walker;
    ASSERT_EQ(1, walker.addFilter("\\.dmp$", false));
    std::set<std::string> folders;
    EXPECT_EQ((std::set<std::string>{"a.dmp", "B.DMP", "sub.dmp"}), asSet(walk(walker, folder, true, false, cut, &folders)));
    EXPECT_EQ(std::set<std::string>{"sub.dmp"}, folders);

    // Without include-files only folders; without a filter of ours all but the dot entries.
    EXPECT_EQ(std::set<std::string>{"sub.dmp"}, asSet(walk(walker, folder, false, false, cut)));
    DirectoryWalker all;
    EXPECT_EQ((std::set<std::string>{"a.dmp", "B.DMP", "c.Dmp.txt", "notes.txt", "sub.dmp", "other"}),
              asSet(walk(all, folder, true, false, cut)));
    EXPECT_EQ((std::set<std::string>{"sub.dmp", "other"}), asSet(walk(all, folder, false, false, cut)));
}

TEST_F(Walker, PathsJoinTheBaseAndNamesWithForwardSlashesWhateverTheBaseEndsIn)
{
    file("x.dmp");
    dir("d");
    file("d\\y.dmp");
    for (const std::string &base : {folder, folder + "\\", folder + "/"}) {
        DirectoryWalker walker;
        walker.addFilter("\\.dmp$|^d$", false);
        EXPECT_EQ((std::set<std::string>{folder + "/x.dmp", folder + "/d", folder + "/d/y.dmp"}),
                  asSet(walk(walker, base, true, true, 0)))
            << base;
    }
}

TEST_F(Walker, PathFiltersMatchTheRelativeOrTheFullPath)
{
    file("x.dmp");
    dir("d");
    file("d\\y.dmp");
    file("d\\z.txt");
    struct Case {
        const char *pattern;
        bool excluding;
        std::set<std::string> offered;
    } cases[] = {
        // A "/" makes it a relative-path filter: the parents below the base, then the name.
        {"^d$|^d/y\\.dmp$", false, {"d", "d/y.dmp"}},
        {"/", true, {"x.dmp", "d"}},
        // A drive (":\" or ":/") makes it a full-path filter: the base path, "/", the relative path.
        {"^[a-z]:\\\\.*/(d|d/z\\.txt)$", false, {"d", "d/z.txt"}},
        {":\\\\.*/d/", true, {"x.dmp", "d"}},
    };
    for (const Case &c : cases) {
        DirectoryWalker walker;
        ASSERT_EQ(1, walker.addFilter(c.pattern, c.excluding)) << c.pattern;
        EXPECT_EQ(c.offered, asSet(walk(walker, folder, true, true, cut))) << c.pattern;
    }
}

// A root keeps its separator: "C:" alone would be the drive's current folder.
TEST(WalkerRoot, DriveRootIsTheRootWhateverTheCurrentFolder)
{
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\windows"));
    DirectoryWalker walker;
    std::vector<std::string> offered = walk(walker, "C:\\", true, false, 0);
    SetCurrentDirectoryA(previous);

    std::set<std::string> expected;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("C:\\*", &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..")
            expected.insert("C:\\" + name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    EXPECT_EQ(expected, asSet(offered));
    EXPECT_EQ(1u, asSet(offered).count("C:\\windows"));
}

TEST_F(Walker, DescendsNoDeeperThanSixtyFourLevels)
{
    std::string path;
    for (int level = 1; level <= 70; ++level) {
        path += (path.empty() ? "" : "\\") + std::string("d");
        dir(path);
    }
    DirectoryWalker walker;
    std::vector<std::string> offered = walk(walker, folder, true, true, cut);
    ASSERT_EQ(64u, offered.size());
    EXPECT_EQ(64, std::count(offered.back().begin(), offered.back().end(), 'd'));
}

TEST_F(Walker, RecursionVisitsEachFolderBeforeItsEntriesAndComesBackUp)
{
    dir("a");
    dir("a\\b");
    dir("a\\b\\deepest");   // empty: entered and left
    file("a\\b\\f1.txt");
    file("a\\f2.txt");
    dir("empty");
    file("g.txt");
    DirectoryWalker walker;
    std::vector<std::string> order = walk(walker, folder, true, true, cut);
    ASSERT_EQ((std::set<std::string>{"a", "a/b", "a/b/deepest", "a/b/f1.txt", "a/f2.txt", "empty", "g.txt"}), asSet(order));
    ASSERT_EQ(7u, order.size()) << "an entry was offered twice";
    // Pre-order: a folder comes before its entries, and its entries follow it without a break.
    for (const std::string &parent : {std::string("a"), std::string("a/b")}) {
        size_t at = 0;
        while (order[at] != parent)
            ++at;
        size_t inside = 0;
        for (size_t i = 0; i < order.size(); ++i)
            if (order[i].compare(0, parent.size() + 1, parent + "/") == 0) {
                EXPECT_GT(i, at) << order[i];
                ++inside;
            }
        for (size_t i = at + 1; i <= at + inside; ++i)
            EXPECT_EQ(0, order[i].compare(0, parent.size() + 1, parent + "/")) << order[i];
    }
    DirectoryWalker flat;
    EXPECT_EQ((std::set<std::string>{"a", "empty", "g.txt"}), asSet(walk(flat, folder, true, false, cut)));
}

TEST_F(Walker, EmptyFolderOpensAtItsEndAndMissingFolderDoesNotOpen)
{
    DirectoryWalker walker;
    ASSERT_TRUE(walker.open(true, true, folder));
    EXPECT_TRUE(walker.atEnd());
    walker.advance();
    EXPECT_TRUE(walker.atEnd());
    EXPECT_FALSE(walker.isDirectory() || walker.isRegularFile());
    EXPECT_EQ(0, walker.creationTime());
    DirectoryWalker missing;
    EXPECT_FALSE(missing.open(true, false, folder + "\\nothing-here"));
    EXPECT_TRUE(missing.atEnd());
}

TEST_F(Walker, InvalidExpressionIsRefusedAndLeavesTheFiltersAsTheyWere)
{
    file("a.dmp");
    file("b.txt");
    DirectoryWalker walker;
    EXPECT_EQ(-1, walker.addFilter("([unclosed", false));
    EXPECT_EQ(-1, walker.addFilter("", false));
    EXPECT_EQ(1, walker.addFilter("\\.dmp$", false));  // still only the dot filter before it
    EXPECT_EQ(std::set<std::string>{"a.dmp"}, asSet(walk(walker, folder, true, false, cut)));
    walker.keepOnlyFirstFilter();
    EXPECT_EQ(1, walker.addFilter("\\.txt$", false));
    EXPECT_EQ(std::set<std::string>{"b.txt"}, asSet(walk(walker, folder, true, false, cut)));
}

TEST_F(Walker, UnanchoredFilterMatchesAnywhereInTheNameAndExcludingFiltersWin)
{
    for (const char *name : {"a.dmp", "dmpfile.txt", "other.txt", "keep-DMP-not.log"})
        file(name);
    DirectoryWalker walker;
    walker.addFilter("dmp", false);
    EXPECT_EQ((std::set<std::string>{"a.dmp", "dmpfile.txt", "keep-DMP-not.log"}), asSet(walk(walker, folder, true, false, cut)));
    walker.addFilter("\\.log$", true);
    EXPECT_EQ((std::set<std::string>{"a.dmp", "dmpfile.txt"}), asSet(walk(walker, folder, true, false, cut)));
}

} // namespace
