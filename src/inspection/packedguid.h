// The installer's packed form of a GUID, as its registry keys are named.
#pragma once

#include <string>

namespace nvupdater {

// The packed text of a GUID, braced or not; a shorter text is packed as far as it goes.
std::wstring PackGuid(const std::wstring &guid);
// The braced GUID text of a packed one (32 characters); any other text is returned unchanged.
std::wstring UnpackGuid(const std::wstring &packed);

} // namespace nvupdater
