#include "settings/Options.h"

#include <cstdlib>
#include <cstring>
#include <new>
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
    m_pszCmdLine = static_cast<LPWSTR>(std::calloc(text.size() + 1, sizeof(WCHAR)));
    if (m_pszCmdLine == nullptr) throw std::bad_alloc();
    text.copy(m_pszCmdLine, text.size());
  }
}

COrnOptions::~COrnOptions() { std::free(m_pszCmdLine); }

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
