// The host side sits below every Windows library of the layer, so its library does not
// see their headers: built as a part of the host side, this include must fail.
#include "win32/kernel32/file.h"
