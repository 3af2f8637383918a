// The product's settings object: one per process, created by the first GetOptions.
// Building it records the machine's description, initialises HTML Help, chooses the
// language and loads its resource library (which becomes the program's resource
// handle), reads the product's settings and finally hands a non-administrator's start
// over to the product's hand-off program when the product is set up for that.
#pragma once

#include <memory>
#include <vector>

#include "win32/advapi32/registry.h"
#include "win32/windows.h"

// A backup device of the product. This program never creates one; the fields are the
// values SaveDevices writes under "\Device\<name>", spelled as the product's registry
// values are. The record, its device string and its second block are blocks of the
// process heap, which ClearDevices gives back.
struct DeviceRecord {
  DWORD dwFlags = 0;                 // kDeviceHasExtra: pExtra holds a second heap block
  LPWSTR pszDeviceString = nullptr;  // process-heap string; its text after the last '\' names the key
  void* pExtra = nullptr;            // optional second process-heap block
  WCHAR szDeviceModel[64] = {};
  WCHAR szFirmwareRev[16] = {};
  WCHAR szInterface[32] = {};
  WCHAR szCapacityStr[32] = {};
  WCHAR szDriveLetters[32] = {};
  DWORD dwDeviceNumber = 0;
  DWORD dwOptAutoLaunch = 0;
  DWORD dwOptPasswordProtect = 0;
  DWORD dwOptPasswordPrompt = 0;
  DWORD dwDeviceCapacity = 0;
  DWORD dwFixedDiskDriver = 0;
  DWORD dwSigniture = 0;  // the disk signature
  DWORD dwSerialNumber = 0;
  DWORD dwPortAddress = 0;
  DWORD dwPortAddressAlt = 0;
  DWORD dwDriveNumber = 0;
  DWORD dwIDELevel = 0;
  BYTE bIDEEnabled = 0;
  BYTE bSourceDrive = 0;
  BYTE bInstalledDevice = 0;
  BYTE bSelectedDevice = 0;
};
inline constexpr DWORD kDeviceHasExtra = 0x1;

// The product's security values "01" to "25", in the order the record keeps them.
struct SecurityRecord {
  BYTE b01, b02, b03;
  WORD w04, w05, w06, w19;
  BYTE b07, b08, b09;
  WORD w10, w11, w12, w20;
  BYTE b13, b14, b15;
  WORD w16, w17, w18, w21;
  WORD cb23, cb24, cb25, cb22;  // low 16 bits of each value's size
  BYTE *p23, *p24, *p25, *p22;  // zero-filled process-heap blocks of the full size, or null
};

// Handle slots of the single-instance guard's mutexes.
inline constexpr size_t kToolMutexSlots = 6;

// Bit of m_dwOptionFlags: "UseArchiveBit" is "YES".
inline constexpr DWORD kOptionUseArchiveBit = 0x100;

class COrnOptions {
 public:
  // Builds the settings object from the command line given to the program (or none);
  // see the file comment for what construction does, in that order.
  explicit COrnOptions(LPCWSTR pszCmdLine);
  virtual ~COrnOptions();
  COrnOptions(const COrnOptions&) = delete;
  COrnOptions& operator=(const COrnOptions&) = delete;

  // Reads the "\Settings" flags and numbers, then the security values.
  void LoadSettings(BOOL bReset);
  // Fills m_pSecurity from the "\Security" values.
  void LoadSecurity();
  // Forgets the current device and frees every device record.
  void ClearDevices();
  // Writes every device record under "\Device".
  void SaveDevices();
  // Sets m_bIsAdmin and, for a non-administrator on a product set up for it, hands the
  // start over to the hand-off program (or refuses it) and sets m_bExitRequested.
  void HandOffIfNotAdmin();

  DWORD m_dwHelpCookie = 0;  // cookie of the HTML Help initialise command
  bool m_bDetailedProgress = false;
  bool m_bRestoreFiles = false;
  bool m_bAlwaysAvail = false;
  bool m_bReminder = false;
  DWORD m_dwBackgroundMinutes = 0;
  DWORD m_dwReminderDays = 0;
  bool m_bAlwaysAvailAtLoad = false;
  DWORD m_dwOptionFlags = 0;  // kOptionUseArchiveBit
  // The application's instance handle; start-up stores it after the first GetOptions.
  HINSTANCE m_hAppInstance = nullptr;
  // The language resource library, or null.
  HINSTANCE m_hResources = nullptr;
  DWORD m_dwOSFlags = 0;      // Windows family and install-architecture bits
  DWORD m_dwServicePack = 0;  // service-pack code
  DWORD m_dwLangID = 0;       // the language identifier in use (low 16 bits)
  BOOL m_bIsAdmin = FALSE;
  // Root key of the product registry root; set by every GetProductRegRoot with this object.
  HKEY m_hRootKey = nullptr;
  // Copy of the command line passed to the first GetOptions, or null.
  LPWSTR m_pszCmdLine = nullptr;
  DWORD m_dwTPD = 0;
  // The current backup device; never set by this program.
  DeviceRecord* m_pCurrentDevice = nullptr;
  // The product's device list; never filled by this program.
  std::vector<DeviceRecord*> m_Devices;
  // Set by the hand-off of a non-administrator; makes GetOptions end the process.
  bool m_bExitRequested = false;
  SecurityRecord* m_pSecurity = nullptr;
  // Mutex handles owned by the single-instance guard; none at construction.
  HANDLE m_hToolMutex[kToolMutexSlots] = {};
};

// The one settings object, created on the first call with `pszCmdLine` (later
// arguments are ignored). When its construction asked for the end of the process, the
// process ends here with exit code 1.
COrnOptions* GetOptions(LPCWSTR pszCmdLine = nullptr);

// Destroys the settings object (the application object does so when it goes away); a
// later GetOptions makes a new one. The holder of the object is never destroyed, so
// this may run from any static destructor.
void ReleaseOptions();
