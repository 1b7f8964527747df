// The executable's resources as a program built with them carries them: the status dialog's
// template, the artwork, the version record, and a manifest that makes version queries truthful.
#include "frameworktest.h"
#include "testsupport.h"
#include "tiny/service.h"
#include "tiny/unique.h"

#include "resource.h"
#include "version.h"

#include <gtest/gtest.h>

#include <string>

using namespace norvo::tiny;

namespace {

// Reads a DIALOG (not DIALOGEX) template: header, strings, then DWORD-aligned items.
class TemplateReader {
public:
    TemplateReader(const BYTE *data, size_t size) : data_(data), size_(size) {}
    DWORD dword() { return take<DWORD>(); }
    WORD word() { return take<WORD>(); }
    short shortValue() { return static_cast<short>(take<WORD>()); }
    // A string, or "#n" for an ordinal.
    std::string text()
    {
        if (at_ + 2 <= size_ && *reinterpret_cast<const WORD *>(data_ + at_) == 0xFFFF) {
            word();
            return "#" + std::to_string(word());
        }
        std::wstring value;
        for (WORD c = word(); c != 0 && at_ <= size_; c = word())
            value += static_cast<wchar_t>(c);
        return nvtest::narrow(value);
    }
    void alignDword() { at_ = (at_ + 3) & ~static_cast<size_t>(3); }
    bool overrun() const { return at_ > size_; }

private:
    template <typename T>
    T take()
    {
        T value = 0;
        if (at_ + sizeof(T) <= size_)
            memcpy(&value, data_ + at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }
    const BYTE *data_;
    size_t size_;
    size_t at_ = 0;
};

struct Item {
    DWORD style;
    short x, y, cx, cy;
    WORD id;
    std::string windowClass, title;
};

// Resource compilers name the predefined control classes by ordinal or by name.
bool isClass(const Item &item, const char *ordinal, const char *name)
{
    return item.windowClass == ordinal || lstrcmpiA(item.windowClass.c_str(), name) == 0;
}

class ServiceResources : public ::testing::Test {
protected:
    void SetUp() override
    {
        module_.reset(LoadLibraryExW(fwtest::testServicePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(module_.valid());
    }
    std::string resource(LPCSTR type, int id)
    {
        HRSRC found = FindResourceA(module_.get(), MAKEINTRESOURCEA(id), type);
        HGLOBAL loaded = found ? LoadResource(module_.get(), found) : nullptr;
        const char *bytes = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
        return bytes ? std::string(bytes, SizeofResource(module_.get(), found)) : std::string();
    }
    UniqueModule module_;
};

} // namespace

TEST_F(ServiceResources, StatusDialogTemplateIsTheOneTheWindowExpects)
{
    const std::string bytes = resource(RT_DIALOG, IDD_STATUS);
    ASSERT_FALSE(bytes.empty());
    TemplateReader in(reinterpret_cast<const BYTE *>(bytes.data()), bytes.size());
    const DWORD style = in.dword();
    in.dword(); // extended style
    const WORD count = in.word();
    const short x = in.shortValue(), y = in.shortValue(), cx = in.shortValue(), cy = in.shortValue();
    EXPECT_EQ(static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_SETFONT), style);
    EXPECT_EQ(0, x);
    EXPECT_EQ(0, y);
    EXPECT_EQ(231, cx);
    EXPECT_EQ(93, cy);
    EXPECT_EQ("", in.text());                 // no menu
    EXPECT_EQ(0, lstrcmpiA("nvupdaterservice", in.text().c_str())); // the class the framework registers
    EXPECT_EQ("Updater Service", in.text());
    EXPECT_EQ(8, in.word());
    EXPECT_EQ("MS Sans Serif", in.text());

    ASSERT_EQ(3, count);
    Item items[3];
    for (Item &item : items) {
        in.alignDword();
        item.style = in.dword();
        in.dword();
        item.x = in.shortValue();
        item.y = in.shortValue();
        item.cx = in.shortValue();
        item.cy = in.shortValue();
        item.id = in.word();
        item.windowClass = in.text();
        item.title = in.text();
        in.word(); // creation data
    }
    ASSERT_FALSE(in.overrun());
    // The banner across the top, the sunken centred status text, the default "Exit" button.
    EXPECT_TRUE(isClass(items[0], "#130", "Static"));
    EXPECT_EQ("#135", items[0].title);
    EXPECT_EQ(static_cast<DWORD>(SS_BITMAP), items[0].style & SS_TYPEMASK);
    EXPECT_EQ((std::vector<short>{0, 0, 231, 26}), (std::vector<short>{items[0].x, items[0].y, items[0].cx, items[0].cy}));
    EXPECT_TRUE(isClass(items[1], "#130", "Static"));
    EXPECT_EQ(IDC_STATUS_TEXT, items[1].id);
    EXPECT_EQ(static_cast<DWORD>(SS_CENTER), items[1].style & SS_TYPEMASK);
    EXPECT_TRUE(items[1].style & SS_SUNKEN);
    EXPECT_EQ((std::vector<short>{9, 40, 212, 14}), (std::vector<short>{items[1].x, items[1].y, items[1].cx, items[1].cy}));
    EXPECT_TRUE(isClass(items[2], "#128", "Button"));
    EXPECT_EQ(IDOK, items[2].id);
    EXPECT_EQ("Exit", items[2].title);
    EXPECT_EQ(static_cast<DWORD>(BS_DEFPUSHBUTTON), items[2].style & BS_TYPEMASK);
    EXPECT_EQ((std::vector<short>{89, 70, 50, 14}), (std::vector<short>{items[2].x, items[2].y, items[2].cx, items[2].cy}));
}

TEST_F(ServiceResources, ArtworkAndVersionRecordAreThere)
{
    HICON icon = static_cast<HICON>(LoadImageA(module_.get(), MAKEINTRESOURCEA(IDI_SERVICE), IMAGE_ICON, 32, 32, 0));
    EXPECT_NE(nullptr, icon);
    if (icon)
        DestroyIcon(icon);
    HBITMAP banner = static_cast<HBITMAP>(LoadImageA(module_.get(), MAKEINTRESOURCEA(IDB_BANNER), IMAGE_BITMAP, 0, 0, 0));
    ASSERT_NE(nullptr, banner);
    BITMAP info = {};
    GetObjectA(banner, sizeof(info), &info);
    EXPECT_EQ(347, info.bmWidth); // 231 x 26 dialog units at the usual 8-point dialog font
    EXPECT_EQ(42, info.bmHeight);
    DeleteObject(banner);

    const std::string path = nvtest::narrow(fwtest::testServicePath());
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, &block[0]));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
    // The build's own version: the record follows the one place where it is set.
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(NV_VERSION_MINOR, NV_VERSION_MAJOR)), fixed->dwFileVersionMS);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(NV_VERSION_BUILD, NV_VERSION_PATCH)), fixed->dwFileVersionLS);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(NV_VERSION_MINOR, NV_VERSION_MAJOR)), fixed->dwProductVersionMS);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(NV_VERSION_BUILD, NV_VERSION_PATCH)), fixed->dwProductVersionLS);
    auto text = [&](const char *name) {
        char *value = nullptr;
        UINT n = 0;
        const std::string query = std::string("\\StringFileInfo\\040904b0\\") + name;
        return VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void **>(&value), &n) && value
                   ? std::string(value)
                   : std::string();
    };
    EXPECT_EQ(NV_VERSION_TAGGED_TEXT, text("FileVersion"));
    EXPECT_EQ(NV_VERSION_TAGGED_TEXT, text("ProductVersion"));
    EXPECT_EQ("Norvo Updater Service", text("ProductName"));
}

// The event viewer formats an event's text from the message table with the event's insertion
// strings: each event id gives its one insertion string back, exactly.
TEST_F(ServiceResources, EachEventIdsMessageIsItsInsertionString)
{
    for (DWORD id : {kEventIdError, kEventIdInformation}) {
        SCOPED_TRACE(id);
        const std::string insert = "Comm - Pipe created.\nsecond line 100%";
        DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(insert.c_str())};
        char text[256] = {};
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module_.get(), id, 0,
                                      text, sizeof(text), reinterpret_cast<va_list *>(inserts));
        EXPECT_EQ(insert, std::string(text, length));
    }
}

TEST(Manifest, VersionQueriesReportTheRealRelease)
{
    // This test program carries the service's resources; its prefix claims Windows 10. Without the
    // manifest's supportedOS list GetVersionEx would report 6.2.
    typedef LONG(WINAPI * RtlGetVersionFunction)(OSVERSIONINFOW *);
    auto rtlGetVersion =
        reinterpret_cast<RtlGetVersionFunction>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion"));
    ASSERT_NE(nullptr, rtlGetVersion);
    OSVERSIONINFOW real = {};
    real.dwOSVersionInfoSize = sizeof(real);
    ASSERT_EQ(0, rtlGetVersion(&real));
    ASSERT_EQ(10u, real.dwMajorVersion) << "the suite's prefix should claim Windows 10";

    OSVERSIONINFOA reported = {};
    reported.dwOSVersionInfoSize = sizeof(reported);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExA(&reported));
#pragma GCC diagnostic pop
    EXPECT_EQ(real.dwMajorVersion, reported.dwMajorVersion);
    EXPECT_EQ(real.dwMinorVersion, reported.dwMinorVersion);
    EXPECT_EQ(real.dwBuildNumber, reported.dwBuildNumber);
}
