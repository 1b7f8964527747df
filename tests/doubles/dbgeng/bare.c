/* A dbgeng.dll that loads but has no DebugCreate: the analysis must give up cleanly with it. */
#include <windows.h>

__declspec(dllexport) int WINAPI NorvoBareEngine(void) { return 0; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
