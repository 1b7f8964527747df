#include "tiny/registry.h"

#include "tiny/unique.h"

#include <string.h>

namespace norvo {
namespace tiny {

namespace {

bool writeValue(HKEY root, const char *subkey, const char *valueName, DWORD type, const BYTE *data, DWORD size)
{
    UniqueKey key;
    if (RegCreateKeyExA(root, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    // The owner closes the key whether or not the value could be set.
    return RegSetValueExA(key.get(), valueName, 0, type, data, size) == ERROR_SUCCESS;
}

} // namespace

bool writeRegistryDword(HKEY root, const char *subkey, const char *valueName, DWORD value)
{
    return writeValue(root, subkey, valueName, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value));
}

bool writeRegistryString(HKEY root, const char *subkey, const char *valueName, const char *text)
{
    if (!text)
        return false;
    const DWORD size = static_cast<DWORD>(strlen(text) + 1);
    return writeValue(root, subkey, valueName, REG_SZ, reinterpret_cast<const BYTE *>(text), size);
}

bool readRegistryValue(HKEY root, const char *subkey, const char *valueName, DWORD size, void *buffer)
{
    if (!buffer || size == 0)
        return false;
    static_cast<BYTE *>(buffer)[0] = 0;
    UniqueKey key;
    if (RegOpenKeyExA(root, subkey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    DWORD got = size;
    if (RegQueryValueExA(key.get(), valueName, nullptr, nullptr, static_cast<BYTE *>(buffer), &got) != ERROR_SUCCESS) {
        // A value too large for the buffer may have left part of itself behind: keep the promise
        // of an empty buffer on failure.
        static_cast<BYTE *>(buffer)[0] = 0;
        return false;
    }
    return true;
}

} // namespace tiny
} // namespace norvo
