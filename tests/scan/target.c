/* A module of the game that the scanning tests and the test cheats look at
   and tamper with: two exported functions, one of them calling into the C
   library through a lazily bound PLT slot. */
#include <string.h>

#include "target.h"

size_t qx_target_measure(const char *text) { return strlen(text); }

int qx_target_add(int a, int b) { return a + b; }
