// mktransform: writes Windows Installer transforms by hand, for tests (Wine's installer applies
// transforms but cannot generate them), and stores one inside a package.
//
//   mktransform set OUT.mst [--conditions N] TABLE KEY COLUMN VALUE [TABLE KEY COLUMN VALUE]...
//       a transform that sets, in the row of TABLE whose key (its first column, its only key) is KEY,
//       the text column COLUMN (1: the column after the key) to VALUE; a row that does not exist is
//       inserted with that one column. --conditions writes the summary information's Character
//       Count: the error conditions to suppress in its lower 16 bits.
//   mktransform embed PACKAGE.msi NAME TRANSFORM.mst
//       stores TRANSFORM.mst as the sub-storage NAME of PACKAGE.msi (its _Storages table), which a
//       transforms text then names ":NAME".
//
// A transform is a structured storage of the transform class with its own string pool and one
// stream per changed table, named in the installer's packed form; a row of a table's stream is a
// 16-bit mask of the columns given (key columns always are) and the values, each text an index
// into the transform's pool.
#include "tiny/unique.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <objbase.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

using norvo::tiny::UniqueCom;

const CLSID kTransformClass = {0x000C1082, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const WORD kCodePage = 1252;
const PROPID kCharacterCount = 14;

int fail(const char *what, long code)
{
    std::fprintf(stderr, "mktransform: %s (0x%08lX)\n", what, static_cast<unsigned long>(code));
    return 1;
}

// 0-63 for the characters the packed form packs, -1 for any other.
int packedValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'A' && c <= L'Z')
        return c - L'A' + 10;
    if (c >= L'a' && c <= L'z')
        return c - L'a' + 36;
    if (c == L'.')
        return 62;
    if (c == L'_')
        return 63;
    return -1;
}

// A table's stream name: 0x4840, then two characters to a code unit, a lone last one by itself.
bool packedName(const std::wstring &name, std::wstring &packed)
{
    packed.assign(1, static_cast<wchar_t>(0x4840));
    for (size_t i = 0; i < name.size(); i += 2) {
        const int first = packedValue(name[i]);
        if (first < 0)
            return false;
        if (i + 1 == name.size()) {
            packed += static_cast<wchar_t>(0x4800 + first);
            break;
        }
        const int second = packedValue(name[i + 1]);
        if (second < 0)
            return false;
        packed += static_cast<wchar_t>(0x3800 + first + (second << 6));
    }
    return true;
}

// The transform's own strings, numbered from 1.
class StringPool {
public:
    WORD add(const std::string &text)
    {
        auto found = index_.find(text);
        if (found != index_.end()) {
            ++counts_[found->second - 1];
            return found->second;
        }
        strings_.push_back(text);
        counts_.push_back(1);
        const WORD number = static_cast<WORD>(strings_.size());
        index_[text] = number;
        return number;
    }
    std::vector<BYTE> pool() const
    {
        std::vector<BYTE> bytes;
        put(bytes, kCodePage);
        put(bytes, 0);
        for (size_t i = 0; i < strings_.size(); ++i) {
            put(bytes, static_cast<WORD>(strings_[i].size()));
            put(bytes, static_cast<WORD>(counts_[i]));
        }
        return bytes;
    }
    std::vector<BYTE> data() const
    {
        std::vector<BYTE> bytes;
        for (const std::string &s : strings_)
            bytes.insert(bytes.end(), s.begin(), s.end());
        return bytes;
    }
    static void put(std::vector<BYTE> &bytes, WORD value)
    {
        bytes.push_back(static_cast<BYTE>(value & 0xFF));
        bytes.push_back(static_cast<BYTE>(value >> 8));
    }

private:
    std::vector<std::string> strings_;
    std::vector<unsigned> counts_;
    std::map<std::string, WORD> index_;
};

std::string narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }

HRESULT writeStream(IStorage *storage, const std::wstring &name, const std::vector<BYTE> &bytes)
{
    UniqueCom<IStream> stream;
    const DWORD mode = STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE;
    HRESULT result = storage->CreateStream(name.c_str(), mode, 0, 0, stream.put());
    if (FAILED(result))
        return result;
    ULONG written = 0;
    return bytes.empty() ? S_OK : stream.get()->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
}

HRESULT writeConditions(IStorage *storage, long conditions)
{
    UniqueCom<IPropertySetStorage> sets;
    HRESULT result = storage->QueryInterface(IID_IPropertySetStorage, reinterpret_cast<void **>(sets.put()));
    if (FAILED(result))
        return result;
    UniqueCom<IPropertyStorage> summary;
    result = sets.get()->Create(FMTID_SummaryInformation, nullptr, PROPSETFLAG_ANSI,
                                STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, summary.put());
    if (FAILED(result))
        return result;
    PROPSPEC which = {};
    which.ulKind = PRSPEC_PROPID;
    which.propid = kCharacterCount;
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_I4;
    value.lVal = conditions;
    result = summary.get()->WriteMultiple(1, &which, &value, 2);
    return SUCCEEDED(result) ? summary.get()->Commit(STGC_DEFAULT) : result;
}

int makeTransform(int argc, wchar_t **argv)
{
    if (argc < 3)
        return fail("set: OUT.mst and at least one change", 0);
    const std::wstring out = argv[2];
    int at = 3;
    bool withConditions = false;
    long conditions = 0;
    if (at + 1 < argc && std::wstring(argv[at]) == L"--conditions") {
        withConditions = true;
        conditions = std::wcstol(argv[at + 1], nullptr, 0);
        at += 2;
    }
    if ((argc - at) == 0 || (argc - at) % 4 != 0)
        return fail("set: changes come as TABLE KEY COLUMN VALUE", 0);

    StringPool strings;
    std::map<std::wstring, std::vector<BYTE>> tables;
    for (; at < argc; at += 4) {
        const int column = _wtoi(argv[at + 2]);
        if (column < 1 || column > 15)
            return fail("set: COLUMN is 1 to 15", column);
        std::vector<BYTE> &rows = tables[argv[at]];
        StringPool::put(rows, static_cast<WORD>(1u << column));
        StringPool::put(rows, strings.add(narrow(argv[at + 1])));
        StringPool::put(rows, strings.add(narrow(argv[at + 3])));
    }

    UniqueCom<IStorage> storage;
    HRESULT result = StgCreateDocfile(out.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_DIRECT, 0,
                                      storage.put());
    if (FAILED(result))
        return fail("StgCreateDocfile", result);
    std::wstring pool, data;
    packedName(L"_StringPool", pool);
    packedName(L"_StringData", data);
    result = storage.get()->SetClass(kTransformClass);
    if (SUCCEEDED(result))
        result = writeStream(storage.get(), pool, strings.pool());
    if (SUCCEEDED(result))
        result = writeStream(storage.get(), data, strings.data());
    for (auto it = tables.begin(); SUCCEEDED(result) && it != tables.end(); ++it) {
        std::wstring name;
        if (!packedName(it->first, name))
            return fail("set: a table name of letters, digits, '.' and '_' only", 0);
        result = writeStream(storage.get(), name, it->second);
    }
    if (SUCCEEDED(result) && withConditions)
        result = writeConditions(storage.get(), conditions);
    if (SUCCEEDED(result))
        result = storage.get()->Commit(STGC_DEFAULT);
    storage.reset();
    return SUCCEEDED(result) ? 0 : fail("writing the transform", result);
}

int embedTransform(int argc, wchar_t **argv)
{
    if (argc != 5)
        return fail("embed: PACKAGE.msi NAME TRANSFORM.mst", 0);
    PMSIHANDLE database;
    // The persistence mode stands in the text pointer's place.
    UINT result = MsiOpenDatabaseW(argv[2], reinterpret_cast<LPCWSTR>(MSIDBOPEN_TRANSACT), &database);
    if (result != ERROR_SUCCESS)
        return fail("MsiOpenDatabaseW", static_cast<long>(result));
    PMSIHANDLE view;
    result = MsiDatabaseOpenViewW(database, L"SELECT `Name`, `Data` FROM `_Storages`", &view);
    if (result == ERROR_SUCCESS)
        result = MsiViewExecute(view, 0);
    if (result != ERROR_SUCCESS)
        return fail("the _Storages table", static_cast<long>(result));
    PMSIHANDLE record = MsiCreateRecord(2);
    result = MsiRecordSetStringW(record, 1, argv[3]);
    if (result == ERROR_SUCCESS)
        result = MsiRecordSetStreamW(record, 2, argv[4]);
    if (result == ERROR_SUCCESS)
        result = MsiViewModify(view, MSIMODIFY_INSERT, record);
    if (result != ERROR_SUCCESS)
        return fail("inserting the storage", static_cast<long>(result));
    MsiViewClose(view);
    result = MsiDatabaseCommit(database);
    return result == ERROR_SUCCESS ? 0 : fail("MsiDatabaseCommit", static_cast<long>(result));
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc >= 2 && std::wstring(argv[1]) == L"set")
        return makeTransform(argc, argv);
    if (argc >= 2 && std::wstring(argv[1]) == L"embed")
        return embedTransform(argc, argv);
    std::fprintf(stderr, "usage: mktransform set OUT.mst [--conditions N] TABLE KEY COLUMN VALUE...\n"
                         "       mktransform embed PACKAGE.msi NAME TRANSFORM.mst\n");
    return 2;
}
