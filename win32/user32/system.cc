#include "win32/user32/system.h"

#include <cstdlib>
#include <cstring>

int WINAPI GetSystemMetrics(int nIndex) {
  if (nIndex == SM_TABLETPC) {
    const char* tablet = std::getenv("HIVEMEND_TABLETPC");
    return tablet && std::strcmp(tablet, "1") == 0 ? 1 : 0;
  }
  return 0;
}
