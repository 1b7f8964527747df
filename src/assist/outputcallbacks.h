// Reading the debugger engine's text output: the address ranges of the watched kernel modules,
// the bug-check arguments, the stack pointer and the stack words, and whether any of them falls
// inside a watched module (a "positive" dump).
#pragma once

#include <windows.h>
#include <dbgeng.h>

#include <stdint.h>

#include <string>
#include <vector>

namespace norvo {
namespace assist {

struct ModuleInfo {
    char name[64];    // at most 63 characters
    uint64_t begin;   // 0 until the engine has named the module's range
    uint64_t end;
};

class ModuleInfoList {
public:
    ModuleInfoList(const char *const *names, int count);
    int count() const { return static_cast<int>(modules_.size()); }
    // Throws std::invalid_argument "Invalid index in ModuleInfoList[]" outside 0..count-1.
    ModuleInfo &operator[](int index);
    const ModuleInfo &operator[](int index) const;

private:
    std::vector<ModuleInfo> modules_;
};

// How the engine prints a value: kSplit "%08x`%08x" for addresses and memory (high half, grave
// accent, low half; a 32-bit value matches the first half only), kJoined "%08x%08x" for registers.
enum HexFormat { kSplit, kJoined };

// The engine's interfaces are COM interfaces: released through Release, never deleted through
// the base, so their missing virtual destructor is no fault here.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif
class StdioOutputCallbacks : public IDebugOutputCallbacks {
public:
    // `modules` stays the caller's; null means no module is known.
    StdioOutputCallbacks(ModuleInfoList *modules, int stackWords);
    virtual ~StdioOutputCallbacks() {}

    STDMETHOD(QueryInterface)(REFIID interfaceId, PVOID *object) override;
    // The analyser owns this object: no reference counting.
    STDMETHOD_(ULONG, AddRef)() override { return 1; }
    STDMETHOD_(ULONG, Release)() override { return 0; }
    // One piece of engine output; always S_OK.
    STDMETHOD(Output)(ULONG mask, PCSTR text) override;

    // Back to the state before a dump is opened (module ranges forgotten too).
    void reset();
    // Reads one or two 32-bit words with `format`; two make a 64-bit value and mark the dump as
    // 64-bit. Logged with `label` when it is not null. Null text gives 0.
    uint64_t parseHexValue(const char *text, const char *label, HexFormat format);

    bool positive() const { return positive_; }
    bool kernelDump() const { return kernelDump_; }
    bool is64Bit() const { return is64Bit_; }
    uint64_t stackAddress() const { return stackAddress_; }
    int stackWords() const { return stackWords_; }

    enum LoadState { kWaitingForLoad = 0, kNextDecides = 0xFFFF, kDecided = -1 };

private:
    ModuleInfoList &modules();
    void detectDumpKind(const char *text);
    void readModuleRange(const char *text);
    void checkBugCheckArguments(const char *text);
    void readStackAddress(const char *text);
    void checkStackWords(const char *text);
    void markPositive(const char *moduleName);

    bool positive_ = false;
    bool kernelDump_ = false;
    ModuleInfoList *modules_;
    uint64_t stackAddress_ = 0;
    int stackWords_;
    int loadState_ = kWaitingForLoad;
    bool is64Bit_ = false;
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

} // namespace assist
} // namespace norvo
