#include "assist/registrytext.h"

#include "tiny/unique.h"

#include <windows.h>

namespace norvo {
namespace assist {

namespace {

const DWORD kNameSize = 256;
const DWORD kDataSize = 4096;
// The longest value an environment variable can have.
const DWORD kVariableSize = 32767;

std::string variable(const std::string &name)
{
    if (name.empty())
        return std::string();
    std::string value(kVariableSize + 1, '\0');
    DWORD length = GetEnvironmentVariableA(name.c_str(), &value[0], kVariableSize + 1);
    if (length == 0 || length > kVariableSize)
        return std::string();
    value.resize(length);
    return value;
}

} // namespace

std::string expandEnvironmentText(const std::string &text)
{
    std::string expanded;
    size_t at = 0;
    while (at < text.size()) {
        size_t open = text.find('%', at);
        size_t close = open == std::string::npos ? std::string::npos : text.find('%', open + 1);
        if (close == std::string::npos) {
            expanded.append(text, at, std::string::npos);
            break;
        }
        expanded.append(text, at, open - at);
        expanded += variable(text.substr(open + 1, close - open - 1));
        at = close + 1;
    }
    return expanded;
}

int readMachineRegistryText(const std::string &keyPath, const std::string &valueName, std::string &text)
{
    tiny::UniqueKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return kRegistryTextNoKey;
    int result = kRegistryTextRead;
    for (DWORD index = 0;; ++index) {
        char name[kNameSize] = {};
        BYTE data[kDataSize + 1] = {};
        DWORD nameLength = kNameSize, dataLength = kDataSize, type = 0;
        if (RegEnumValueA(key.get(), index, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS)
            break;
        if (lstrcmpiA(name, valueName.c_str()) != 0)
            continue;
        data[dataLength < kDataSize ? dataLength : kDataSize] = 0;  // a value stored without its NUL
        const char *value = reinterpret_cast<const char *>(data);
        if (type == REG_SZ) {
            text = value;
            break;
        }
        if (type == REG_EXPAND_SZ) {
            text = expandEnvironmentText(value);
            break;
        }
        result = kRegistryTextWrongType;
    }
    return result;
}

} // namespace assist
} // namespace norvo
