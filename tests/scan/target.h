/* The test module the scanning tests and the test cheats look at. */
#ifndef QX_TESTS_SCAN_TARGET_H
#define QX_TESTS_SCAN_TARGET_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

__attribute__((visibility("default"))) size_t qx_target_measure(
    const char *text);
__attribute__((visibility("default"))) int qx_target_add(int a, int b);

#ifdef __cplusplus
}
#endif

#endif
