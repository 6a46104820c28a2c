#include "com/unknown.h"

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(module);
        moduleHandle = module;
        processAttachDetach(true);
        break;
    case DLL_PROCESS_DETACH:
        processAttachDetach(false);
        break;
    default:
        break;
    }
    return TRUE;
}
