// The calling thread's single-threaded COM apartment for one scope, which the installer's calls need.
#pragma once

#include <objbase.h>

namespace norvo {
namespace tiny {

// Entered at construction and left at the end of the scope when entering succeeded: every entry
// that succeeded (S_FALSE too, the thread was in it already) needs a leave of its own, or the
// thread's apartment outlives what used it.
class ComApartment {
public:
    ComApartment() : entered_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(entered_))
            CoUninitialize();
    }
    ComApartment(const ComApartment &) = delete;
    ComApartment &operator=(const ComApartment &) = delete;

private:
    HRESULT entered_;
};

} // namespace tiny
} // namespace norvo
