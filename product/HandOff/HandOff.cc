// TsoHandOff.exe: the product's hand-off program. A tool started by a user who is no
// administrator starts it, when the product is set up for that, with the command line
// "<install dir>TsoHandOff.exe <tool label> <the tool's own command line>" and waits for
// it. This program records the label and the whole command line in the product's log
// and ends with exit code 0.
#include <string>
#include <string_view>

#include "log/Log.h"
#include "win32/windows.h"

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// Where the program's own path ends in its command line. The path may hold blanks
// (the tools do not quote it), so it ends after the program's own file name; without
// that name it ends at the first blank, or at the closing quote of a quoted path.
size_t EndOfProgramPath(std::u16string_view commandLine) {
  if (!commandLine.empty() && commandLine[0] == u'"') {
    const size_t close = commandLine.find(u'"', 1);
    return close == std::u16string_view::npos ? commandLine.size() : close + 1;
  }
  WCHAR szModule[MAX_PATH] = {};
  const DWORD cchModule = GetModuleFileNameW(nullptr, szModule, MAX_PATH);
  std::u16string_view fileName(szModule, cchModule);
  fileName.remove_prefix(fileName.find_last_of(u'\\') + 1);
  if (!fileName.empty()) {
    for (size_t at = 0; at + fileName.size() <= commandLine.size(); ++at) {
      const size_t end = at + fileName.size();
      if ((end == commandLine.size() || IsBlank(commandLine[end])) &&
          _wcsnicmp(commandLine.data() + at, fileName.data(), fileName.size()) == 0)
        return end;
    }
  }
  size_t end = 0;
  while (end < commandLine.size() && !IsBlank(commandLine[end])) ++end;
  return end;
}

// The tool label: the word after the program path.
std::u16string ToolLabel(std::u16string_view commandLine) {
  size_t start = EndOfProgramPath(commandLine);
  while (start < commandLine.size() && IsBlank(commandLine[start])) ++start;
  size_t end = start;
  while (end < commandLine.size() && !IsBlank(commandLine[end])) ++end;
  return std::u16string(commandLine.substr(start, end - start));
}

}  // namespace

int main() {
  const LPCWSTR pszCommandLine = GetCommandLineW();
  const std::u16string context = u"TsoHandOff -> " + ToolLabel(pszCommandLine) + u" ";
  Log(context.c_str(), pszCommandLine);
  return 0;
}
