// The DLL entry point. The library keeps no per-thread state that needs
// attach/detach notifications, so it switches them off and does nothing else:
// ACE is started by AgentInit, never under the loader lock.
#include "platform/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        ::DisableThreadLibraryCalls(instance);
    return TRUE;
}
