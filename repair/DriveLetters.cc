#include "repair/DriveLetters.h"

#include <cstring>
#include <utility>

#include "base/buffers.h"
#include "base/little_endian.h"
#include "settings/RegistryHelpers.h"
#include "win32/unique.h"

namespace {

using hivemend::win32::UniqueKey;

constexpr LPCWSTR kDosDevices = u"\\DosDevices\\";
constexpr size_t kDosDevicesChars = 12;
constexpr LPCWSTR kStoragePrefix = u"\\??\\STORAGE#Partition#S";
constexpr size_t kStoragePrefixChars = 23;
constexpr size_t kLetterSlots = kMaxDiscoveredLetters + 1;
constexpr size_t kOffsetSlots = 26;

// The drive letter of a "\DosDevices\X:" name, or 0 when the name is not one of C to Z.
WCHAR DriveLetterOf(const WCHAR* name) {
  if (wcsncmp(name, kDosDevices, kDosDevicesChars) != 0) return 0;
  const WCHAR letter = name[kDosDevicesChars];
  return letter >= u'C' && letter <= u'Z' ? letter : 0;
}

// Hexadecimal digits from `text`, at most `count`, up to the first other character.
uint64_t ReadHex(const WCHAR* text, size_t count, WCHAR stop = 0) {
  uint64_t n = 0;
  for (size_t i = 0; i < count && text[i] != stop; ++i) {
    const WCHAR c = text[i];
    int digit;
    if (c >= u'0' && c <= u'9')
      digit = c - u'0';
    else if (c >= u'a' && c <= u'f')
      digit = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
      digit = c - u'A' + 10;
    else
      break;
    n = n * 16 + static_cast<uint64_t>(digit);
  }
  return n;
}

}  // namespace

BOOL WinPE_GetStorageDriveLetters(LPCWSTR pszKeyPath, WCHAR* pszLetters, int* pnCount, LONGLONG* pOffsets,
                                  DWORD dwSignature) {
  *pnCount = 0;
  UniqueKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszKeyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return FALSE;

  constexpr size_t kDataBytes = 2048;
  WCHAR szName[kPathChars];
  alignas(WCHAR) BYTE data[kDataBytes + sizeof(WCHAR)];
  const WCHAR* text = reinterpret_cast<const WCHAR*>(data);
  for (DWORD dwIndex = 0; *pnCount < kMaxDiscoveredLetters; ++dwIndex) {
    DWORD cchName = kPathChars;
    DWORD cbData = kDataBytes;
    DWORD dwType = 0;
    std::memset(szName, 0, sizeof szName);
    std::memset(data, 0, sizeof data);
    if (RegEnumValueW(key.get(), dwIndex, szName, &cchName, nullptr, &dwType, data, &cbData) != ERROR_SUCCESS) break;
    const WCHAR letter = DriveLetterOf(szName);
    if (letter == 0 || wcsncmp(text, kStoragePrefix, kStoragePrefixChars) != 0) continue;
    // Positions 23 to 30: the signature; 31 and 32 are not read; from 33: the offset.
    if (ReadHex(text + kStoragePrefixChars, 8) != dwSignature) continue;
    pszLetters[*pnCount] = letter;
    pOffsets[*pnCount] = static_cast<LONGLONG>(ReadHex(text + 33, 16, u'_'));
    ++*pnCount;
  }
  return TRUE;
}

BOOL WinPE_GetDriveLetters(LPCWSTR pszKeyPath, DWORD dwSignature, WCHAR* pszLetters) {
  WCHAR letters[kLetterSlots] = {};
  LONGLONG offsets[kOffsetSlots] = {};
  int count = 0;
  try {
    {
      UniqueKey key;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszKeyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return FALSE;
      constexpr size_t kDataBytes = 512;
      WCHAR szName[kPathChars];
      BYTE data[kDataBytes];
      // The scan ends at the first value that cannot be read whole, as well as at the end.
      for (DWORD dwIndex = 0; count < kMaxDiscoveredLetters; ++dwIndex) {
        DWORD cchName = kPathChars;
        DWORD cbData = kDataBytes;
        DWORD dwType = 0;
        std::memset(szName, 0, sizeof szName);
        std::memset(data, 0, sizeof data);
        if (RegEnumValueW(key.get(), dwIndex, szName, &cchName, nullptr, &dwType, data, &cbData) != ERROR_SUCCESS)
          break;
        const WCHAR letter = DriveLetterOf(szName);
        if (cbData > 12 || letter == 0 || base::le32(data) != dwSignature) continue;
        letters[count] = letter;
        offsets[count] = static_cast<LONGLONG>(base::le64(data + 4));
        ++count;
      }
    }
    if (count == 0) WinPE_GetStorageDriveLetters(pszKeyPath, letters, &count, offsets, dwSignature);

    // Ordered by offset; a stable exchange sort keeps equal offsets in the order found.
    for (int pass = 0; pass + 1 < count; ++pass) {
      for (int j = 0; j + 1 < count; ++j) {
        if (offsets[j] > offsets[j + 1]) {
          std::swap(offsets[j], offsets[j + 1]);
          std::swap(letters[j], letters[j + 1]);
        }
      }
    }
    wcscpy(pszLetters, letters);
    return TRUE;
  } catch (...) { return FALSE; }
}
