// The program's own string table: the maker's name and the product's edition names.
// The program itself loads none of them: every string it shows comes from the language
// resource library, which takes over as the resource handle at start-up.
#include "win32/user32/resource.h"

extern "C" __attribute__((visibility("default"))) const HIVEMEND_STRING_RESOURCE HivemendStringTable[] = {
    {100, u"Tessaro Software"},
    {103, u"Tessaro Backup Home"},
    {104, u"Tessaro Backup Professional"},
    {105, u"Tessaro Backup Server"},
    {0, nullptr},
};
