#include "win32/user32/sysinfo.h"

#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "win32/advapi32/registry.h"
#include "win32/host/error.h"

using hivemend::win32::fail;

namespace {

constexpr LPCWSTR kNtVersionKey = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr LPCWSTR k9xVersionKey = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// A string value of the machine registry, or nothing when the key or value is missing.
std::optional<std::u16string> machine_string(LPCWSTR subkey, LPCWSTR name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
  DWORD type = 0, size = 0;
  std::optional<std::u16string> text;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    std::u16string data(size / sizeof(WCHAR) + 1, u'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &size) == ERROR_SUCCESS)
      text = data.substr(0, data.find(u'\0'));
  }
  RegCloseKey(key);
  return text;
}

// The numbers of a dotted text ("4.10.2222"); a missing or malformed part is 0.
void parse_dotted(std::u16string_view text, DWORD* parts[], size_t count) {
  for (size_t i = 0; i < count; ++i) {
    DWORD value = 0;
    size_t pos = 0;
    while (pos < text.size() && text[pos] >= u'0' && text[pos] <= u'9') value = value * 10 + DWORD(text[pos++] - u'0');
    *parts[i] = value;
    text.remove_prefix(std::min(text.size(), pos + 1));
  }
}

void copy_csd(std::u16string_view text, WCHAR (&out)[128]) {
  const size_t n = std::min<size_t>(text.size(), 127);
  std::memset(out, 0, sizeof out);
  std::memcpy(out, text.data(), n * sizeof(WCHAR));
}

}  // namespace

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
  if (!info) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  if (auto version = machine_string(kNtVersionKey, u"CurrentVersion")) {
    DWORD* parts[] = {&info->dwMajorVersion, &info->dwMinorVersion};
    parse_dotted(*version, parts, 2);
    DWORD* build[] = {&info->dwBuildNumber};
    parse_dotted(machine_string(kNtVersionKey, u"CurrentBuildNumber").value_or(u""), build, 1);
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    copy_csd(machine_string(kNtVersionKey, u"CSDVersion").value_or(u""), info->szCSDVersion);
  } else if (auto number = machine_string(k9xVersionKey, u"VersionNumber")) {
    DWORD build = 0;
    DWORD* parts[] = {&info->dwMajorVersion, &info->dwMinorVersion, &build};
    parse_dotted(*number, parts, 3);
    info->dwBuildNumber = (info->dwMajorVersion & 0xFF) << 24 | (info->dwMinorVersion & 0xFF) << 16 | (build & 0xFFFF);
    info->dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
    copy_csd(machine_string(k9xVersionKey, u"SubVersionNumber").value_or(u""), info->szCSDVersion);
  } else {
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 7601;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    copy_csd(u"Service Pack 1", info->szCSDVersion);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

namespace {

// Family, model and stepping of an x86 processor from /proc/cpuinfo (first processor).
void x86_level_and_revision(WORD& level, WORD& revision) {
  std::ifstream in("/proc/cpuinfo");
  unsigned family = 0, model = 0, stepping = 0, found = 0;
  for (std::string line; found < 3 && std::getline(in, line);) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    key.erase(key.find_last_not_of(" \t") + 1);
    const unsigned value = unsigned(std::strtoul(line.c_str() + colon + 1, nullptr, 10));
    if (key == "cpu family")
      family = value, ++found;
    else if (key == "model")
      model = value, ++found;
    else if (key == "stepping")
      stepping = value, ++found;
  }
  level = WORD(family);
  revision = WORD((model & 0xFF) << 8 | (stepping & 0xFF));
}

// The highest user-mode address of 64-bit Windows, and its user address space's size.
constexpr ULONG_PTR kMaxApplicationAddress = 0x7FFFFFFEFFFFull;
constexpr ULONGLONG kTotalVirtual = 0x7FFFFFFE0000ull;

}  // namespace

void WINAPI GetSystemInfo(LPSYSTEM_INFO info) {
  if (!info) return;
  std::memset(info, 0, sizeof *info);
#if defined(__x86_64__)
  info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
  info->dwProcessorType = PROCESSOR_AMD_X86_64;
  x86_level_and_revision(info->wProcessorLevel, info->wProcessorRevision);
#elif defined(__i386__)
  info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
  info->dwProcessorType = PROCESSOR_INTEL_PENTIUM;
  x86_level_and_revision(info->wProcessorLevel, info->wProcessorRevision);
#elif defined(__aarch64__)
  info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_ARM64;
#else
  info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_UNKNOWN;
#endif
  info->dwPageSize = DWORD(sysconf(_SC_PAGESIZE));
  info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(ULONG_PTR(0x10000));
  info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(kMaxApplicationAddress);
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  info->dwNumberOfProcessors = DWORD(std::clamp(online, 1L, 64L));
  info->dwActiveProcessorMask =
      info->dwNumberOfProcessors == 64 ? ~DWORD_PTR(0) : (DWORD_PTR(1) << info->dwNumberOfProcessors) - 1;
  info->dwAllocationGranularity = 0x10000;
}

namespace {

// "MemAvailable" of /proc/meminfo in bytes, when the kernel reports it.
std::optional<ULONGLONG> mem_available() {
  std::ifstream in("/proc/meminfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("MemAvailable:", 0) == 0) return ULONGLONG(std::strtoull(line.c_str() + 13, nullptr, 10)) * 1024;
  return std::nullopt;
}

// The process's mapped address space in bytes (first field of /proc/self/statm).
ULONGLONG mapped_bytes() {
  std::ifstream in("/proc/self/statm");
  ULONGLONG pages = 0;
  in >> pages;
  return pages * ULONGLONG(sysconf(_SC_PAGESIZE));
}

}  // namespace

BOOL WINAPI GlobalMemoryStatusEx(LPMEMORYSTATUSEX status) {
  if (!status || status->dwLength != sizeof(MEMORYSTATUSEX)) return fail(ERROR_INVALID_PARAMETER, FALSE);
  struct sysinfo si {};
  if (sysinfo(&si) != 0) return fail(hivemend::win32::error_from_errno(errno), FALSE);
  const ULONGLONG unit = si.mem_unit ? si.mem_unit : 1;
  status->ullTotalPhys = ULONGLONG(si.totalram) * unit;
  status->ullAvailPhys =
      std::min(status->ullTotalPhys, mem_available().value_or((ULONGLONG(si.freeram) + si.bufferram) * unit));
  status->ullTotalPageFile = status->ullTotalPhys + ULONGLONG(si.totalswap) * unit;
  status->ullAvailPageFile = status->ullAvailPhys + ULONGLONG(si.freeswap) * unit;
  status->ullTotalVirtual = kTotalVirtual;
  status->ullAvailVirtual = kTotalVirtual - std::min(kTotalVirtual, mapped_bytes());
  status->ullAvailExtendedVirtual = 0;
  status->dwMemoryLoad =
      status->ullTotalPhys ? DWORD((status->ullTotalPhys - status->ullAvailPhys) * 100 / status->ullTotalPhys) : 0;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

namespace {

struct LocaleRow {
  std::string_view language;   // ISO 639 code, lower case
  std::string_view territory;  // ISO 3166 code, upper case; "" for the language's main territory
  LANGID id;
};

// Windows identifiers of the locales a machine is commonly set to. A language's row
// with an empty territory answers for its other territories and for none.
constexpr LocaleRow kLocales[] = {
    {"ar", "", 0x0401},   {"cs", "", 0x0405},   {"da", "", 0x0406},   {"de", "", 0x0407},   {"de", "AT", 0x0C07},
    {"de", "CH", 0x0807}, {"de", "LI", 0x1407}, {"de", "LU", 0x1007}, {"el", "", 0x0408},   {"en", "", 0x0409},
    {"en", "AU", 0x0C09}, {"en", "CA", 0x1009}, {"en", "GB", 0x0809}, {"en", "IE", 0x1809}, {"en", "NZ", 0x1409},
    {"es", "", 0x0C0A},   {"es", "MX", 0x080A}, {"fi", "", 0x040B},   {"fr", "", 0x040C},   {"fr", "BE", 0x080C},
    {"fr", "CA", 0x0C0C}, {"fr", "CH", 0x100C}, {"fr", "LU", 0x140C}, {"he", "", 0x040D},   {"hu", "", 0x040E},
    {"it", "", 0x0410},   {"it", "CH", 0x0810}, {"ja", "", 0x0411},   {"ko", "", 0x0412},   {"nb", "", 0x0414},
    {"nl", "", 0x0413},   {"nl", "BE", 0x0813}, {"nn", "", 0x0814},   {"no", "", 0x0414},   {"pl", "", 0x0415},
    {"pt", "", 0x0416},   {"pt", "PT", 0x0816}, {"ru", "", 0x0419},   {"sv", "", 0x041D},   {"sv", "FI", 0x081D},
    {"tr", "", 0x041F},   {"uk", "", 0x0422},   {"zh", "", 0x0804},   {"zh", "HK", 0x0C04}, {"zh", "TW", 0x0404},
};

constexpr LANGID kEnglishUS = 0x0409;

}  // namespace

LANGID WINAPI GetSystemDefaultLangID() {
  const char* locale = nullptr;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) {
      locale = value;
      break;
    }
  }
  if (!locale) return kEnglishUS;
  // language[_territory][.codeset][@modifier]
  const std::string_view text(locale);
  const size_t language_end = std::min(text.find_first_of("_.@"), text.size());
  std::string language(text.substr(0, language_end));
  std::string territory;
  if (language_end < text.size() && text[language_end] == '_') {
    const std::string_view rest = text.substr(language_end + 1);
    territory = rest.substr(0, std::min(rest.find_first_of(".@"), rest.size()));
  }
  for (char& c : language) c = char(std::tolower(static_cast<unsigned char>(c)));
  for (char& c : territory) c = char(std::toupper(static_cast<unsigned char>(c)));

  const LocaleRow* fallback = nullptr;
  for (const LocaleRow& row : kLocales) {
    if (row.language != language) continue;
    if (row.territory == territory) return row.id;
    if (row.territory.empty()) fallback = &row;
  }
  return fallback ? fallback->id : kEnglishUS;
}
