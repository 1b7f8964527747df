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

const int64_t kTime = 1600000000;

// Every entry the walker offers, as (path relative to `folder`, directory?) in walking order.
struct Offered {
    std::string path;
    bool directory;
};

std::vector<Offered> walk(DirectoryWalker &walker, const std::string &base, bool includeFiles, bool recursive,
                          size_t prefixLength)
{
    std::vector<Offered> offered;
    EXPECT_TRUE(walker.open(includeFiles, recursive, base));
    for (int guard = 0; !walker.atEnd() && guard < 1000; ++guard, walker.advance())
        offered.push_back({walker.currentPath().substr(prefixLength), walker.isDirectory()});
    EXPECT_TRUE(walker.atEnd());
    EXPECT_EQ("", walker.currentName());
    EXPECT_EQ("", walker.currentPath());
    return offered;
}

std::set<std::string> names(const std::vector<Offered> &offered)
{
    std::set<std::string> out;
    for (const Offered &entry : offered)
        out.insert(entry.path);
    return out;
}

class Walker : public ::testing::Test {
protected:
    std::string folder;
    void SetUp() override
    {
        folder = dumptest::freshFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void file(const std::string &name) { ASSERT_TRUE(dumptest::makeFile(folder + "\\" + name, "x", kTime)); }
    void dir(const std::string &name) { ASSERT_TRUE(dumptest::makeFolder(folder + "\\" + name)); }
};

TEST_F(Walker, AnchoredNameFilterOffersMatchingFilesAndFoldersInAnyCase)
{
    file("a.dmp");
    file("B.DMP");
    file("c.Dmp.txt");
    file("notes.txt");
    dir("sub.dmp");
    dir("other");
    DirectoryWalker walker;
    ASSERT_EQ(1, walker.addFilter("\\.dmp$", false));
    std::vector<Offered> offered = walk(walker, folder, true, false, folder.size() + 1);
    EXPECT_EQ((std::set<std::string>{"a.dmp", "B.DMP", "sub.dmp"}), names(offered));
    for (const Offered &entry : offered)
        EXPECT_EQ(entry.path == "sub.dmp", entry.directory) << entry.path;

    // Without a filter of ours everything but the dot entries is offered.
    DirectoryWalker all;
    EXPECT_EQ((std::set<std::string>{"a.dmp", "B.DMP", "c.Dmp.txt", "notes.txt", "sub.dmp", "other"}),
              names(walk(all, folder, true, false, folder.size() + 1)));
}

TEST_F(Walker, WithoutIncludeFilesOnlyFoldersAreOffered)
{
    file("a.dmp");
    dir("one");
    dir("two.dmp");
    DirectoryWalker walker;
    std::vector<Offered> offered = walk(walker, folder, false, false, folder.size() + 1);
    EXPECT_EQ((std::set<std::string>{"one", "two.dmp"}), names(offered));
    for (const Offered &entry : offered)
        EXPECT_TRUE(entry.directory);
}

TEST_F(Walker, PathsJoinTheBaseAndNamesWithForwardSlashesWhateverTheBaseEndsIn)
{
    file("x.dmp");
    dir("d");
    file("d\\y.dmp");
    for (const std::string &base : {folder, folder + "\\", folder + "/"}) {
        DirectoryWalker walker;
        walker.addFilter("\\.dmp$|^d$", false);
        std::vector<Offered> offered = walk(walker, base, true, true, 0);
        std::set<std::string> paths = names(offered);
        EXPECT_EQ((std::set<std::string>{folder + "/x.dmp", folder + "/d", folder + "/d/y.dmp"}), paths) << base;
    }
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
    std::vector<Offered> offered = walk(walker, folder, true, true, folder.size() + 1);
    std::vector<std::string> order;
    for (const Offered &entry : offered)
        order.push_back(entry.path);
    EXPECT_EQ((std::set<std::string>{"a", "a/b", "a/b/deepest", "a/b/f1.txt", "a/f2.txt", "empty", "g.txt"}),
              names(offered));
    EXPECT_EQ(7u, order.size()) << "an entry was offered twice";
    auto position = [&](const std::string &path) { return std::find(order.begin(), order.end(), path) - order.begin(); };
    EXPECT_LT(position("a"), position("a/b"));
    EXPECT_LT(position("a/b"), position("a/b/f1.txt"));
    EXPECT_LT(position("a/b"), position("a/b/deepest"));
    EXPECT_LT(position("a"), position("a/f2.txt"));
    // Pre-order: once the walk has left "a" it never returns into it.
    size_t last = 0;
    for (size_t i = 0; i < order.size(); ++i)
        if (order[i].compare(0, 2, "a/") == 0 || order[i] == "a")
            last = i;
    for (size_t i = static_cast<size_t>(position("a")); i <= last; ++i)
        EXPECT_TRUE(order[i] == "a" || order[i].compare(0, 2, "a/") == 0) << order[i];

    // Without recursion the sub-folders are offered but not entered.
    DirectoryWalker flat;
    EXPECT_EQ((std::set<std::string>{"a", "empty", "g.txt"}), names(walk(flat, folder, true, false, folder.size() + 1)));
}

TEST_F(Walker, EmptyFolderOpensAtItsEndAndMissingFolderDoesNotOpen)
{
    DirectoryWalker walker;
    ASSERT_TRUE(walker.open(true, true, folder));
    EXPECT_TRUE(walker.atEnd());
    walker.advance();
    EXPECT_TRUE(walker.atEnd());
    EXPECT_FALSE(walker.isDirectory());
    EXPECT_FALSE(walker.isRegularFile());
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
    // Still only the dot filter: this is the first filter of ours.
    EXPECT_EQ(1, walker.addFilter("\\.dmp$", false));
    EXPECT_EQ((std::set<std::string>{"a.dmp"}), names(walk(walker, folder, true, false, folder.size() + 1)));

    walker.keepOnlyFirstFilter();
    EXPECT_EQ(1, walker.addFilter("\\.txt$", false));
    EXPECT_EQ((std::set<std::string>{"b.txt"}), names(walk(walker, folder, true, false, folder.size() + 1)));
}

TEST_F(Walker, UnanchoredFilterMatchesAnywhereInTheNameAndExcludingFiltersWin)
{
    file("a.dmp");
    file("dmpfile.txt");
    file("other.txt");
    file("keep-DMP-not.log");
    DirectoryWalker walker;
    walker.addFilter("dmp", false);
    EXPECT_EQ((std::set<std::string>{"a.dmp", "dmpfile.txt", "keep-DMP-not.log"}),
              names(walk(walker, folder, true, false, folder.size() + 1)));
    walker.addFilter("\\.log$", true);
    EXPECT_EQ((std::set<std::string>{"a.dmp", "dmpfile.txt"}), names(walk(walker, folder, true, false, folder.size() + 1)));
}

TEST_F(Walker, ReportsTypeAndCreationTimeOfTheCurrentEntry)
{
    ASSERT_TRUE(dumptest::makeFile(folder + "\\f.dmp", "data", kTime + 42));
    DirectoryWalker walker;
    ASSERT_TRUE(walker.open(true, false, folder));
    ASSERT_FALSE(walker.atEnd());
    EXPECT_EQ("f.dmp", walker.currentName());
    EXPECT_TRUE(walker.isRegularFile());
    EXPECT_FALSE(walker.isDirectory());
    EXPECT_EQ(kTime + 42, walker.creationTime());
}

} // namespace
