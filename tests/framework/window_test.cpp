// The interactive path under a real X display (Xvfb): started by hand with the service not
// installed, the status window shows the engine starting, then running, and "Exit" ends the run
// after the main routine returned; a second start meanwhile shows no window and ends with 2; a
// failed start shows its reason. Screenshots of the window are left in the suite folder.
#include "frameworktest.h"
#include "testsupport.h"
#include "tiny/service.h"
#include "tiny/threads.h"
#include "tiny/unique.h"

#include "resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace fwtest;
using namespace norvo::tiny;

namespace {

const char kWindowClass[] = "nvupdaterservice";
const char kTitle[] = "Norvo Framework Test 1.0.0.7 T1 engine status";
const char kNotInstalled[] = "fwnotinstalled";

// A test service started by hand, ended at the latest when the test ends.
class HandStarted {
public:
    explicit HandStarted(const std::string &arguments)
    {
        std::wstring line = L"\"" + testServicePath() + L"\" --service " + nvtest::widen(kNotInstalled) + L" " +
                            nvtest::widen(arguments);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            process_.reset(info.hProcess);
            CloseHandleOwner thread(info.hThread);
        }
    }
    ~HandStarted()
    {
        if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT)
            TerminateProcess(process_.get(), 99);
    }
    bool started() const { return process_.valid(); }
    // The exit code, or -1 when it did not end within `timeoutMs`.
    long waitForExit(DWORD timeoutMs) const
    {
        DWORD code = 0;
        if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0 || !GetExitCodeProcess(process_.get(), &code))
            return -1;
        return static_cast<long>(code);
    }

private:
    using CloseHandleOwner = UniqueHandle;
    UniqueHandle process_;
};

std::string handArguments(const std::string &instance, const std::string &more, const std::string &trace)
{
    return "--instance " + instance + " " + more + " --trace \"" + trace + "\"";
}

HWND findStatusWindow(DWORD timeoutMs)
{
    HWND found = nullptr;
    nvtest::waitFor([&] { return (found = FindWindowA(kWindowClass, kTitle)) != nullptr; }, timeoutMs);
    return found;
}

int countStatusWindows()
{
    int count = 0;
    for (HWND w = FindWindowExA(nullptr, nullptr, kWindowClass, nullptr); w;
         w = FindWindowExA(nullptr, w, kWindowClass, nullptr))
        ++count;
    return count;
}

std::string statusText(HWND window)
{
    char text[256] = {};
    SendMessageTimeoutA(GetDlgItem(window, IDC_STATUS_TEXT), WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

bool exitEnabled(HWND window) { return IsWindowEnabled(GetDlgItem(window, IDOK)) != FALSE; }

// What the screen shows inside the window's rectangle, saved as a 24-bit BMP. Returns how many
// different colours the picture has (a blank capture has one).
size_t saveScreenshot(HWND window, const std::wstring &path)
{
    RECT r;
    if (!GetWindowRect(window, &r))
        return 0;
    const int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
    std::string pixels(stride * height, '\0');
    GetDIBits(memory, bitmap, 0, height, &pixels[0], reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
    nvtest::writeFile(path, std::string(reinterpret_cast<const char *>(&file), sizeof(file)) +
                                std::string(reinterpret_cast<const char *>(&info), sizeof(info)) + pixels);

    std::vector<DWORD> colours;
    for (int y = 0; y < height && colours.size() < 16; ++y)
        for (int x = 0; x < width && colours.size() < 16; ++x) {
            const unsigned char *p = reinterpret_cast<const unsigned char *>(&pixels[y * stride + x * 3]);
            const DWORD colour = p[0] | (p[1] << 8) | (p[2] << 16);
            bool seen = false;
            for (DWORD c : colours)
                seen = seen || c == colour;
            if (!seen)
                colours.push_back(colour);
        }
    return colours.size();
}

// Saves the window's picture once its painting has settled: two captures in a row alike.
bool saveSettledScreenshot(HWND window, const std::wstring &path)
{
    std::string previous;
    return nvtest::waitFor(
        [&] {
            if (saveScreenshot(window, path) <= 8)
                return false;
            std::string now = nvtest::readFile(path);
            const bool settled = now == previous;
            previous = now;
            return settled;
        },
        3000, 150);
}

// Presses "Exit" the way a click does.
void pressExit(HWND window)
{
    SendMessageTimeoutA(GetDlgItem(window, IDOK), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 2000, nullptr);
}

} // namespace

TEST(StatusWindow, ShowsTheEngineStartingThenRunningAndExitsAfterTheMainRoutine)
{
    const std::wstring testStderr = nvtest::suiteDir() + L"\\test.err";
    const size_t mark = fileSize(testStderr);
    const std::string trace = freshTracePath("window");
    HandStarted engine(handArguments("FwWindow", "--delay 2000 --linger 500", trace));
    ASSERT_TRUE(engine.started());

    HWND window = findStatusWindow(10000);
    ASSERT_NE(nullptr, window) << "no status window";
    EXPECT_EQ("Starting engine ...", statusText(window));
    EXPECT_FALSE(exitEnabled(window));
    // Painted: the banner's colours, the text and the button are on the screen.
    EXPECT_TRUE(saveSettledScreenshot(window, nvtest::suiteDir() + L"\\status-starting.bmp"));

    // Centred on the screen (integer halves of the differences).
    RECT r;
    ASSERT_TRUE(GetWindowRect(window, &r));
    EXPECT_EQ((GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) / 2, r.left);
    EXPECT_EQ((GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2, r.top);

    ASSERT_TRUE(nvtest::waitFor([&] { return statusText(window) == "Engine is running"; }, 10000)) << statusText(window);
    ASSERT_TRUE(nvtest::waitFor([&] { return exitEnabled(window); }, 2000));
    EXPECT_TRUE(saveSettledScreenshot(window, nvtest::suiteDir() + L"\\status-running.bmp"));

    // A second start by hand meanwhile: no second window, exit code 2.
    const size_t secondMark = fileSize(testStderr);
    const std::string secondTrace = freshTracePath("window-second");
    HandStarted second(handArguments("FwWindow", "", secondTrace));
    ASSERT_TRUE(second.started());
    EXPECT_EQ(2, second.waitForExit(15000));
    EXPECT_EQ(1, countStatusWindows());
    EXPECT_EQ(std::vector<std::string>{"serverMain 2"}, traceLines(secondTrace));
    const std::vector<std::string> secondEvents = eventTexts(testStderr, secondMark);
    ASSERT_FALSE(secondEvents.empty());
    EXPECT_EQ("Service is already running" + eventSuffix(kNotInstalled), secondEvents.back());

    pressExit(window);
    EXPECT_EQ(0, engine.waitForExit(10000));
    EXPECT_FALSE(IsWindow(window));
    // The run ended only after the main routine had seen the request and returned.
    const std::vector<std::string> expected = {"main 0", "running", "stop 1 state 0 checkpoint 0 hint 0", "returned",
                                               "serverMain 0"};
    EXPECT_EQ(expected, traceLines(trace));

    // The service is not installed: the OpenService failure, its error in hexadecimal and a full
    // stop, each event with the framework's suffix.
    const std::vector<std::string> events = eventTexts(testStderr, mark);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ("Starting server" + eventSuffix(kNotInstalled), events[0]);
    EXPECT_EQ("Cannot open the existing service, function OpenService() failed with error 0x424." +
                  eventSuffix(kNotInstalled),
              events[1]);
}

TEST(StatusWindow, FailedStartShowsItsReasonAndWaitsForExit)
{
    const std::wstring testStderr = nvtest::suiteDir() + L"\\test.err";
    const size_t mark = fileSize(testStderr);
    const std::string trace = freshTracePath("window-failed");
    HandStarted engine(handArguments("FwWindowFailed", "--mode fail --delay 300", trace));
    ASSERT_TRUE(engine.started());
    HWND window = findStatusWindow(10000);
    ASSERT_NE(nullptr, window);

    const std::string reason = "Test engine failed to start: the test asked for it";
    ASSERT_TRUE(nvtest::waitFor([&] { return statusText(window) == reason; }, 10000)) << statusText(window);
    EXPECT_TRUE(exitEnabled(window));
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_TRUE(saveSettledScreenshot(window, nvtest::suiteDir() + L"\\status-failed.bmp"));
    // Further rounds of the window's start timer (every 200 ms) must not report the failure again.
    // Four answers of the window's own thread, each sent at least a timer period after the last
    // answer: a timer still set is due at each, and comes in that round of the window's queue.
    int answered = 0;
    for (int asked = 0; answered < 4 && asked < 20 && IsWindow(window); ++asked) {
        Sleep(250);
        DWORD_PTR unused = 0;
        answered += SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &unused) != 0 ? 1 : 0;
    }
    ASSERT_EQ(4, answered) << "the window stopped answering";
    EXPECT_EQ(-1, engine.waitForExit(0)) << "the window waits for Exit";

    pressExit(window);
    EXPECT_EQ(0, engine.waitForExit(10000));
    EXPECT_EQ((std::vector<std::string>{"main 0", "failed", "serverMain 0"}), traceLines(trace));
    const std::vector<std::string> events = eventTexts(testStderr, mark);
    EXPECT_EQ(1, static_cast<int>(std::count(events.begin(), events.end(), reason + eventSuffix(kNotInstalled))));
}

namespace {

ServiceDefinition inProcess;
volatile LONG serverResult = -1;
volatile LONG mainReturned = 0;

void inProcessMain(ServiceDefinition &record, int)
{
    record.running = 1;
    while (!record.stopRequested)
        Sleep(20);
    mainReturned = 1;
}

} // namespace

// Run in this process, where the window's class can be read: it carries the program's icon, and a
// stop request that does not come from the window closes it on the next round of its timer.
TEST(StatusWindow, CarriesTheIconAndClosesWhenAStopIsRequested)
{
    inProcess.instance = GetModuleHandleA(nullptr);
    inProcess.dialogId = IDD_STATUS;
    inProcess.iconId = IDI_SERVICE;
    inProcess.statusControlId = IDC_STATUS_TEXT;
    inProcess.windowClassName = kWindowClass;
    inProcess.mainRoutine = inProcessMain;
    inProcess.serviceName = kNotInstalled;
    inProcess.instanceName = "FwInProcess";
    inProcess.displayName = "Norvo Framework Test";
    inProcess.version = "1.0.0.7 T1";
    UniqueHandle runner;
    ASSERT_TRUE(startThread([](void *) { InterlockedExchange(&serverResult, serverMain(&inProcess, SW_SHOW)); },
                            nullptr, &runner, ThreadAttributes()));

    HWND window = findStatusWindow(10000);
    ASSERT_NE(nullptr, window);
    ASSERT_TRUE(nvtest::waitFor([&] { return statusText(window) == "Engine is running"; }, 10000));
    char className[64] = {};
    GetClassNameA(window, className, sizeof(className));
    EXPECT_EQ(0, lstrcmpiA(kWindowClass, className));
    HICON icon = reinterpret_cast<HICON>(GetClassLongPtrA(window, GCLP_HICON));
    ICONINFO info = {};
    ASSERT_TRUE(icon && GetIconInfo(icon, &info));
    BITMAP colour = {};
    GetObjectA(info.hbmColor, sizeof(colour), &colour);
    EXPECT_EQ(32, colour.bmWidth);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);

    inProcess.stopRequested = 1;
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(runner.get(), 5000)) << "the window did not close";
    EXPECT_EQ(0, serverResult);
    EXPECT_EQ(1, mainReturned);
    EXPECT_FALSE(IsWindow(window));
}
