#include "reporttext.h"

#include "output.h"

#include "tiny/errortext.h"

#include <cwchar>

namespace nvcheck {

namespace {

using namespace nvupdater;

const UINT kNoMoreRows = ERROR_NO_MORE_ITEMS;   // 259: the fetch that ends a complete pass

std::wstring widen(const std::string &utf8)
{
    if (utf8.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring text(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], size);
    return text;
}

std::wstring quoted(const std::wstring &text) { return L"\"" + Visible(text) + L"\""; }

// A bound as written, and what the comparison used.
std::wstring bound(const std::wstring &written, const std::wstring &normalized, const wchar_t *none)
{
    if (normalized == L"0")
        return quoted(written) + L" (" + none + L")";
    if (normalized.empty())
        return quoted(written) + L" (empty)";
    return quoted(written) + L" (" + Visible(normalized) + L")";
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
           Visible(row.normalizedInstalled) + L")";
}

// The comparison that decided a refused row, in normalised versions.
std::wstring comparison(const ExaminedRow &row, const std::wstring &packageVersion)
{
    const std::wstring installed = Visible(row.normalizedInstalled);
    switch (row.outcome) {
    case RowOutcome::AtOrBelowMinimum:
        return L" (" + installed + L" is not above " + Visible(row.normalizedMin) + L")";
    case RowOutcome::AtOrAboveMaximum:
        return L" (" + installed + L" is not below " + Visible(row.normalizedMax) + L")";
    case RowOutcome::UpgradeNotNeeded:
        return L" (" + installed + L" is not below " + Visible(packageVersion) + L")";
    default:
        return std::wstring();
    }
}

void rowLines(std::wstring &out, size_t number, const ExaminedRow &row, const std::wstring &packageVersion)
{
    out += L"  Row " + std::to_wstring(number) + L": UpgradeCode " + quoted(row.upgradeCode) + L", VersionMin " +
           bound(row.versionMin, row.normalizedMin, L"no lower bound") + L", VersionMax " +
           bound(row.versionMax, row.normalizedMax, L"no upper bound");
    if (row.attributesRead)
        out += L", Attributes " + attributes(row.attributes);
    out += L"\n";
    out += L"    installed: " + installed(row) + L"\n";
    out += L"    outcome:   " + std::wstring(OutcomeWords(row.outcome)) + comparison(row, packageVersion) + L"\n";
}

void passLines(std::wstring &out, const std::wstring &title, const RowPass &pass, const std::wstring &packageVersion)
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
            out += L"inside the package, covered by its signature\n";
            continue;
        }
        if (t.hold != ERROR_SUCCESS) {
            out += L"file, cannot be held unchanged " + ResultText(static_cast<long>(t.hold)) + L": refused\n";
            continue;
        }
        const SignatureChecks &sign = t.signature;
        out += L"file, held; trust " + ResultText(sign.trust) + L", publisher checks " + std::to_wstring(sign.norvo) +
               L", " + std::to_wstring(sign.varda) + (sign.accepted() ? L": accepted\n" : L": refused\n");
    }
    out += L"\n";
}

void eligibilityLines(std::wstring &out, const CheckReport &report)
{
    if (!report.checks.signatureRun) {
        out += L"NVUpdate rows:  not examined: the service refuses a file it cannot hold unchanged\n";
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
                             Visible(package.normalizedVersion) + L"):";
        passLines(out, title, report.own, report.identity.normalizedVersion);
    }
    if (report.other.queried)
        passLines(out, L"NVUpdate rows of other upgrade codes (their Attributes play no part):", report.other,
                  report.identity.normalizedVersion);
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
    if (report.signerResult == 0)
        out += L"First signer:   " + quoted(report.signerName) + L"\n";
    else
        out += L"First signer:   none read, " + ResultText(report.signerResult) + L"\n";
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
    return text + Visible(widen(norvo::tiny::systemErrorText(code)));
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
    eligibilityLines(out, report);
    out += L"\n";

    const int decision = report.checks.decision;
    out += L"Decision:       " + std::to_wstring(decision) + L" " + DecisionMeaning(decision) + L"\n";
    return out;
}

} // namespace nvcheck
