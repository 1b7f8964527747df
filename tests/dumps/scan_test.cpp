// The process-dump scan of the product layout, with an in-memory dump database: the dumps lie in
// the real temporary crash folders of the known products, and the scan runs from the library's
// initialisation as a host with the product layout would start it.
#include "dumptest.h"

#include "assist/assistpaths.h"
#include "assist/dumpdatabase.h"
#include "assist/memdumphandler.h"
#include "assist/memdumps.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace norvo::assist;
using dumptest::reported;

namespace {

const int64_t kTime = 1600000000;

class MemoryDatabase : public DumpDatabase {
public:
    std::map<std::string, int64_t> entries;
    std::vector<std::pair<std::string, int64_t>> added;
    bool refuseRemove = false, refuseAdd = false;

    int32_t entryCount() override { return static_cast<int32_t>(entries.size()); }
    bool addEntry(const std::string &name, int64_t time) override
    {
        added.push_back(std::make_pair(name, time));
        if (refuseAdd)
            return false;
        entries[name] = time;
        return true;
    }
    int64_t lastDumpTime(const std::string &name) override
    {
        auto found = entries.find(name);
        return found == entries.end() ? 0 : found->second;
    }
    bool removeAllEntries() override
    {
        if (refuseRemove)
            return false;
        entries.clear();
        return true;
    }
};

// The folder where the product layout keeps a known process's dumps.
std::string crashFolder(const std::string &productFolder, const std::string &executable)
{
    return normalizePath(temporaryCrashFolder() + productFolder + "/" + executable, true, false);
}

class Scan : public ::testing::Test {
protected:
    std::shared_ptr<MemoryDatabase> database = std::make_shared<MemoryDatabase>();
    std::vector<std::string> watched, attachments;
    std::string studio, render, encoder;
    AssistConfig config;

    void SetUp() override
    {
        dumptest::resetFolder(normalizePath(temporaryCrashFolder(), true, false));
        studio = crashFolder("Studio", "nstudio.exe");
        render = crashFolder("Studio", "nstrender.exe");
        encoder = crashFolder("Movie Cut", "nmvencoder.exe");
        for (const std::string &folder : {studio, render, encoder})
            dumptest::resetFolder(folder);
        dumptest::reports().clear();
        dumptest::clearErrorLog();
        config.productLayout = true;
        config.productCode = "NST";
        config.scanProcessDumps = true;
        config.logCallback = &dumptest::reportReceiver;
        config.watchedProcesses = &watched;
        config.attachFiles = &attachments;
    }
    void TearDown() override { MemDumps::instance().setDumpDatabase(nullptr); }

    void scan(std::shared_ptr<DumpDatabase> db)
    {
        MemDumps &dumps = MemDumps::instance();
        dumps.setDumpDatabase(std::move(db));
        dumps.setHandler(std::make_shared<DefaultMemDumpHandler>());
        ASSERT_EQ(0, dumps.internalInit(config));
    }
    void dump(const std::string &path, int64_t seconds, size_t size = 64)
    {
        ASSERT_TRUE(dumptest::makeFile(path, std::string(size, 'D'), seconds));
    }
};

TEST_F(Scan, FirstRunRecordsEachCandidatesNewestDumpAndQueuesNothing)
{
    watched = {"NST&render"};
    config.deleteOldDumps = true;
    dump(studio + "\\old.dmp", kTime);
    dump(studio + "\\new.dmp", kTime + 50);
    database->entries = {{"stale.exe", 1}, {"other.exe", 2}, {"third.exe", 3}};
    database->pendingUploads.push_back(PendingUpload{"left-over", 7});
    scan(database);

    EXPECT_EQ((std::map<std::string, int64_t>{{"nstudio.exe", kTime + 50}, {"nstrender.exe", 0}}), database->entries);
    EXPECT_TRUE(database->pendingUploads.empty());
    const MemDumps &dumps = MemDumps::instance();
    EXPECT_TRUE(dumps.foundDumps().empty());
    EXPECT_EQ(0, dumps.estimatedReportSize());
    EXPECT_EQ(0, dumps.topDumpTime());
    EXPECT_EQ(2, dumps.topPriority());
    EXPECT_TRUE(reported("Process NST: found new dump " + studio + "\\new.dmp")) << dumptest::reports().size();
    EXPECT_TRUE(reported("Process NST&render: dump not found"));
    // deleteOldDumps of the configuration reaches the search.
    EXPECT_TRUE(reported("Old core file " + studio + "/old.dmp has been deleted."));
    EXPECT_FALSE(dumptest::exists(studio + "\\old.dmp"));
}

TEST_F(Scan, LaterRunQueuesOnlyNewerDumpsWithPriorityTimeAndSize)
{
    watched = {"NST&render", "NMV&encoder"};
    const std::string attachment = dumptest::freshFolder("scan-attachments") + "\\report.log";
    attachments = {attachment, attachment + ".missing"};
    ASSERT_TRUE(dumptest::makeFile(attachment, std::string(1000, 'a'), kTime));
    dump(studio + "\\s.dmp", kTime + 50);          // already recorded
    dump(render + "\\r.dmp", kTime + 200, 3333);   // newer, priority 1
    dump(encoder + "\\e.dmp", kTime + 100, 1000);  // newer, priority 2
    database->entries = {{"nstudio.exe", kTime + 50}, {"nstrender.exe", kTime}, {"nmvencoder.exe", kTime}};
    const auto recorded = database->entries;
    scan(database);

    const MemDumps &dumps = MemDumps::instance();
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{render + "\\r.dmp", "nstr"}, {encoder + "\\e.dmp", "nmve"}}),
              dumps.foundDumps());
    ASSERT_EQ(2u, database->pendingUploads.size());
    EXPECT_STREQ("nstrender.exe", database->pendingUploads[0].name);
    EXPECT_EQ(kTime + 200, database->pendingUploads[0].time);
    EXPECT_STREQ("nmvencoder.exe", database->pendingUploads[1].name);
    EXPECT_EQ(kTime + 100, database->pendingUploads[1].time);
    // The most important queued process sets the time; a less important one later does not.
    EXPECT_EQ(1, dumps.topPriority());
    EXPECT_EQ(kTime + 200, dumps.topDumpTime());
    // 30 % of each queued dump, 6 % of each existing attachment, each truncated.
    EXPECT_EQ(999 + 300 + 60, dumps.estimatedReportSize());
    EXPECT_TRUE(reported("dump " + render + "\\r.dmp stored for upload"));
    EXPECT_TRUE(reported("dump " + encoder + "\\e.dmp stored for upload"));
    EXPECT_FALSE(reported("dump " + studio + "\\s.dmp stored for upload"));
    EXPECT_EQ(recorded, database->entries) << "a later run only reads the database";
    EXPECT_TRUE(database->added.empty());
}

TEST_F(Scan, CandidatesSharingADumpGiveUnknownResult)
{
    watched = {"NST"};
    dump(studio + "\\only.dmp", kTime + 5);
    scan(database);
    EXPECT_TRUE(reported("Process NST: found new dump " + studio + "\\only.dmp"));
    EXPECT_TRUE(reported("Process NST: unknown result"));
    EXPECT_EQ((std::vector<std::pair<std::string, int64_t>>{{"nstudio.exe", kTime + 5}, {"nstudio.exe", 0}}),
              database->added);
}

TEST_F(Scan, MissingDatabaseCandidatesOrDatabaseRefusalsAreReported)
{
    scan(nullptr);
    EXPECT_EQ(std::vector<std::string>{"ERR: Database interface is missing."}, dumptest::reports());

    dumptest::reports().clear();
    config.productCode = "QQQ";   // no row, and nothing watched
    database->pendingUploads.push_back(PendingUpload{"left-over", 7});
    scan(database);
    EXPECT_EQ(std::vector<std::string>{"ERR: Assist configuration is invalid."}, dumptest::reports());
    EXPECT_TRUE(database->added.empty());
    EXPECT_TRUE(database->pendingUploads.empty());

    dumptest::reports().clear();
    config.productCode = "NST";
    database->refuseRemove = database->refuseAdd = true;
    database->entries = {{"a", 1}, {"b", 2}};
    scan(database);
    EXPECT_TRUE(reported("Cannot remove all entries from assist database"));
    EXPECT_TRUE(reported("ERR: Cannot add dump to database: nstudio.exe"));
}

} // namespace
