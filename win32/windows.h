// What a Windows program includes: the layer's Windows interfaces, by family.
#pragma once

#include "win32/types.h"
#include "win32/error.h"
#include "win32/wstring.h"
#include "win32/handle.h"
#include "win32/file.h"
#include "win32/module.h"
#include "win32/environment.h"
#include "win32/registry.h"
#include "win32/security.h"
#include "win32/sync.h"
#include "win32/process.h"
#include "win32/resource.h"
#include "win32/user.h"
#include "win32/system.h"
#include "win32/sysinfo.h"
#include "win32/heap.h"
