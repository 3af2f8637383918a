#include "tests/settings/stand_in/HtmlHelpStandIn.h"

namespace {

HtmlHelpStandInCalls g_calls;

}  // namespace

extern "C" __attribute__((visibility("default"))) HWND HtmlHelpW(HWND hwndCaller, LPCWSTR pszFile, UINT uCommand,
                                                                 DWORD_PTR dwData) {
  ++g_calls.nCalls;
  g_calls.hwndCaller = hwndCaller;
  const char16_t* file = pszFile != nullptr ? pszFile : u"(null)";
  size_t n = 0;
  for (; file[n] != 0 && n < 259; ++n) g_calls.szFile[n] = file[n];
  g_calls.szFile[n] = 0;
  g_calls.uCommand = uCommand;
  g_calls.dwData = dwData;
  if (uCommand == 0x1C /* HH_INITIALIZE */ && dwData != 0) *reinterpret_cast<DWORD*>(dwData) = kStandInCookie;
  return kStandInResult;
}

extern "C" __attribute__((visibility("default"))) const HtmlHelpStandInCalls* HtmlHelpStandInRecord() {
  return &g_calls;
}

extern "C" __attribute__((visibility("default")))
const HIVEMEND_ORDINAL_EXPORT HivemendOrdinalExports[] = {{15, "HtmlHelpW"}, {0, nullptr}};
