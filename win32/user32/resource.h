// String resources (winuser.h LoadStringW).
//
// ELF has no resource section. A module publishes its string table the way it would
// carry an .rc file's STRINGTABLE: as an exported array named HivemendStringTable of
// id and text pairs, ended by {0, nullptr}:
//
//   extern "C" __attribute__((visibility("default")))
//   const HIVEMEND_STRING_RESOURCE HivemendStringTable[] = {
//       {1005, u"Caption"}, {9002, u"Message"}, {0, nullptr}};
//
// A library exports it as any other symbol, and is linked with -Bsymbolic so that its
// own references to the table never bind to the program's table of the same name. A
// program must put it into its dynamic symbol table (CMake ENABLE_EXPORTS, the
// linker's -rdynamic) for the null instance to find it. Only the module's own table
// counts, never one of a library it links.
#pragma once

#include "win32/types.h"

struct HIVEMEND_STRING_RESOURCE {
  UINT id;
  const WCHAR* text;
};
#define HIVEMEND_STRING_TABLE_NAME "HivemendStringTable"

#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L

// Copies string uID of the module (NULL: the program itself) into lpBuffer and returns
// its length without terminator. A text longer than cchBufferMax - 1 is cut to that
// length and terminated. cchBufferMax 0 stores a read-only pointer to the text itself
// (not terminated on Windows; terminated here) into the LPWSTR that lpBuffer then
// points to. Only the low 16 bits of uID count.
// Missing: 0 with ERROR_RESOURCE_NAME_NOT_FOUND. As Windows keeps strings in blocks of
// 16 ids, an id whose block holds other strings is an empty string: 0 and the last error
// untouched. A module without a string table: ERROR_RESOURCE_TYPE_NOT_FOUND; a value
// that is no module: ERROR_RESOURCE_DATA_NOT_FOUND. A null lpBuffer gives 0.
int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
