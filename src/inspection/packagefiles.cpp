// The signature covers the package file alone. A file that the installation reads from beside the
// package (an external cabinet, or a file stored uncompressed in the source folder) is whatever the
// client put there, installed with the service's rights.
#include "inspection/packagefiles.h"

namespace nvupdater {

namespace {

const UINT kNoSuchTable = 1615;          // ERROR_BAD_QUERY_SYNTAX, as a query of a missing table answers
const UINT kNoMoreRows = ERROR_NO_MORE_ITEMS;
const UINT kWordCount = 15;              // PID_WORDCOUNT
const int kCompressedByDefault = 0x2;    // Word Count bit 1
const int kNoncompressed = 0x2000;       // msidbFileAttributesNoncompressed
const int kCompressed = 0x4000;          // msidbFileAttributesCompressed
const DWORD kFieldCapacity = 256;        // characters: Cabinet is at most 255, File's key at most 72

const wchar_t kFileQuery[] = L"SELECT `File`, `Attributes` FROM `File`";
const wchar_t kMediaQuery[] = L"SELECT `DiskId`, `Cabinet` FROM `Media`";

void unreadable(FilesCheck &check, UINT error)
{
    check.outside = OutsideFile::Unreadable;
    check.error = error;
}

// Each row of `query` to `judge` until it finds one outside (it returns false then). False when the
// query or a fetch fails, with the check marked unreadable; `missing` is set instead for no table.
template <typename Judge>
bool eachRow(PackageReader &package, const wchar_t *query, FilesCheck &check, bool &missing, Judge judge)
{
    missing = false;
    msi::UniqueHandle view;
    const UINT opened = package.Query(query, view);
    if (opened == kNoSuchTable) {
        missing = true;
        return true;
    }
    if (opened != ERROR_SUCCESS) {
        unreadable(check, opened);
        return false;
    }
    for (;;) {
        msi::UniqueHandle record;
        const UINT fetched = msi::ViewFetch(view.get(), record);
        if (fetched == kNoMoreRows)
            break;
        if (fetched != ERROR_SUCCESS) {
            unreadable(check, fetched);
            break;
        }
        if (!judge(record.get()))
            break;
    }
    (void)msi::ViewClose(view.get());   // the rows are read; the handle's close follows regardless
    return check.inside();
}

bool uncompressed(int attributes, int wordCount)
{
    if (attributes == msi::kNullInteger)
        attributes = 0;
    if (attributes & kNoncompressed)
        return true;
    return !(attributes & kCompressed) && !(wordCount & kCompressedByDefault);
}

} // namespace

FilesCheck CheckPackageFiles(PackageReader &package)
{
    FilesCheck check;
    check.wordCountRead = package.SummaryInteger(kWordCount, check.wordCount);
    if (check.wordCountRead != ERROR_SUCCESS)
        check.wordCount = 0;   // unknown: no file is taken as compressed unless it says so itself

    bool missing = false;
    const bool filesRead = eachRow(package, kFileQuery, check, missing, [&](msi::Handle record) {
        ++check.files;
        std::wstring key;
        if (!msi::RecordText(record, 1, kFieldCapacity, key)) {
            unreadable(check, ERROR_MORE_DATA);
            return false;
        }
        if (!uncompressed(msi::RecordGetInteger(record, 2), check.wordCount))
            return true;
        check.outside = OutsideFile::UncompressedFile;
        check.where = key;
        return false;
    });
    if (!filesRead || check.files == 0)
        return check;

    (void)eachRow(package, kMediaQuery, check, missing, [&](msi::Handle record) {
        std::wstring cabinet;
        if (!msi::RecordText(record, 2, kFieldCapacity, cabinet)) {
            unreadable(check, ERROR_MORE_DATA);
            return false;
        }
        // "#" and a name: a stream of the package. Anything else (an empty one included) lies beside it.
        if (!cabinet.empty() && cabinet[0] == L'#')
            return true;
        check.outside = OutsideFile::ExternalCabinet;
        check.where = std::to_wstring(msi::RecordGetInteger(record, 1)) + L" \"" + cabinet + L"\"";
        return false;
    });
    return check;
}

} // namespace nvupdater
