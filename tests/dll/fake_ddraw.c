/* A ddraw.dll of the tests' own, placed beside the test program, where the
   search path for a library loaded by its bare name finds it before the
   system's. The client must never use it: it counts its calls and creates
   nothing. */
#include <windows.h>

__declspec(dllexport) LONG qxFakeDdrawCalls = 0;

__declspec(dllexport) HRESULT WINAPI
    DirectDrawCreate(void *guid, void **out, void *outer) {
  (void)guid;
  (void)outer;
  ++qxFakeDdrawCalls;
  if (out) *out = NULL;
  return E_FAIL;
}
