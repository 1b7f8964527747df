#include "reporttext.h"

#include "output.h"

#include "tiny/errortext.h"
#include "tiny/textconversion.h"

#include <cwchar>

namespace nvcheck {

namespace {

using namespace nvupdater;

const UINT kNoMoreRows = ERROR_NO_MORE_ITEMS;   // 259: the fetch that ends a complete pass

std::wstring quoted(const std::wstring &text) { return L"\"" + Visible(text) + L"\""; }

// A bound as written, and the numbers the comparison used.
std::wstring bound(const std::wstring &written, const VersionNumber &number, const wchar_t *none)
{
    if (written == L"0")
        return quoted(written) + L" (" + none + L")";
    if (written.empty())
        return quoted(written) + L" (empty)";
    return quoted(written) + L" (" + number.Text() + L")";
}

std::wstring attributes(int value)
{
    if (value == kNullInteger)
        return L"null (bit 0 clear)";
    std::wstring text = std::to_wstring(value);
    if (value & 1)
        text += L" (bit 0: upgrade only to a newer version)";
    return text;
}

std::wstring installed(const ExaminedRow &row)
{
    if (row.outcome == RowOutcome::Unreadable)
        return L"not looked up";
    if (row.lookup != 0)
        return L"none found, registry result " + ResultText(row.lookup);
    return L"product " + Visible(row.installedProductCode) + L", version " + quoted(row.installedVersion) + L" (" +
           row.installedNumber.Text() + L")";
}

// The comparison that decided a refused row, in versions as numbers.
std::wstring comparison(const ExaminedRow &row, const VersionNumber &packageVersion)
{
    const std::wstring installed = row.installedNumber.Text();
    switch (row.outcome) {
    case RowOutcome::AtOrBelowMinimum:
        return L" (" + installed + L" is not above " + row.minNumber.Text() + L")";
    case RowOutcome::AtOrAboveMaximum:
        return L" (" + installed + L" is not below " + row.maxNumber.Text() + L")";
    case RowOutcome::UpgradeNotNeeded:
        return L" (" + installed + L" is not below " + packageVersion.Text() + L")";
    default:
        return std::wstring();
    }
}

void rowLines(std::wstring &out, size_t number, const ExaminedRow &row, const VersionNumber &packageVersion)
{
    out += L"  Row " + std::to_wstring(number) + L": UpgradeCode " + quoted(row.upgradeCode) + L", VersionMin " +
           bound(row.versionMin, row.minNumber, L"no lower bound") + L", VersionMax " +
           bound(row.versionMax, row.maxNumber, L"no upper bound");
    if (row.attributesRead)
        out += L", Attributes " + attributes(row.attributes);
    out += L"\n";
    out += L"    installed: " + installed(row) + L"\n";
    out += L"    outcome:   " + std::wstring(OutcomeWords(row.outcome)) + comparison(row, packageVersion) + L"\n";
}

void passLines(std::wstring &out, const std::wstring &title, const RowPass &pass,
               const VersionNumber &packageVersion)
{
    out += title;
    out += L"\n";
    if (pass.queryResult != 0) {
        out += L"  cannot be queried: installer result " + ResultText(static_cast<long>(pass.queryResult)) + L"\n";
        return;
    }
    for (size_t i = 0; i < pass.rows.size(); ++i)
        rowLines(out, i + 1, pass.rows[i], packageVersion);
    if (pass.rows.empty())
        out += L"  (none)\n";
    if (pass.ended && pass.fetchResult != kNoMoreRows)
        out += L"  the installer gave no further row: result " + ResultText(static_cast<long>(pass.fetchResult)) +
               L"\n";
}

std::wstring property(const CheckReport &report, const std::wstring &value)
{
    if (report.checks.hold != 0)
        return L"(not read)";
    return value.empty() ? std::wstring(L"(cannot be read)") : Visible(value);
}

std::wstring publisherLine(const CheckReport &report)
{
    const SignatureChecks &c = report.checks.signature;
    std::wstring results = L" (checks: " + std::to_wstring(c.norvo) + L", " + std::to_wstring(c.varda) + L")";
    if (c.norvo == 0)
        return L"matches the accepted publisher " + quoted(kAcceptedPublisherNorvo) + results;
    if (c.varda == 0)
        return L"matches the accepted publisher " + quoted(kAcceptedPublisherVarda) + results;
    return L"matches neither accepted publisher, " + quoted(kAcceptedPublisherNorvo) + L" nor " +
           quoted(kAcceptedPublisherVarda) + results;
}

void transformLines(std::wstring &out, const CheckReport &report)
{
    if (report.transforms.empty())
        return;
    out += L"Transforms:     " + quoted(report.transforms) + L"\n";
    if (!report.checks.transformsRun) {
        out += L"  not checked: the service refuses the package before its transforms\n\n";
        return;
    }
    for (const TransformCheck &t : report.checks.transforms) {
        out += L"  " + quoted(t.item.text) + L": ";
        if (t.item.embedded) {
            out += L"inside the package, covered by its signature";
        } else if (t.hold != ERROR_SUCCESS) {
            out += L"file, cannot be held unchanged " + ResultText(static_cast<long>(t.hold)) + L": refused\n";
            continue;
        } else {
            const SignatureChecks &sign = t.signature;
            out += L"file, held; trust " + ResultText(sign.trust) + L", publisher checks " +
                   std::to_wstring(sign.norvo) + L", " + std::to_wstring(sign.varda);
            if (!sign.accepted()) {
                out += L": refused\n";
                continue;
            }
        }
        if (t.applied != 0) {
            out += L"; cannot be applied, " + ResultText(static_cast<long>(t.applied)) + L": refused\n";
            continue;
        }
        wchar_t conditions[16];
        swprintf(conditions, 16, L"0x%04X", static_cast<unsigned>(t.conditions));
        out += L"; applied (error conditions suppressed: " + std::wstring(conditions) + L")\n";
    }
    if (!report.checks.transforms.empty() && report.checks.transforms.back().accepted())
        out += L"  the checks below read the package with these transforms applied\n";
    out += L"\n";
}

// The service's words for a package whose files lie beside it, then why.
const wchar_t kFilesRefused[] = L"refused: its files are not all inside the signed package (";

void filesLines(std::wstring &out, const CheckReport &report)
{
    if (!report.checks.filesRun)
        return;
    const FilesCheck &files = report.checks.files;
    out += L"Files:          ";
    switch (files.outside) {
    case OutsideFile::None:
        out += files.files == 0 ? std::wstring(L"inside the signed package (it installs none)")
                                : L"inside the signed package: " + std::to_wstring(files.files) +
                                      L" file(s), each compressed, every cabinet stored in the package";
        break;
    case OutsideFile::ExternalCabinet:
        out += kFilesRefused + (L"Media row " + Visible(files.where) + L" names a cabinet beside it)");
        break;
    case OutsideFile::UncompressedFile:
        out += kFilesRefused + (L"File row " + quoted(files.where) + L" is stored uncompressed beside it)");
        break;
    case OutsideFile::Unreadable:
        out += kFilesRefused +
               (L"its tables cannot be read, installer result " + ResultText(static_cast<long>(files.error)) + L")");
        break;
    }
    out += L"\n\n";
}

void eligibilityLines(std::wstring &out, const CheckReport &report)
{
    if (!report.checks.signatureRun) {
        out += L"NVUpdate rows:  not examined: the service refuses a file it cannot hold unchanged\n";
        return;
    }
    if (!report.checks.eligibilityRun && report.checks.filesRun) {
        out += L"NVUpdate rows:  not examined: the service refuses a package whose files are not all inside it\n";
        return;
    }
    if (!report.checks.eligibilityRun) {
        out += report.checks.signature.accepted()
                   ? L"NVUpdate rows:  not examined: the service refuses the package for a transform\n"
                   : L"NVUpdate rows:  not examined: the service refuses the package at the signature check\n";
        return;
    }
    if (report.own.queried) {
        const PackageIdentity &package = report.identity;
        std::wstring title = L"NVUpdate rows of the package's own upgrade code " + Visible(package.upgradeCode) +
                             L", package version " + quoted(package.productVersion) + L" (" +
                             package.versionNumber.Text() + L"):";
        passLines(out, title, report.own, report.identity.versionNumber);
    }
    if (report.other.queried)
        passLines(out, L"NVUpdate rows of other upgrade codes (their Attributes play no part):", report.other,
                  report.identity.versionNumber);
    out += L"Examination ends " + std::wstring(StopWords(report.stop)) + L"\n";
}

void signatureLines(std::wstring &out, const CheckReport &report)
{
    if (report.checks.hold != 0) {
        out += L"File hold:      refused, " + ResultText(static_cast<long>(report.checks.hold)) + L"\n";
        out += L"Signature:      not checked\n";
        return;
    }
    const SignatureChecks &sign = report.checks.signature;
    out += L"File hold:      held unchanged\n";
    out += L"Trust check:    " + std::wstring(sign.trust == 0 ? L"trusted, " : L"not trusted, ") +
           ResultText(sign.trust) + L"\n";
    if (report.checks.signature.signer == 0)
        out += L"First signer:   " + quoted(report.checks.signature.signerName) + L"\n";
    else
        out += L"First signer:   none read, " + ResultText(report.checks.signature.signer) + L"\n";
    out += L"Publisher:      " + publisherLine(report) + L"\n";
    out += L"Signature:      " + std::wstring(sign.accepted() ? L"accepted" : L"refused") + L"\n";
}

} // namespace

std::wstring ResultText(long code)
{
    std::wstring text;
    if (code < 0) {
        wchar_t hex[16];
        swprintf(hex, 16, L"0x%08lX ", static_cast<unsigned long>(code));
        text = hex;
    }
    return text + Visible(norvo::tiny::fromUtf8(norvo::tiny::systemErrorText(code)));
}

std::wstring ReportAsText(const CheckReport &report)
{
    std::wstring out;
    out += L"Package:        " + Visible(report.packagePath) + L"\n";
    out += L"ProductCode:    " + property(report, report.productCode) + L"\n";
    out += L"ProductVersion: " + property(report, report.productVersion) + L"\n";
    out += L"UpgradeCode:    " + property(report, report.upgradeCode) + L"\n";
    out += L"\n";

    signatureLines(out, report);
    out += L"\n";

    transformLines(out, report);
    filesLines(out, report);
    eligibilityLines(out, report);
    out += L"\n";

    const int decision = report.checks.decision;
    out += L"Decision:       " + std::to_wstring(decision) + L" " + DecisionMeaning(decision) + L"\n";
    return out;
}

} // namespace nvcheck
