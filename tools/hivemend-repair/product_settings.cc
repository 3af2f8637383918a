#include "tools/hivemend-repair/product_settings.h"

#include <cstdint>
#include <fstream>
#include <vector>

#include "base/product_keys.h"
#include "base/unicode.h"
#include "regf/regtext.h"

namespace hivemend::repair_tool {

namespace {

// The product's settings as system.reg holds them: the App Paths key naming the
// product's registry root, and the switches of the run.
std::string system_reg(const Options& o, const std::optional<std::u16string>& report_file) {
  const std::u16string root = u"SOFTWARE\\Tessaro\\Hivemend";
  auto key = [](const std::u16string& path) { return u"\r\n[HKEY_LOCAL_MACHINE\\" + path + u"]\r\n"; };
  auto line = [](const std::u16string& name, uint32_t type, const std::vector<uint8_t>& data) {
    return regf::format_reg_value({name, type, data}) + u"\r\n";
  };
  auto text = [&](const std::u16string& name, const std::u16string& value) {
    return line(name, regf::kRegSz, base::to_utf16le(value + u'\0'));
  };
  auto dword = [&](const std::u16string& name, uint32_t value) {
    return line(name, regf::kRegDword,
                {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)});
  };
  std::u16string reg = u"Windows Registry Editor Version 5.00\r\n" + key(kAppPaths32) +
                       text(kRegPathValue, u"HKEY_LOCAL_MACHINE\\" + root) + key(root) +
                       text(kCDTransferValue, o.rescue_transfer ? u"YES" : u"NO") + dword(kLangIDValue, 0x409) +
                       key(root + kWickmarSubkey) + dword(kDetailedLogValue, o.detailed_log ? 1 : 0);
  if (report_file) reg += text(kReportFileValue, *report_file);
  reg += key(root + kSetupSubkey) + text(kInstallGlobalValue, u"YES");
  return base::to_utf8(reg);
}

}  // namespace

Status write_product_settings(const std::string& prefix, const Options& o,
                              const std::optional<std::u16string>& report_file) {
  const std::string path = prefix + "/system.reg";
  std::ofstream reg(path, std::ios::binary | std::ios::trunc);
  if (!(reg << system_reg(o, report_file)) || !reg.flush()) return Error{path + ": cannot write"};
  return base::Ok{};
}

}  // namespace hivemend::repair_tool
