// The library the module-loading tests load: exports by name and by ordinal.
#include "win32/kernel32/module.h"

extern "C" {

__attribute__((visibility("default"))) int TestModuleAdd(int a, int b) { return a + b; }
__attribute__((visibility("default"))) int TestModuleAnswer() { return 42; }

// Ordinal 7 is TestModuleAnswer; ordinal 9 names a symbol the library does not have.
__attribute__((visibility("default"))) extern const HIVEMEND_ORDINAL_EXPORT HivemendOrdinalExports[] = {
    {7, "TestModuleAnswer"}, {9, "NoSuchFunction"}, {0, nullptr}};
}
