// The program's entry point: the one application object, built before main as the
// framework expects, and main handing the command line to the framework.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/HivemendApp.h"
#include "repair/ResolvedSummary.h"
#include "win32/kernel32/process.h"

namespace {

constexpr const char* kVersion = "0.1.0";

constexpr const char* kUsage =
    "Usage: hivemend /SrcDrives %<letters>% /DstDrives %<letters>% /SrcSig %<signature>%\n"
    "       hivemend --help | --version\n"
    "\n"
    "Repairs the registry of a restored Windows installation: mounts the SOFTWARE and\n"
    "SYSTEM hives and every user's ntuser.dat found on each destination drive, rewrites\n"
    "each value path written with 8.3 short names (C:\\PROGRA~1\\...) with the long names\n"
    "that exist on the disk now, and appends a summary of the counts to the report file.\n"
    "\n"
    "  /SrcDrives %CDE%    the source drive letters, at most 15\n"
    "  /DstDrives %FGH%    the destination drive letters, one for each source letter\n"
    "  /SrcSig %1A2B3C4D%  the source disk's signature, hexadecimal\n"
    "\n"
    "Settings come from the product's registry key (App Paths\\Tessaro, value RegPath):\n"
    "CDTransfer = YES for rescue-transfer mode, Wickmar\\DetailedLog for detailed logging,\n"
    "Settings\\Setup\\InstallGlobal = NO for per-session instance guarding, LangID for the\n"
    "language of its messages (a Windows language identifier, default the locale's).\n"
    "\n"
    "Exit status: 2 after a run; 0 after a run on a Tablet PC, when another instance\n"
    "runs or when a switch is missing; 1 when the start was handed to another program.\n"
    "\n"
    "Environment: HIVEMEND_PREFIX (the folder of the Windows environment: registry,\n"
    "drive letters, logs; default ~/.hivemend), HIVEMEND_TABLETPC=1 (behave as on a\n"
    "Tablet PC), HIVEMEND_COUNTERS=FILE (the summary's counters as one JSON object).\n";

// The arguments after the program name, from the kernel's copy of the command line.
std::vector<std::string> ProgramArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  for (size_t start = 0; start < all.size();) {
    const size_t end = all.find('\0', start);
    args.push_back(all.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (!args.empty()) args.erase(args.begin());
  return args;
}

// --help and --version are answered before the application object exists: building it
// already loads Security.dll, which sets up the Windows environment in the prefix.
bool AnswerInformationalOptions() {
  const std::vector<std::string> args = ProgramArguments();
  if (args.size() != 1) return false;
  if (args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsage, stdout);
  } else if (args[0] == "--version") {
    std::printf("hivemend %s\n", kVersion);
  } else {
    return false;
  }
  std::fflush(stdout);
  _exit(0);
}

// With HIVEMEND_COUNTERS=FILE, the summary's counters are written to FILE as one JSON
// object, in plain digits: tools around the program read them there rather than from
// the report, whose figures are grouped with commas for people.
void WriteCountersRecord(DWORD dwPathsResolved, DWORD dwPathsSkipped, DWORD dwValuesAccessed) {
  const char* file = std::getenv("HIVEMEND_COUNTERS");
  if (file == nullptr || *file == 0) return;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << "{\"values_accessed\": " << dwValuesAccessed << ", \"paths_resolved\": " << dwPathsResolved
      << ", \"paths_skipped\": " << dwPathsSkipped << "}\n";
}

[[maybe_unused]] const bool g_bAnswered = AnswerInformationalOptions();

}  // namespace

// The application object; it must be constructed after the check above (same file, so
// in order of definition).
CHivemendApp theApp;

// The text after the program name in the command line the parent gave (quotes and all),
// skipped the way the Windows C runtime computes WinMain's command line: a quoted program
// token ends at its closing quote, an unquoted one at the first blank; blanks after it
// are dropped.
static LPWSTR CommandLineAfterProgram() {
  LPWSTR p = GetCommandLineW();
  if (*p == u'"') {
    for (++p; *p != 0 && *p != u'"'; ++p) {}
    if (*p == u'"') ++p;
  } else {
    while (*p > u' ') ++p;
  }
  while (*p != 0 && *p <= u' ') ++p;
  return p;
}

int main() {
  SetSummaryCountersReceiver(&WriteCountersRecord);
  // The program's own module is the null module handle in this layer.
  return AfxWinMain(nullptr, nullptr, CommandLineAfterProgram(), SW_SHOWNORMAL);
}
