#include "win32/kernel32/environment.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "win32/host/error.h"

extern char** environ;

namespace {

std::optional<std::string> variable(const std::string& name) {
  if (const char* v = std::getenv(name.c_str())) return std::string(v);
  // Windows variable names ignore case.
  for (char** e = environ; e && *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq && size_t(eq - *e) == name.size() && strncasecmp(*e, name.c_str(), name.size()) == 0)
      return std::string(eq + 1);
  }
  return std::nullopt;
}

}  // namespace

DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize) {
  if (!lpSrc) return hivemend::win32::fail(ERROR_INVALID_PARAMETER, DWORD(0));
  std::string out;
  const std::string src = lpSrc;
  size_t i = 0;
  while (i < src.size()) {
    if (src[i] != '%') {
      out.push_back(src[i++]);
      continue;
    }
    const size_t close = src.find('%', i + 1);
    if (close == std::string::npos) {
      out.append(src, i, std::string::npos);
      break;
    }
    const std::string name = src.substr(i + 1, close - i - 1);
    const auto value = name.empty() ? std::nullopt : variable(name);
    if (value)
      out += *value;
    else
      out.append(src, i, close - i + 1);
    i = close + 1;
  }
  const DWORD needed = DWORD(out.size() + 1);
  if (lpDst && needed <= nSize) std::memcpy(lpDst, out.c_str(), needed);
  return needed;
}
