// The report as one JSON object, for tools. Pure ASCII: every character outside printable ASCII
// is written as a \u escape of its UTF-16 code unit, so no input can break the object.
#pragma once

#include "checkreport.h"

#include <string>

namespace nvcheck {

std::wstring ReportAsJson(const CheckReport &report, int exitCode);

// `text` as a JSON string, quotes included.
std::wstring JsonString(const std::wstring &text);

} // namespace nvcheck
