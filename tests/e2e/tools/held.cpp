// held.dll: a DLL that does nothing, for holder.exe to keep loaded.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
