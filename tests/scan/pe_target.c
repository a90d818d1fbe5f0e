/* A module of the game for the PE side of the scanning to read and for the
   Windows test cheats to tamper with: functions exported by name and by
   ordinal alone, a data export, a forwarder to KERNEL32, and imports from
   msvcrt.dll and KERNEL32.dll (its exports are named in pe_target.def). */
#include <string.h>
#include <windows.h>

int qx_target_add(int a, int b) { return a + b; }

size_t qx_target_measure(const char *text) { return strlen(text); }

DWORD qx_target_tick(void) { return GetTickCount(); }

int qx_target_by_ordinal(void) { return 77; }

int qx_target_data = 7;
