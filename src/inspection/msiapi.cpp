#include "inspection/msiapi.h"

namespace nvupdater {
namespace msi {

namespace {

using AdvertiseProductFn = UINT(WINAPI *)(LPCWSTR, LPCWSTR, LPCWSTR, LANGID);
using CloseHandleFn = UINT(WINAPI *)(Handle);
using OpenViewFn = UINT(WINAPI *)(Handle, LPCWSTR, Handle *);
using GetProductPropertyFn = UINT(WINAPI *)(Handle, LPCWSTR, LPWSTR, DWORD *);
using OpenDatabaseFn = UINT(WINAPI *)(LPCWSTR, LPCWSTR, Handle *);
using OpenPackageFn = UINT(WINAPI *)(LPCWSTR, Handle *);
using RecordGetIntegerFn = int(WINAPI *)(Handle, UINT);
using RecordGetStringFn = UINT(WINAPI *)(Handle, UINT, LPWSTR, DWORD *);
using SetInternalUIFn = int(WINAPI *)(int, HWND *);
using ViewFn = UINT(WINAPI *)(Handle);
using ViewExecuteFn = UINT(WINAPI *)(Handle, Handle);
using ViewFetchFn = UINT(WINAPI *)(Handle, Handle *);
using AdvertiseScriptFn = UINT(WINAPI *)(LPCWSTR, DWORD, PHKEY, BOOL);
using ApplyTransformFn = UINT(WINAPI *)(Handle, LPCWSTR, int);
using GetSummaryInformationFn = UINT(WINAPI *)(Handle, LPCWSTR, UINT, Handle *);
using SummaryInfoGetPropertyFn = UINT(WINAPI *)(Handle, UINT, UINT *, INT *, FILETIME *, LPWSTR, DWORD *);

// msi.dll's ordinals; they are stable across installer releases.
enum Ordinal : WORD {
    kAdvertiseProduct = 6,
    kCloseHandle = 8,
    kDatabaseApplyTransform = 19,
    kOpenView = 32,
    kGetProductProperty = 72,
    kGetSummaryInformation = 78,
    kOpenDatabase = 92,
    kOpenPackage = 94,
    kRecordGetInteger = 116,
    kRecordGetString = 118,
    kSetInternalUI = 141,
    kSummaryInfoGetProperty = 150,
    kViewClose = 158,
    kViewExecute = 159,
    kViewFetch = 160,
    kAdvertiseScript = 177,
};

struct Api {
    // Deliberately never freed: installer handles and the session's user-interface level live as
    // long as the process, and unloading during process exit would race a running session.
    HMODULE module = nullptr;
    AdvertiseProductFn advertiseProduct = nullptr;
    CloseHandleFn closeHandle = nullptr;
    OpenViewFn openView = nullptr;
    GetProductPropertyFn getProductProperty = nullptr;
    OpenDatabaseFn openDatabase = nullptr;
    OpenPackageFn openPackage = nullptr;
    RecordGetIntegerFn recordGetInteger = nullptr;
    RecordGetStringFn recordGetString = nullptr;
    SetInternalUIFn setInternalUI = nullptr;
    ViewFn viewClose = nullptr;
    ViewExecuteFn viewExecute = nullptr;
    ViewFetchFn viewFetch = nullptr;
    AdvertiseScriptFn advertiseScript = nullptr;
    ApplyTransformFn applyTransform = nullptr;
    GetSummaryInformationFn getSummaryInformation = nullptr;
    SummaryInfoGetPropertyFn summaryInfoGetProperty = nullptr;
};

template <typename Fn>
void resolve(HMODULE module, WORD ordinal, Fn &fn)
{
    // GetProcAddress hands out an untyped entry point; the type is the installer's documented one.
    fn = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
}

// Only the copy in the system folder: a package folder or the current directory must never supply
// the installer that runs with the service's rights.
HMODULE loadFromSystemFolder()
{
    wchar_t folder[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    std::wstring path = std::wstring(folder, length) + L"\\msi.dll";
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

const Api &api()
{
    static const Api loaded = [] {
        Api a;
        a.module = loadFromSystemFolder();
        if (!a.module)
            return a;
        HMODULE m = a.module;
        resolve(m, kAdvertiseProduct, a.advertiseProduct);
        resolve(m, kCloseHandle, a.closeHandle);
        resolve(m, kOpenView, a.openView);
        resolve(m, kGetProductProperty, a.getProductProperty);
        resolve(m, kOpenDatabase, a.openDatabase);
        resolve(m, kOpenPackage, a.openPackage);
        resolve(m, kRecordGetInteger, a.recordGetInteger);
        resolve(m, kRecordGetString, a.recordGetString);
        resolve(m, kSetInternalUI, a.setInternalUI);
        resolve(m, kViewClose, a.viewClose);
        resolve(m, kViewExecute, a.viewExecute);
        resolve(m, kViewFetch, a.viewFetch);
        resolve(m, kAdvertiseScript, a.advertiseScript);
        resolve(m, kDatabaseApplyTransform, a.applyTransform);
        resolve(m, kGetSummaryInformation, a.getSummaryInformation);
        resolve(m, kSummaryInfoGetProperty, a.summaryInfoGetProperty);
        return a;
    }();
    return loaded;
}

UINT missing() { return api().module ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND; }

} // namespace

bool Available()
{
    const Api &a = api();
    return a.module && a.advertiseProduct && a.closeHandle && a.openView && a.getProductProperty &&
           a.openDatabase && a.openPackage && a.recordGetInteger && a.recordGetString && a.setInternalUI &&
           a.viewClose && a.viewExecute && a.viewFetch && a.advertiseScript && a.applyTransform &&
           a.getSummaryInformation && a.summaryInfoGetProperty;
}

UINT CloseHandle(Handle handle) { return api().closeHandle ? api().closeHandle(handle) : missing(); }

UINT OpenPackage(const std::wstring &packagePath, UniqueHandle &session)
{
    if (!api().openPackage)
        return missing();
    return api().openPackage(packagePath.c_str(), session.put());
}

UINT GetProductProperty(Handle session, const wchar_t *name, wchar_t *buffer, DWORD *capacity)
{
    return api().getProductProperty ? api().getProductProperty(session, name, buffer, capacity) : missing();
}

UINT OpenDatabase(const std::wstring &packagePath, UniqueHandle &database)
{
    if (!api().openDatabase)
        return missing();
    // Persistence mode 0: read-only (the installer takes the mode in the text pointer's place).
    return api().openDatabase(packagePath.c_str(), nullptr, database.put());
}

UINT OpenView(Handle database, const std::wstring &query, UniqueHandle &view)
{
    if (!api().openView)
        return missing();
    return api().openView(database, query.c_str(), view.put());
}

UINT DatabaseApplyTransform(Handle database, const std::wstring &transform, int conditions)
{
    if (!api().applyTransform)
        return missing();
    return api().applyTransform(database, transform.c_str(), conditions);
}

UINT GetSummaryInformation(Handle database, UniqueHandle &summary)
{
    if (!api().getSummaryInformation)
        return missing();
    return api().getSummaryInformation(database, nullptr, 0, summary.put());
}

UINT SummaryInfoGetInteger(Handle summary, UINT property, UINT &type, int &value)
{
    if (!api().summaryInfoGetProperty)
        return missing();
    type = 0;
    value = 0;
    FILETIME time = {};
    wchar_t text[1] = {};
    DWORD capacity = 1;   // a text property is not wanted here: its value is not read
    return api().summaryInfoGetProperty(summary, property, &type, &value, &time, text, &capacity);
}

UINT ViewExecute(Handle view) { return api().viewExecute ? api().viewExecute(view, 0) : missing(); }

UINT ViewClose(Handle view) { return api().viewClose ? api().viewClose(view) : missing(); }

UINT ViewFetch(Handle view, UniqueHandle &record)
{
    if (!api().viewFetch)
        return missing();
    return api().viewFetch(view, record.put());
}

UINT RecordGetString(Handle record, UINT field, wchar_t *buffer, DWORD *capacity)
{
    return api().recordGetString ? api().recordGetString(record, field, buffer, capacity) : missing();
}

bool RecordText(Handle record, UINT field, DWORD capacity, std::wstring &text)
{
    std::wstring buffer(capacity, L'\0');
    DWORD length = capacity;
    if (RecordGetString(record, field, &buffer[0], &length) != ERROR_SUCCESS)
        return false;
    text.assign(buffer.c_str());
    return true;
}

int RecordGetInteger(Handle record, UINT field)
{
    return api().recordGetInteger ? api().recordGetInteger(record, field) : kNullInteger;
}

UINT AdvertiseProduct(const std::wstring &packagePath, const std::wstring &scriptPath, const std::wstring &transforms,
                      LANGID language)
{
    if (!api().advertiseProduct)
        return missing();
    return api().advertiseProduct(packagePath.c_str(), scriptPath.c_str(), transforms.c_str(), language);
}

UINT AdvertiseScript(const std::wstring &scriptPath, DWORD flags, PHKEY registryData, BOOL remove)
{
    if (!api().advertiseScript)
        return missing();
    return api().advertiseScript(scriptPath.c_str(), flags, registryData, remove);
}

int SetInternalUI(int level) { return api().setInternalUI ? api().setInternalUI(level, nullptr) : 0; }

} // namespace msi
} // namespace nvupdater
