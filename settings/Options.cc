#include "settings/Options.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "base/product_keys.h"
#include "settings/HtmlHelp.h"
#include "settings/RegistryHelpers.h"
#include "settings/SystemInfo.h"
#include "win32/mfc/afxwin.h"

namespace {

// Registry paths below the product registry root are built in buffers of this size.
constexpr size_t kSettingsKeyChars = 500;
// "\Settings" flags are read into 500 characters, "UseArchiveBit" into 32. One more
// character than is read stays zero, so a stored text without terminator still ends.
constexpr DWORD kFlagTextBytes = 500 * sizeof(WCHAR);
constexpr DWORD kArchiveBitTextBytes = 32 * sizeof(WCHAR);

constexpr DWORD kDefaultBackgroundMinutes = 60;
constexpr DWORD kDefaultReminderDays = 7;

// The language libraries, by primary language; the last row stands for every other.
struct LanguageRow {
  WORD wPrimary;
  LPCWSTR pszLibrary;     // tried first
  LPCWSTR pszLibraryX64;  // tried when the first cannot be loaded (a 32-bit library)
  DWORD dwFullLangID;     // the identifier a bare primary language becomes
};

constexpr LanguageRow kLanguages[] = {
    {0x07, u"resources.DEU.dll", u"resources-x64.DEU.dll", 0x0407},
    {0x09, u"resources.ENG.dll", u"resources-x64.ENG.dll", 0x0409},
    // Spanish with the modern sort order, not 0x040A.
    {0x0A, u"resources.SPN.dll", u"resources-x64.SPN.dll", 0x0C0A},
    {0x0C, u"resources.FRC.dll", u"resources-x64.FRC.dll", 0x040C},
    {0x10, u"resources.ITN.dll", u"resources-x64.ITN.dll", 0x0410},
    {0x11, u"resources.JPN.dll", u"resources-x64.JPN.dll", 0x0411},
    {0x13, u"resources.NTL.dll", u"resources-x64.NTL.dll", 0x0413},
};
constexpr LanguageRow kOtherLanguage = {0, u"resources.ENG.dll", u"resources-x64.ENG.dll", 0x0409};

const LanguageRow& FindLanguage(DWORD dwLangID) {
  const WORD wPrimary = WORD(dwLangID & 0x3FF);
  for (const LanguageRow& row : kLanguages)
    if (row.wPrimary == wPrimary) return row;
  return kOtherLanguage;
}

// The small security fields, in the order they are read; each names either its 8-bit
// or its 16-bit field.
struct SecurityField {
  LPCWSTR pszName;
  BYTE SecurityRecord::*pByte;
  WORD SecurityRecord::*pWord;
};

constexpr SecurityField kSecurityFields[] = {
    {u"01", &SecurityRecord::b01, nullptr}, {u"02", &SecurityRecord::b02, nullptr},
    {u"03", &SecurityRecord::b03, nullptr}, {u"04", nullptr, &SecurityRecord::w04},
    {u"05", nullptr, &SecurityRecord::w05}, {u"06", nullptr, &SecurityRecord::w06},
    {u"19", nullptr, &SecurityRecord::w19}, {u"07", &SecurityRecord::b07, nullptr},
    {u"08", &SecurityRecord::b08, nullptr}, {u"09", &SecurityRecord::b09, nullptr},
    {u"10", nullptr, &SecurityRecord::w10}, {u"11", nullptr, &SecurityRecord::w11},
    {u"12", nullptr, &SecurityRecord::w12}, {u"20", nullptr, &SecurityRecord::w20},
    {u"13", &SecurityRecord::b13, nullptr}, {u"14", &SecurityRecord::b14, nullptr},
    {u"15", &SecurityRecord::b15, nullptr}, {u"16", nullptr, &SecurityRecord::w16},
    {u"17", nullptr, &SecurityRecord::w17}, {u"18", nullptr, &SecurityRecord::w18},
    {u"21", nullptr, &SecurityRecord::w21},
};

// The variable-length security values, in the order they are read.
struct SecurityBlock {
  LPCWSTR pszName;
  WORD SecurityRecord::*pSize;
  BYTE* SecurityRecord::*pData;
};

constexpr SecurityBlock kSecurityBlocks[] = {
    {u"23", &SecurityRecord::cb23, &SecurityRecord::p23},
    {u"24", &SecurityRecord::cb24, &SecurityRecord::p24},
    {u"25", &SecurityRecord::cb25, &SecurityRecord::p25},
    {u"22", &SecurityRecord::cb22, &SecurityRecord::p22},
};

void* HeapBlock(size_t cbSize) {
  void* p = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbSize);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void FreeHeapBlock(void* p) {
  if (p != nullptr) HeapFree(GetProcessHeap(), 0, p);
}

const BYTE* Bytes(const void* p) { return static_cast<const BYTE*>(p); }

// A string value read into a zero-filled buffer of cbRead bytes: exactly "YES"?
bool ReadYes(HKEY hRoot, LPCWSTR pszKey, LPCWSTR pszName, DWORD cbRead) {
  WCHAR szText[kFlagTextBytes / sizeof(WCHAR) + 1] = {};
  ReadRegValue(hRoot, pszKey, pszName, reinterpret_cast<LPBYTE>(szText), cbRead);
  return wcscmp(szText, u"YES") == 0;
}

// What the object owns apart from its device records; safe on a half-built object.
void FreeOwned(COrnOptions& options) {
  if (options.m_pSecurity != nullptr) {
    for (const SecurityBlock& block : kSecurityBlocks) FreeHeapBlock(options.m_pSecurity->*block.pData);
    FreeHeapBlock(options.m_pSecurity);
    options.m_pSecurity = nullptr;
  }
  if (options.m_hResources != nullptr) {
    // Resources must not be looked up in a library that is gone: the program's own
    // module takes over again.
    if (AfxGetResourceHandle() == options.m_hResources) AfxSetResourceHandle(AfxGetInstanceHandle());
    AfxFreeLibrary(options.m_hResources);
    options.m_hResources = nullptr;
  }
  FreeHeapBlock(std::exchange(options.m_pszCmdLine, nullptr));
}

// Chooses the language in at most two passes, the second only when the first found no
// product registry root, and loads its library into options.m_hResources (or none).
void ChooseLanguage(COrnOptions& options) {
  DWORD& dwLangID = options.m_dwLangID;
  for (int nPass = 0; nPass < 2; ++nPass) {
    WCHAR szRoot[kSettingsKeyChars] = {};
    const BOOL bFound = GetProductRegRoot(&options, szRoot);
    if (bFound) {
      const HKEY hRoot = options.m_hRootKey;
      if (!ReadRegValue(hRoot, szRoot, kLangIDValue, reinterpret_cast<LPBYTE>(&dwLangID), sizeof dwLangID)) {
        dwLangID = GetSystemDefaultLangID();
        WriteRegValue(hRoot, szRoot, kLangIDValue, REG_DWORD, Bytes(&dwLangID), sizeof dwLangID);
      }
      wcscat_s(szRoot, kSetupSubkey);
      ReadRegValue(hRoot, szRoot, u"TPD", reinterpret_cast<LPBYTE>(&options.m_dwTPD), sizeof options.m_dwTPD);
    } else {
      dwLangID = GetSystemDefaultLangID();
    }

    const LanguageRow& row = FindLanguage(dwLangID);
    HINSTANCE hLibrary = AfxLoadLibrary(row.pszLibrary);
    if (hLibrary == nullptr) hLibrary = AfxLoadLibrary(row.pszLibraryX64);
    // A second pass's library replaces the first's, which is given back.
    if (options.m_hResources != nullptr) AfxFreeLibrary(options.m_hResources);
    options.m_hResources = hLibrary;

    // A bare primary language becomes the row's full identifier; one with a
    // sub-language stays as it is, even on the row of the other languages.
    if ((dwLangID & 0xFFFF) < 0x400) dwLangID = row.dwFullLangID;

    if (bFound) break;
  }
}

// The one settings object. Its holder is never destroyed, so that it outlives the
// application object, whose destructor deletes the settings object.
std::unique_ptr<COrnOptions>& Singleton() {
  static auto* holder = new std::unique_ptr<COrnOptions>;
  return *holder;
}

}  // namespace

COrnOptions::COrnOptions(LPCWSTR pszCmdLine) {
  try {
    if (pszCmdLine != nullptr) {
      const size_t cch = wcslen(pszCmdLine);
      m_pszCmdLine = static_cast<LPWSTR>(HeapBlock((cch + 1) * sizeof(WCHAR)));
      std::memcpy(m_pszCmdLine, pszCmdLine, cch * sizeof(WCHAR));
    }

    RecordSystemInfo(this, &m_dwOSFlags, &m_dwServicePack);
    CallHtmlHelp(nullptr, nullptr, HH_INITIALIZE, reinterpret_cast<DWORD_PTR>(&m_dwHelpCookie));
    ChooseLanguage(*this);

    m_pSecurity = static_cast<SecurityRecord*>(HeapBlock(sizeof(SecurityRecord)));

    if (m_hResources != nullptr) {
      WCHAR szRoot[kSettingsKeyChars] = {};
      if (GetProductRegRoot(this, szRoot))
        WriteRegValue(m_hRootKey, szRoot, kLangIDValue, REG_DWORD, Bytes(&m_dwLangID), sizeof m_dwLangID);
      AfxSetResourceHandle(m_hResources);
      LoadSettings(TRUE);
    }

    ClearDevices();

    WCHAR szWickmar[kSettingsKeyChars] = {};
    GetProductRegRoot(this, szWickmar);
    wcscat_s(szWickmar, kWickmarSubkey);
    if (ReadYes(m_hRootKey, szWickmar, u"UseArchiveBit", kArchiveBitTextBytes)) m_dwOptionFlags |= kOptionUseArchiveBit;

    HandOffIfNotAdmin();
  } catch (...) {
    FreeOwned(*this);
    throw;
  }
}

COrnOptions::~COrnOptions() {
  SaveDevices();
  ClearDevices();
  FreeOwned(*this);
  std::vector<DeviceRecord*>().swap(m_Devices);
}

void COrnOptions::LoadSettings(BOOL bReset) {
  WCHAR szKey[kSettingsKeyChars] = {};
  GetProductRegRoot(this, szKey);
  wcscat_s(szKey, u"\\Settings");

  const std::pair<LPCWSTR, bool COrnOptions::*> flags[] = {
      {u"OrnAlwaysAvail", &COrnOptions::m_bAlwaysAvail},
      {u"DetailedProgress", &COrnOptions::m_bDetailedProgress},
      {u"RestoreFiles", &COrnOptions::m_bRestoreFiles},
      {u"Reminder", &COrnOptions::m_bReminder},
  };
  for (const auto& [pszName, pField] : flags) { this->*pField = ReadYes(m_hRootKey, szKey, pszName, kFlagTextBytes); }

  if (!ReadRegValue(m_hRootKey, szKey, u"BackgroundMinutes", reinterpret_cast<LPBYTE>(&m_dwBackgroundMinutes),
                    sizeof(DWORD)))
    m_dwBackgroundMinutes = kDefaultBackgroundMinutes;
  if (!ReadRegValue(m_hRootKey, szKey, u"ReminderDays", reinterpret_cast<LPBYTE>(&m_dwReminderDays), sizeof(DWORD)))
    m_dwReminderDays = kDefaultReminderDays;

  m_bAlwaysAvailAtLoad = m_bAlwaysAvail;
  if (bReset) {
    m_dwOptionFlags = 0;
    m_pCurrentDevice = nullptr;
  }
  LoadSecurity();
}

void COrnOptions::LoadSecurity() {
  WCHAR szKey[kSettingsKeyChars] = {};
  GetProductRegRoot(this, szKey);
  wcscat_s(szKey, u"\\");
  wcscat_s(szKey, u"Security");
  if (m_pSecurity == nullptr) return;
  SecurityRecord& record = *m_pSecurity;

  for (const SecurityField& field : kSecurityFields) {
    DWORD dwValue = 0;
    if (!ReadRegValue(m_hRootKey, szKey, field.pszName, reinterpret_cast<LPBYTE>(&dwValue), sizeof dwValue)) continue;
    const BYTE bStored = SwapSecurityBits(BYTE(dwValue));
    if (field.pByte != nullptr)
      record.*field.pByte = bStored;
    else
      record.*field.pWord = bStored;
  }

  for (const SecurityBlock& block : kSecurityBlocks) {
    FreeHeapBlock(std::exchange(record.*block.pData, nullptr));  // a block of an earlier load
    record.*block.pSize = 0;
    DWORD cbValue = 0;
    QueryRegValue(m_hRootKey, szKey, block.pszName, nullptr, &cbValue);
    if (cbValue == 0) continue;
    record.*block.pSize = WORD(cbValue);
    record.*block.pData = static_cast<BYTE*>(HeapBlock(cbValue));
    ReadRegValue(m_hRootKey, szKey, block.pszName, record.*block.pData, cbValue);
  }
}

void COrnOptions::ClearDevices() {
  m_pCurrentDevice = nullptr;
  for (DeviceRecord* pDevice : m_Devices) {
    if (pDevice->dwFlags & kDeviceHasExtra) FreeHeapBlock(pDevice->pExtra);
    FreeHeapBlock(pDevice->pszDeviceString);
    FreeHeapBlock(pDevice);
  }
  m_Devices.clear();
}

void COrnOptions::SaveDevices() {
  WCHAR szBase[kSettingsKeyChars] = {};
  GetProductRegRoot(this, szBase);
  wcscat_s(szBase, u"\\Device");

  for (const DeviceRecord* pDevice : m_Devices) {
    if (pDevice->pszDeviceString == nullptr) continue;
    const WCHAR* pszBackslash = wcsrchr(pDevice->pszDeviceString, u'\\');
    WCHAR szKey[kSettingsKeyChars] = {};
    wcscpy_s(szKey, szBase);
    wcscat_s(szKey, u"\\");
    // A key path that does not fit would be cut to nothing: such a device is not saved.
    if (wcscat_s(szKey, pszBackslash != nullptr ? pszBackslash + 1 : pDevice->pszDeviceString) != 0) continue;

    const auto writeText = [&](LPCWSTR pszName, LPCWSTR pszText) {
      WriteRegValue(m_hRootKey, szKey, pszName, REG_SZ, Bytes(pszText), DWORD((wcslen(pszText) + 1) * sizeof(WCHAR)));
    };
    const auto writeNumber = [&](LPCWSTR pszName, const DWORD& dwValue) {
      WriteRegValue(m_hRootKey, szKey, pszName, REG_DWORD, Bytes(&dwValue), sizeof dwValue);
    };
    const auto writeByte = [&](LPCWSTR pszName, const BYTE& bValue) {
      WriteRegValue(m_hRootKey, szKey, pszName, REG_BINARY, &bValue, 1);
    };

    writeText(u"DeviceString", pDevice->pszDeviceString);
    writeText(u"DeviceModel", pDevice->szDeviceModel);
    writeText(u"FirmwareRev", pDevice->szFirmwareRev);
    writeText(u"Interface", pDevice->szInterface);
    writeText(u"CapacityStr", pDevice->szCapacityStr);
    writeNumber(u"DeviceNumber", pDevice->dwDeviceNumber);
    writeNumber(u"OptAutoLaunch", pDevice->dwOptAutoLaunch);
    writeNumber(u"OptPasswordProtect", pDevice->dwOptPasswordProtect);
    writeNumber(u"OptPasswordPrompt", pDevice->dwOptPasswordPrompt);
    writeNumber(u"DeviceCapacity", pDevice->dwDeviceCapacity);
    writeNumber(u"FixedDiskDriver", pDevice->dwFixedDiskDriver);
    writeNumber(u"Signiture", pDevice->dwSigniture);
    writeNumber(u"SerialNumber", pDevice->dwSerialNumber);
    writeNumber(u"PortAddress", pDevice->dwPortAddress);
    writeNumber(u"PortAddressAlt", pDevice->dwPortAddressAlt);
    writeNumber(u"DriveNumber", pDevice->dwDriveNumber);
    writeNumber(u"IDE Level", pDevice->dwIDELevel);
    writeByte(u"IDE Enabled", pDevice->bIDEEnabled);
    writeByte(u"SourceDrive", pDevice->bSourceDrive);
    writeByte(u"InstalledDevice", pDevice->bInstalledDevice);
    writeByte(u"SelectedDevice", pDevice->bSelectedDevice);
    if (pDevice->szDriveLetters[0] != 0) writeText(u"DriveLetters", pDevice->szDriveLetters);
  }
}

COrnOptions* GetOptions(LPCWSTR pszCmdLine) {
  auto& options = Singleton();
  if (options) return options.get();
  options = std::make_unique<COrnOptions>(pszCmdLine);
  // Only the call that creates the object looks at the request. The normal exit
  // processing destroys the application object, which deletes this one.
  if (options->m_bExitRequested) std::exit(1);
  return options.get();
}

void ReleaseOptions() { Singleton().reset(); }
