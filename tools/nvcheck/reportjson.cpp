#include "reportjson.h"

#include "reporttext.h"

#include <cwchar>
#include <vector>

namespace nvcheck {

namespace {

using namespace nvupdater;

// Members and elements written in order; commas and nesting kept right by one stack.
class JsonWriter {
public:
    void open(const wchar_t *name, wchar_t bracket)
    {
        member(name);
        out_ += bracket;
        first_.push_back(true);
    }
    void close(wchar_t bracket)
    {
        out_ += bracket;
        first_.pop_back();
    }
    void text(const wchar_t *name, const std::wstring &value)
    {
        member(name);
        out_ += JsonString(value);
    }
    void number(const wchar_t *name, long long value)
    {
        member(name);
        out_ += std::to_wstring(value);
    }
    void boolean(const wchar_t *name, bool value)
    {
        member(name);
        out_ += value ? L"true" : L"false";
    }
    void null(const wchar_t *name)
    {
        member(name);
        out_ += L"null";
    }
    const std::wstring &result() const { return out_; }

private:
    // `name` is null for an array element or the outermost value.
    void member(const wchar_t *name)
    {
        if (!first_.empty()) {
            if (!first_.back())
                out_ += L',';
            first_.back() = false;
        }
        if (name) {
            out_ += JsonString(name);
            out_ += L':';
        }
    }
    std::wstring out_;
    std::vector<bool> first_;
};

const wchar_t *outcomeId(RowOutcome outcome)
{
    switch (outcome) {
    case RowOutcome::Unreadable: return L"unreadable";
    case RowOutcome::NotInstalled: return L"not-installed";
    case RowOutcome::AtOrBelowMinimum: return L"at-or-below-minimum";
    case RowOutcome::AtOrAboveMaximum: return L"at-or-above-maximum";
    case RowOutcome::UpgradeNotNeeded: return L"upgrade-not-needed";
    case RowOutcome::Eligible: return L"eligible";
    }
    return L"";
}

const wchar_t *stopId(EligibilityStop stop)
{
    switch (stop) {
    case EligibilityStop::MissingProperty: return L"missing-property";
    case EligibilityStop::OwnQueryFailed: return L"own-query-failed";
    case EligibilityStop::OwnRowEligible: return L"own-row-eligible";
    case EligibilityStop::OwnRowNotNeeded: return L"own-row-not-needed";
    case EligibilityStop::OtherQueryFailed: return L"other-query-failed";
    case EligibilityStop::AllRowsExamined: return L"all-rows-examined";
    }
    return L"";
}

const wchar_t *outsideId(OutsideFile outside)
{
    switch (outside) {
    case OutsideFile::None: return L"none";
    case OutsideFile::ExternalCabinet: return L"external-cabinet";
    case OutsideFile::UncompressedFile: return L"uncompressed-file";
    case OutsideFile::Unreadable: return L"unreadable";
    }
    return L"";
}

void result(JsonWriter &json, const wchar_t *name, long code)
{
    json.open(name, L'{');
    json.number(L"result", code);
    json.text(L"text", ResultText(code));
    json.close(L'}');
}

void row(JsonWriter &json, const ExaminedRow &r)
{
    json.open(nullptr, L'{');
    json.text(L"upgradeCode", r.upgradeCode);
    json.text(L"versionMin", r.versionMin);
    json.text(L"minNumbers", r.minNumber.Text());
    json.text(L"versionMax", r.versionMax);
    json.text(L"maxNumbers", r.maxNumber.Text());
    if (r.attributesRead) {
        if (r.attributes == kNullInteger)
            json.null(L"attributes");
        else
            json.number(L"attributes", r.attributes);
    }
    if (r.outcome != RowOutcome::Unreadable) {
        result(json, L"lookup", r.lookup);
        if (r.lookup == 0) {
            json.open(L"installed", L'{');
            json.text(L"productCode", r.installedProductCode);
            json.text(L"version", r.installedVersion);
            json.text(L"versionNumbers", r.installedNumber.Text());
            json.close(L'}');
        }
    }
    json.text(L"outcome", outcomeId(r.outcome));
    json.text(L"outcomeText", OutcomeWords(r.outcome));
    json.close(L'}');
}

void pass(JsonWriter &json, const wchar_t *name, const RowPass &p)
{
    if (!p.queried) {
        json.null(name);
        return;
    }
    json.open(name, L'{');
    result(json, L"query", static_cast<long>(p.queryResult));
    json.open(L"rows", L'[');
    for (const ExaminedRow &r : p.rows)
        row(json, r);
    json.close(L']');
    if (p.ended)
        json.number(L"fetchEnd", p.fetchResult);
    json.close(L'}');
}

void publisher(JsonWriter &json, const wchar_t *name, LONG check)
{
    json.open(nullptr, L'{');
    json.text(L"name", name);
    json.number(L"result", check);
    json.boolean(L"matches", check == 0);
    json.close(L'}');
}

void signature(JsonWriter &json, const CheckReport &report)
{
    const SignatureChecks &sign = report.checks.signature;
    json.open(L"trust", L'{');
    json.number(L"result", sign.trust);
    json.text(L"text", ResultText(sign.trust));
    json.boolean(L"trusted", sign.trust == 0);
    json.close(L'}');
    json.open(L"signer", L'{');
    json.number(L"result", report.checks.signature.signer);
    if (report.checks.signature.signer == 0)
        json.text(L"name", report.checks.signature.signerName);
    else
        json.text(L"text", ResultText(report.checks.signature.signer));
    json.close(L'}');
    json.open(L"publishers", L'[');
    publisher(json, kAcceptedPublisherNorvo, sign.norvo);
    publisher(json, kAcceptedPublisherVarda, sign.varda);
    json.close(L']');
    json.boolean(L"signatureAccepted", sign.accepted());
}

} // namespace

std::wstring JsonString(const std::wstring &text)
{
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += L'\\';
            out += c;
        } else if (c >= 0x20 && c < 0x7F) {
            out += c;
        } else {
            wchar_t escaped[8];
            swprintf(escaped, 8, L"\\u%04X", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out + L"\"";
}

std::wstring ReportAsJson(const CheckReport &report, int exitCode)
{
    const PackageChecks &c = report.checks;
    JsonWriter json;
    json.open(nullptr, L'{');
    json.text(L"package", report.packagePath);
    json.text(L"productCode", report.productCode);
    json.text(L"productVersion", report.productVersion);
    json.text(L"upgradeCode", report.upgradeCode);
    result(json, L"hold", static_cast<long>(c.hold));

    if (!c.signatureRun) {
        json.null(L"trust");
        json.null(L"signer");
        json.null(L"publishers");
        json.boolean(L"signatureAccepted", false);
    } else {
        signature(json, report);
    }

    json.text(L"transformsText", report.transforms);
    if (!c.transformsRun) {
        json.null(L"transforms");
    } else {
        json.open(L"transforms", L'[');
        for (const TransformCheck &t : c.transforms) {
            json.open(nullptr, L'{');
            json.text(L"item", t.item.text);
            json.boolean(L"embedded", t.item.embedded);
            if (!t.item.embedded) {
                json.text(L"file", t.item.file);
                result(json, L"hold", static_cast<long>(t.hold));
                if (t.signatureRun) {
                    json.number(L"trust", t.signature.trust);
                    json.number(L"norvo", t.signature.norvo);
                    json.number(L"varda", t.signature.varda);
                }
            }
            if (t.applyRun) {
                result(json, L"applied", static_cast<long>(t.applied));
                json.number(L"conditions", t.conditions);
            } else {
                json.null(L"applied");
            }
            json.boolean(L"accepted", t.accepted());
            json.close(L'}');
        }
        json.close(L']');
    }

    if (!c.filesRun) {
        json.null(L"files");
    } else {
        json.open(L"files", L'{');
        json.boolean(L"inside", c.files.inside());
        json.number(L"count", static_cast<long>(c.files.files));
        json.number(L"wordCount", c.files.wordCount);
        json.text(L"outside", outsideId(c.files.outside));
        json.text(L"where", c.files.where);
        if (c.files.outside == OutsideFile::Unreadable)
            result(json, L"error", static_cast<long>(c.files.error));
        json.close(L'}');
    }

    if (!c.eligibilityRun) {
        json.null(L"eligibility");
    } else {
        json.open(L"eligibility", L'{');
        json.text(L"packageVersion", report.identity.productVersion);
        json.text(L"packageVersionNumbers", report.identity.versionNumber.Text());
        pass(json, L"ownRows", report.own);
        pass(json, L"otherRows", report.other);
        json.text(L"stop", stopId(report.stop));
        json.text(L"stopText", StopWords(report.stop));
        json.number(L"upgradable", c.eligibility.upgradable);
        json.boolean(L"upgradeNotNeeded", c.eligibility.upgradeNotNeeded != 0);
        json.close(L'}');
    }

    json.number(L"decision", c.decision);
    json.text(L"decisionText", DecisionMeaning(c.decision));
    json.number(L"exitCode", exitCode);
    json.close(L'}');
    return json.result() + L"\n";
}

} // namespace nvcheck
