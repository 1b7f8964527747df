// What the service makes of the client's texts before it acts on them: the greeting's reply, the
// package command, the installation result, the decision as the reference client reads it, the
// transforms text and the path of a file to hold. In-process, one table per reader.
#include "protocol/clientmessages.h"
#include "protocol/protocol.h"
#include "inspection/packagehold.h"
#include "inspection/transforms.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using namespace nvupdater;

namespace {

const bool kRefused = false;
const bool kRead = true;

TEST(Parsing, Greeting)
{
    const std::wstring longIdentity(protocol::kMaxIdentityUnits, L'A');
    const struct {
        std::wstring message;
        bool read;
        std::wstring identity;
        int version;
    } cases[] = {
        {L"200 NSW 1", kRead, L"NSW", 1},
        {L"200 NSW 1 and more", kRead, L"NSW", 1},
        {L"200NSW 1", kRead, L"NSW", 1},
        {L"200   NSW\t-7", kRead, L"NSW", -7},
        {L"200 NSW +2", kRead, L"NSW", 2},
        {L"200 NSW 2147483647", kRead, L"NSW", INT_MAX},
        {L"200 NSW -2147483648", kRead, L"NSW", INT_MIN},
        // The identity is cut at its limit; the number may follow at once.
        {L"200 " + longIdentity + L"12", kRead, longIdentity, 12},
        {L"200 NSW 2147483648", kRefused, L"", 0},
        {L"200 NSW -2147483649", kRefused, L"", 0},
        {L"200 NSW 99999999999999999999999", kRefused, L"", 0},
        {L"200 NSW", kRefused, L"", 0},
        {L"200 NSW x", kRefused, L"", 0},
        {L"200 NSW -", kRefused, L"", 0},
        {L" 200 NSW 1", kRefused, L"", 0},
        {L"201 NSW 1", kRefused, L"", 0},
        {L"", kRefused, L"", 0},
        {std::wstring(L"200 N\0SW 1", 10), kRefused, L"", 0},   // the text ends at a null unit
    };
    for (const auto &c : cases) {
        protocol::Greeting greeting;
        EXPECT_EQ(c.read, protocol::ParseGreeting(c.message, greeting)) << c.message;
        if (c.read) {
            EXPECT_EQ(c.identity, greeting.identity) << c.message;
            EXPECT_EQ(c.version, greeting.version) << c.message;
        }
    }
}

TEST(Parsing, InstallationResultAndDecision)
{
    const struct {
        std::wstring message;
        bool readAsResult;     // by the service, from the client
        bool readAsDecision;   // by the reference client, from the service
        long value;
    } cases[] = {
        {L"220 RESULT 0", kRead, kRead, 0},
        {L"220 RESULT 28401", kRead, kRead, 28401},
        {L"220 RESULT -2147483648", kRead, kRead, INT_MIN},
        {L"220 RESULT 2147483647", kRead, kRead, INT_MAX},
        {L"220RESULT5", kRead, kRead, 5},
        {L"220 RESULT -1 more", kRead, kRefused, -1},
        {L"220 RESULT 0 ", kRead, kRefused, 0},
        {L"220 RESULT 7x", kRead, kRefused, 7},
        {L"220 RESULT 2147483648", kRefused, kRefused, 0},
        {L"220 RESULT -99999999999999999999", kRefused, kRefused, 0},
        {L"220 RESULT", kRefused, kRefused, 0},
        {L"220 RESULTS 1", kRefused, kRefused, 0},
        {L"220 RESULT x", kRefused, kRefused, 0},
        {L"230 BYE", kRefused, kRefused, 0},
    };
    for (const auto &c : cases) {
        int result = 0;
        EXPECT_EQ(c.readAsResult, protocol::ParseInstallationResult(c.message, result)) << c.message;
        if (c.readAsResult) {
            EXPECT_EQ(c.value, result) << c.message;
        }
        long decision = 0;
        EXPECT_EQ(c.readAsDecision, protocol::ParseDecision(c.message, decision)) << c.message;
        if (c.readAsDecision) {
            EXPECT_EQ(c.value, decision) << c.message;
        }
    }
}

TEST(Parsing, PackageCommand)
{
    const struct {
        std::wstring message;
        bool read;
        std::wstring path;
        std::wstring transforms;
    } cases[] = {
        {L"210 PACKAGE \"C:\\p.msi\"", kRead, L"C:\\p.msi", L""},
        {L"210 PACKAGE \"C:\\p.msi\" TRANSFORMS \"a.mst;:b\"", kRead, L"C:\\p.msi", L"a.mst;:b"},
        {L"210 PACKAGE \"C:\\p.msi\" TRANSFORMS \"\"", kRead, L"C:\\p.msi", L""},
        {L"210 PACKAGE \"C:\\p.msi\" TRANSFORMS \"x\"y\"", kRead, L"C:\\p.msi", L"x\"y"},
        {L"210 PACKAGE \"\"", kRead, L"", L""},
        {L"210 PACKAGE \"C:\\x TRANSFORMS y\" TRANSFORMS \"t\"", kRead, L"C:\\x TRANSFORMS y", L"t"},
        {L"210 PACKAGE \"C:\\TRANSFORMS \"", kRead, L"C:\\TRANSFORMS ", L""},
        {L" 210 PACKAGE \"C:\\p.msi\"", kRefused, L"", L""},
        {L"210 PACKAGE \"C:\\p.msi\" ", kRefused, L"", L""},
        {L"210 PACKAGE  \"C:\\p.msi\"", kRefused, L"", L""},
        {L"210 PACKAGE \"C:\\p.msi\"  TRANSFORMS \"t\"", kRefused, L"", L""},
        {L"210 PACKAGE \"C:\\p.msi\" TRANSFORMS \"t", kRefused, L"", L""},
        {L"210 PACKAGE \"C:\\p.msi\" TRANSFORMS \"", kRefused, L"", L""},
        {L"210 PACKAGE \"C:\\p.msi", kRefused, L"", L""},
        {L"210 PACKAGE \"C:\\a\"b.msi\"", kRefused, L"", L""},
        {L"210 PACKAGE \"C:\\x TRANSFORMS y\"", kRefused, L"", L""},
        {L"210 PACKAGE \"C:\\210 PACKAGE \"", kRefused, L"", L""},
        {L"210 PACKAGE \"C:\\TRANSFORMS \" TRANSFORMS \"t\"", kRefused, L"", L""},
        {L"210 package \"C:\\p.msi\"", kRefused, L"", L""},
        {std::wstring(L"210 PACKAGE \"C:\\p.msi\0x\"", 24), kRefused, L"", L""},
    };
    for (const auto &c : cases) {
        protocol::PackageCommand command;
        EXPECT_EQ(c.read, protocol::ParsePackageCommand(c.message, command)) << c.message;
        if (c.read) {
            EXPECT_EQ(c.path, command.packagePath) << c.message;
            EXPECT_EQ(c.transforms, command.transforms) << c.message;
        }
    }
}

TEST(Parsing, TransformsText)
{
    struct Item {
        std::wstring text;
        bool embedded;
        std::wstring file;
    };
    const struct {
        std::wstring transforms;
        std::vector<Item> items;
    } cases[] = {
        {L"", {}},
        {L";;", {}},
        {L"a.mst", {{L"a.mst", false, L"a.mst"}}},
        {L":in;@C:\\s.mst;|C:\\t.mst",
         {{L":in", true, L""}, {L"@C:\\s.mst", false, L"C:\\s.mst"}, {L"|C:\\t.mst", false, L"C:\\t.mst"}}},
        {L";a;;:", {{L"a", false, L"a"}, {L":", true, L""}}},
        {L"@", {{L"@", false, L""}}},
    };
    for (const auto &c : cases) {
        const std::vector<TransformItem> items = SplitTransforms(c.transforms);
        ASSERT_EQ(c.items.size(), items.size()) << c.transforms;
        for (size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(c.items[i].text, items[i].text) << c.transforms;
            EXPECT_EQ(c.items[i].embedded, items[i].embedded) << c.transforms;
            EXPECT_EQ(c.items[i].file, items[i].file) << c.transforms;
        }
    }
}

TEST(Parsing, HoldablePath)
{
    const DWORD kBad = ERROR_BAD_PATHNAME;
    const std::wstring longest = L"C:\\" + std::wstring(MAX_PATH - 4, L'a');
    const struct {
        std::wstring path;
        DWORD result;
    } cases[] = {
        {L"C:\\p.msi", ERROR_SUCCESS},
        {L"c:\\dir\\p.msi", ERROR_SUCCESS},
        {longest, ERROR_SUCCESS},
        {longest + L"a", ERROR_FILENAME_EXCED_RANGE},
        {L"\\\\?\\" + longest, ERROR_FILENAME_EXCED_RANGE},   // the length is judged first
        {L"C:\\", kBad},
        {L"C:\\dir\\\\p.msi", kBad},
        {L"C:\\dir\\", kBad},
        {L"C:\\dir\\.\\p.msi", kBad},
        {L"C:\\dir\\..\\p.msi", kBad},
        {L"C:\\p.msi.", kBad},
        {L"C:\\p.msi ", kBad},
        {L"C:\\p.msi:stream", kBad},
        {L"C:\\p*.msi", kBad},
        {L"C:\\p?.msi", kBad},
        {L"C:\\\"p\".msi", kBad},
        {L"C:\\p<.msi", kBad},
        {L"C:\\a/b.msi", kBad},
        {L"C:\\p\x01.msi", kBad},
        {L"\\\\?\\C:\\p.msi", kBad},
        {L"\\\\.\\C:\\p.msi", kBad},
        {L"\\\\server\\share\\p.msi", kBad},
        {L"p.msi", kBad},
        {L"C:p.msi", kBad},
        {L"1:\\p.msi", kBad},
        {L"Q:\\p.msi", kBad},   // no such drive here: not a local volume
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.result, CheckHoldablePath(c.path)) << c.path;
}

} // namespace
