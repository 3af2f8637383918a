// The product's settings object: one per process, created by the first GetOptions.
// This is the part of it that the repair run needs; the rest of its construction
// (system description, HTML Help, language library, "\Settings" and "\Security"
// values, the non-administrator hand-off) comes with a later change.
#pragma once

#include <memory>

#include "win32/registry.h"
#include "win32/windows.h"

// A backup device of the product. This program never creates one; the product's
// device records get their full set of fields with the complete settings object.
struct DeviceRecord {
  DWORD dwSigniture = 0;  // the disk signature, spelled as the product's registry value
};

// Handle slots of the single-instance guard's mutexes.
inline constexpr size_t kToolMutexSlots = 6;

class COrnOptions {
 public:
  // Copies the command line (or none). Not done yet: recording the system
  // description, initialising HTML Help, choosing and loading the language library,
  // reading "LangID", "TPD", "\Settings", "\Security" and "UseArchiveBit", and the
  // hand-off of a non-administrator.
  explicit COrnOptions(LPCWSTR pszCmdLine);
  virtual ~COrnOptions();
  COrnOptions(const COrnOptions&) = delete;
  COrnOptions& operator=(const COrnOptions&) = delete;

  // The application's instance handle; start-up stores it after the first GetOptions.
  HINSTANCE m_hAppInstance = nullptr;
  // Root key of the product registry root; set by every GetProductRegRoot with this object.
  HKEY m_hRootKey = nullptr;
  // Copy of the command line passed to the first GetOptions, or null.
  std::unique_ptr<WCHAR[]> m_pszCmdLine;
  // The current backup device; never set by this program.
  DeviceRecord* m_pCurrentDevice = nullptr;
  // Set by the hand-off of a non-administrator; makes GetOptions end the process.
  bool m_bExitRequested = false;
  // Mutex handles owned by the single-instance guard; none at construction.
  HANDLE m_hToolMutex[kToolMutexSlots] = {};
};

// The one settings object, created on the first call with `pszCmdLine` (later
// arguments are ignored). When its construction asked for the end of the process, the
// process ends here with exit code 1.
COrnOptions* GetOptions(LPCWSTR pszCmdLine = nullptr);

// Destroys the settings object (the application object does so when it goes away); a
// later GetOptions makes a new one.
void ReleaseOptions();
