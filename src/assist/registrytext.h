// Texts read from the machine's registry, with environment variables in them expanded.
#pragma once

#include <string>

namespace norvo {
namespace assist {

enum RegistryTextResult {
    kRegistryTextRead = 0,       // read, or the value is missing (the output is then untouched)
    kRegistryTextWrongType = 1,  // the value exists but is not text
    kRegistryTextNoKey = 2,      // the key cannot be opened
};

// The value `valueName` (letter case ignored) of HKEY_LOCAL_MACHINE\`keyPath`: REG_SZ as it is,
// REG_EXPAND_SZ with its variables expanded.
int readMachineRegistryText(const std::string &keyPath, const std::string &valueName, std::string &text);

// Replaces every %NAME% pair, left to right, by the variable's value in this process's
// environment (an unset variable by nothing). Substituted text is not scanned again, so a value
// naming itself cannot make the expansion loop.
std::string expandEnvironmentText(const std::string &text);

} // namespace assist
} // namespace norvo
