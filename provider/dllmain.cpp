// Loading and unloading the library does nothing of the provider's own: all
// setup happens when the host calls RIB_Main.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
