#include "settings/Options.h"

#include <cstdlib>
#include <string_view>

namespace {

std::unique_ptr<COrnOptions>& Singleton() {
  static std::unique_ptr<COrnOptions> options;
  return options;
}

}  // namespace

COrnOptions::COrnOptions(LPCWSTR pszCmdLine) {
  if (pszCmdLine != nullptr) {
    const std::u16string_view text(pszCmdLine);
    m_pszCmdLine = std::make_unique<WCHAR[]>(text.size() + 1);
    text.copy(m_pszCmdLine.get(), text.size());
  }
}

COrnOptions::~COrnOptions() = default;

COrnOptions* GetOptions(LPCWSTR pszCmdLine) {
  auto& options = Singleton();
  if (options) return options.get();
  options = std::make_unique<COrnOptions>(pszCmdLine);
  // Only the call that creates the object looks at the request; the normal exit
  // processing still destroys it.
  if (options->m_bExitRequested) std::exit(1);
  return options.get();
}

void ReleaseOptions() { Singleton().reset(); }
