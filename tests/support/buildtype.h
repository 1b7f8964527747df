// The machine type of the build under test, and what follows from it in the suite's Wine prefix:
// the one place in the tests for these facts (the scripts have theirs in tools/lib/nvarch.sh).
//   x86  the product: a 32-bit program on 64-bit Windows (WoW64). Its system folder is SysWOW64,
//        the installer's Program Files is the 32-bit one, and it reads HKLM\SOFTWARE through the
//        32-bit view (WOW6432Node).
//   x64  the same program for 64-bit Windows: system32, the 64-bit Program Files, the 64-bit view.
#pragma once

#include <windows.h>

#include <shlobj.h>

namespace nvtest {

constexpr bool kX64Build = sizeof(void *) == 8;

// The registry view that programs of this build (the service, the msi.dll test double) read their
// settings from: their own.
constexpr REGSAM kBuildView = kX64Build ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;

// The Program Files folder that the service's package of this type installs into.
constexpr int kPackageProgramFiles = kX64Build ? CSIDL_PROGRAM_FILES : CSIDL_PROGRAM_FILESX86;

} // namespace nvtest
