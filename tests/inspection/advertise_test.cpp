// The advertisement with the msi.dll test double (tests/doubles/msi): Wine does not implement the two
// advertise entry points, so this suite's prepare step installs the double as the prefix's system
// msi.dll, selected for this executable only. The double records every call in a log file and
// registers a product marker when a script is applied; everything else reaches Wine's installer.
#include "inspection/advertisement.h"
#include "inspection/eligibility.h"
#include "inspection/productinventory.h"
#include "kit.h"
#include "inspection/servicefolders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace nvupdater;

namespace {

// The advertisement of the package file at `package`, its ProductCode read through its own database.
UINT advertise(const std::wstring &package, const std::wstring &transforms, std::wstring &script)
{
    PackageDatabase database;
    (void)database.Open(package);   // an unreadable package gives an empty ProductCode
    return AdvertisePackage(database, HoldScriptsFolder(), package, transforms, script);
}

const REGSAM k32 = KEY_WOW64_32KEY;
const REGSAM k64 = KEY_WOW64_64KEY;
const std::wstring kDoubleSettings = L"SOFTWARE\\NorvoTest\\MsiDouble";
const std::wstring kUninstall = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

std::wstring marker(const std::wstring &productCode)
{
    return L"SOFTWARE\\Classes\\Installer\\Products\\" + PackGuid(productCode);
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return out;
}

void setResult(const wchar_t *name, DWORD code)
{
    ASSERT_TRUE(kit::setValue(nvtest::kBuildView, kDoubleSettings, name, REG_DWORD, &code, sizeof(code)));
}

class Advertise : public ::testing::Test {
protected:
    std::wstring log;
    const std::wstring package = kit::package(L"elig-any");
    const std::wstring code = kit::productCode(1);

    void SetUp() override
    {
        SetInstallerUiLevelNone();
        CreateServiceFolders();
        static int run = 0;
        log = nvtest::suiteDir() + L"\\calls-" + std::to_wstring(++run) + L".log";
        ASSERT_TRUE(kit::setString(nvtest::kBuildView, kDoubleSettings, L"CallLog", log));
        setResult(L"AdvertiseResult", 0);
        setResult(L"ScriptResult", 0);
    }
    void TearDown() override
    {
        setResult(L"AdvertiseResult", 0);
        setResult(L"ScriptResult", 0);
        kit::deleteTree(k64, marker(code));
    }
    std::vector<std::string> calls() { return lines(nvtest::readFile(log)); }
    std::string q(const std::wstring &text) { return "\"" + nvtest::narrow(text) + "\""; }
    std::string advertiseCall(const std::wstring &script, const std::wstring &transforms, int result)
    {
        return "6 package=" + q(package) + " script=" + q(script) + " transforms=" + q(transforms) +
               " language=0x409 -> " + std::to_string(result);
    }
    std::string scriptCall(const std::wstring &script, int remove, int result)
    {
        return "177 script=" + q(script) + " flags=0x1A8 regdata=null remove=" + std::to_string(remove) + " -> " +
               std::to_string(result);
    }
};

TEST_F(Advertise, WholeLifeOfAScript)
{
    const std::wstring transforms = L":lang.mst;C:\\transforms\\site.mst";
    std::wstring script;
    ASSERT_EQ(0u, advertise(package, transforms, script));
    EXPECT_EQ(GetScriptsFolder() + code + L".aas", script);
    EXPECT_TRUE(nvtest::fileExists(script));
    EXPECT_TRUE(kit::keyExists(k64, marker(code)));
    // Other entry points keep reaching the real installer through the double.
    EXPECT_EQ(code, ReadPackageProperty(package, L"ProductCode"));

    EXPECT_EQ(0u, UnadvertiseScript(script));
    EXPECT_FALSE(nvtest::fileExists(script));
    EXPECT_FALSE(kit::keyExists(k64, marker(code)));

    EXPECT_EQ((std::vector<std::string>{advertiseCall(script, transforms, 0), scriptCall(script, 0, 0),
                                        scriptCall(script, 1, 0)}),
              calls());
}

TEST_F(Advertise, FailedWriteStopsAndDeletesNothing)
{
    setResult(L"AdvertiseResult", 1603);
    const std::wstring expected = GetScriptsFolder() + code + L".aas";
    ASSERT_TRUE(nvtest::writeFile(expected, "what a failed write left"));
    std::wstring script;
    EXPECT_EQ(1603u, advertise(package, L"", script));
    EXPECT_EQ(expected, script);
    EXPECT_EQ("what a failed write left", nvtest::readFile(script));
    EXPECT_EQ(std::vector<std::string>{advertiseCall(script, L"", 1603)}, calls());
    DeleteFileW(script.c_str());
}

TEST_F(Advertise, FailedApplyDeletesTheScript)
{
    setResult(L"ScriptResult", 1632);
    std::wstring script;
    EXPECT_EQ(1632u, advertise(package, L"", script));
    EXPECT_FALSE(nvtest::fileExists(script));
    EXPECT_FALSE(kit::keyExists(k64, marker(code)));
    EXPECT_EQ((std::vector<std::string>{advertiseCall(script, L"", 0), scriptCall(script, 0, 1632)}), calls());
}

TEST_F(Advertise, FailedUnadvertiseKeepsTheScriptForTheNextCleanUp)
{
    std::wstring script;
    ASSERT_EQ(0u, advertise(package, L"", script));
    setResult(L"ScriptResult", 1601);
    EXPECT_EQ(1601u, UnadvertiseScript(script));
    EXPECT_TRUE(nvtest::fileExists(script));
    EXPECT_EQ(scriptCall(script, 1, 1601), calls().back());
    setResult(L"ScriptResult", 0);
    EXPECT_EQ(0u, UnadvertiseScript(script));
    EXPECT_FALSE(nvtest::fileExists(script));
}

TEST_F(Advertise, ACleanUpWhoseRemovalFailsKeepsTheScriptUntilOneSucceeds)
{
    std::wstring script;
    ASSERT_EQ(0u, advertise(package, L"", script));
    std::vector<std::wstring> removed;
    const auto told = [&](const std::wstring &product) { removed.push_back(product); };
    setResult(L"ScriptResult", 1601);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(2, CleanupStaleScripts(HoldScriptsFolder(), nullptr, told));   // the product is not installed
        EXPECT_TRUE(nvtest::fileExists(script)) << "attempt " << attempt;
        EXPECT_TRUE(kit::keyExists(k64, marker(code)));
        EXPECT_TRUE(removed.empty());
    }
    setResult(L"ScriptResult", 0);
    EXPECT_EQ(2, CleanupStaleScripts(HoldScriptsFolder(), nullptr, told));
    EXPECT_FALSE(nvtest::fileExists(script));
    EXPECT_FALSE(kit::keyExists(k64, marker(code)));
    EXPECT_EQ(std::vector<std::wstring>{code}, removed);
}

// Left-over scripts: one of an installed product, one really applied for a product that is not
// installed, a file with a short name and a directory, all matching *.aas, and a file that does
// not match.
class StaleScripts : public Advertise {
protected:
    const std::wstring installed = L"{0D0D0000-4444-4444-8444-000000000001}";

    void SetUp() override
    {
        Advertise::SetUp();
        ASSERT_TRUE(kit::setString(k32, kUninstall + installed, L"DisplayVersion", L"1.0.0"));
    }
    void TearDown() override
    {
        kit::deleteTree(k32, kUninstall + installed);
        Advertise::TearDown();
    }
    // The regular files *.aas of the scripts folder in the order the platform lists them.
    std::vector<std::wstring> listedFiles()
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW entry = {};
        norvo::tiny::UniqueFind find(FindFirstFileW((GetScriptsFolder() + L"*.aas").c_str(), &entry));
        if (find) {
            do
                if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    names.push_back(entry.cFileName);
            while (FindNextFileW(find.get(), &entry));
        }
        return names;
    }
};

TEST_F(StaleScripts, InstalledOnlyDeletedOthersUnadvertisedDirectoriesSkipped)
{
    const std::wstring folder = GetScriptsFolder();
    std::wstring applied;
    ASSERT_EQ(0u, advertise(package, L"", applied));   // product 1 is not installed
    ASSERT_TRUE(kit::keyExists(k64, marker(code)));
    const std::wstring directory = folder + L"{0D0D0000-4444-4444-8444-000000000003}.aas";
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    ASSERT_TRUE(nvtest::writeFile(folder + installed + L".aas", "left over"));
    ASSERT_TRUE(nvtest::writeFile(folder + L"short.aas", "left over"));
    ASSERT_TRUE(nvtest::writeFile(folder + L"notes.txt", "not a script"));

    // What the clean-up must do, in the platform's listing order.
    const std::vector<std::wstring> files = listedFiles();
    ASSERT_EQ(3u, files.size());
    std::vector<std::string> expectedCalls = calls();
    LONG expectedResult = 0;
    for (const std::wstring &name : files) {
        bool isInstalled = name == installed + L".aas";
        expectedResult = isInstalled ? 0 : 2;
        if (!isInstalled)   // the short name is looked up whole and is not installed either
            expectedCalls.push_back(scriptCall(folder + name, 1, name == code + L".aas" ? 0 : 1620));
    }

    std::vector<std::wstring> removed;
    const auto told = [&](const std::wstring &product) { removed.push_back(product); };
    EXPECT_EQ(expectedResult, CleanupStaleScripts(HoldScriptsFolder(), nullptr, told));
    EXPECT_EQ(expectedCalls, calls());
    // The short name is no script: its removal failed, so it stays for the next clean-up to try again.
    EXPECT_EQ(std::vector<std::wstring>{L"short.aas"}, listedFiles());
    EXPECT_FALSE(kit::keyExists(k64, marker(code)));
    std::sort(removed.begin(), removed.end());
    std::vector<std::wstring> gone = {code, installed};
    std::sort(gone.begin(), gone.end());
    EXPECT_EQ(gone, removed) << "told of the scripts that went, only";
    DeleteFileW((folder + L"short.aas").c_str());
    EXPECT_TRUE(CreateDirectoryW(directory.c_str(), nullptr) == FALSE && GetLastError() == ERROR_ALREADY_EXISTS);
    EXPECT_EQ("not a script", nvtest::readFile(folder + L"notes.txt"));
    RemoveDirectoryW(directory.c_str());
    DeleteFileW((folder + L"notes.txt").c_str());
}

TEST_F(StaleScripts, ResultIsThatOfTheLastScript)
{
    const std::wstring folder = GetScriptsFolder();
    EXPECT_EQ(0, CleanupStaleScripts(HoldScriptsFolder()));   // nothing left over

    // Two scripts, one installed and one missing: whichever the platform lists last decides.
    ASSERT_TRUE(nvtest::writeFile(folder + installed + L".aas", "left over"));
    ASSERT_TRUE(nvtest::writeFile(folder + code + L".aas", "left over"));
    const std::vector<std::wstring> files = listedFiles();
    ASSERT_EQ(2u, files.size());
    EXPECT_EQ(files.back() == installed + L".aas" ? 0 : 2, CleanupStaleScripts(HoldScriptsFolder()));
    EXPECT_EQ(1u, calls().size());   // only the missing product's script was processed
    DeleteFileW((folder + code + L".aas").c_str());   // no script the double can process: it stayed

    // Without a scripts folder there is nothing to do.
    ASSERT_TRUE(RemoveDirectoryW(folder.c_str()));
    EXPECT_EQ(0, CleanupStaleScripts(HoldScriptsFolder()));
    CreateServiceFolders();
}

// The double is selected for this executable only: msiexec keeps Wine's own installer.
TEST_F(Advertise, AProductCodeThatIsNoGuidNamesNoScriptAndReachesNoInstallerCall)
{
    std::wstring script = L"left from before";
    EXPECT_EQ(static_cast<UINT>(ERROR_INVALID_PARAMETER), advertise(kit::package(L"bad-product-code"), L"", script));
    EXPECT_EQ(L"", script);
    EXPECT_TRUE(calls().empty());
    EXPECT_FALSE(nvtest::fileExists(GetDataFolder() + L"\\Norvo\\planted.aas"));
}

TEST(DoubleSelection, OtherProgramsKeepTheRealInstaller)
{
    EXPECT_EQ(0, kit::msiexec(L"/i", kit::package(L"g-9.10.0")));
    EXPECT_EQ(0, IsProductRegistered(kit::productCode(91000)));
    EXPECT_EQ(0, kit::msiexec(L"/x", kit::package(L"g-9.10.0")));
    EXPECT_NE(0, IsProductRegistered(kit::productCode(91000)));
}

} // namespace
