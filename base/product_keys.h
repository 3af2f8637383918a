// The product's registry settings by name: the App Paths key that names the product's
// registry root (its RegPath value), and the keys and values below that root. The
// program reads them; hivemend-repair writes them for its run.
#pragma once

// Below HKEY_LOCAL_MACHINE; the 32-bit view first, as the product looks there first.
inline constexpr const char16_t* kAppPaths32 =
    u"SOFTWARE\\WOW6432node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tessaro";
inline constexpr const char16_t* kAppPathsNative = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tessaro";
// In the App Paths key: the product's registry root, its root key's name in front.
inline constexpr const char16_t* kRegPathValue = u"RegPath";

// In the product's registry root.
inline constexpr const char16_t* kCDTransferValue = u"CDTransfer";  // "YES": rescue-transfer mode
inline constexpr const char16_t* kLangIDValue = u"LangID";          // a Windows language identifier

// Subkeys of the product's registry root, with the backslash the program appends them by.
inline constexpr const char16_t* kWickmarSubkey = u"\\Wickmar";
inline constexpr const char16_t* kSetupSubkey = u"\\Settings\\Setup";

// In the Wickmar subkey.
inline constexpr const char16_t* kDetailedLogValue = u"DetailedLog";  // nonzero: a log line per repaired value
inline constexpr const char16_t* kReportFileValue = u"ReportFile";    // the file the summary is appended to

// In the setup subkey.
inline constexpr const char16_t* kInstallGlobalValue = u"InstallGlobal";  // "NO": a per-session instance guard
