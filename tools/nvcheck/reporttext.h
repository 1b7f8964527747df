// The report in plain words, one fact a line, the decision as the last line.
#pragma once

#include "checkreport.h"

#include <string>

namespace nvcheck {

std::wstring ReportAsText(const CheckReport &report);

// "(code) system text", with the code also in hexadecimal when it is negative (an HRESULT).
std::wstring ResultText(long code);

} // namespace nvcheck
