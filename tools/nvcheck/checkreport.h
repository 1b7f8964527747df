// Everything the service's checks found about one package, gathered by running them: the
// package's properties, each check's own result, and the NVUpdate rows as they were examined.
#pragma once

#include "inspection/msiapi.h"
#include "inspection/packagepipeline.h"

#include <string>
#include <vector>

namespace nvcheck {

// One pass over the NVUpdate table, as the examination went.
struct RowPass {
    bool queried = false;     // the pass was reached
    UINT queryResult = 0;     // 0, or the installer's error
    std::vector<nvupdater::ExaminedRow> rows;
    bool ended = false;
    UINT fetchResult = 0;     // 259 when every row was read
};

struct CheckReport {
    std::wstring packagePath;
    std::wstring transforms;   // as given, passed to the installer unchanged
    // As the session reads them, once the file is held.
    std::wstring productCode;
    std::wstring productVersion;
    std::wstring upgradeCode;

    nvupdater::PackageChecks checks;

    // The examination of the NVUpdate table, when the signature was accepted.
    bool identityRead = false;
    nvupdater::PackageIdentity identity;
    RowPass own;
    RowPass other;
    bool stopped = false;
    nvupdater::EligibilityStop stop = nvupdater::EligibilityStop::AllRowsExamined;
};

// Holds the file and runs the checks on `packagePath` exactly as the service does, with the
// caller's own identity, recording what they saw. The caller has prepared the thread as the service
// does (COM, no installer user interface).
CheckReport CheckPackageFile(const std::wstring &packagePath, const std::wstring &transforms);

} // namespace nvcheck

namespace nvcheck {

// Plain words, shared by the text and the JSON report.
const wchar_t *DecisionMeaning(int decision);
const wchar_t *OutcomeWords(nvupdater::RowOutcome outcome);
const wchar_t *StopWords(nvupdater::EligibilityStop stop);

// What an empty Attributes field reads as.
using nvupdater::msi::kNullInteger;

} // namespace nvcheck
