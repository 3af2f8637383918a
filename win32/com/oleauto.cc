#include "win32/com/oleauto.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "base/unicode.h"
#include "win32/host/error.h"

namespace {

// The allocation behind a BSTR: the byte length, then the characters and a terminator.
constexpr size_t kPrefix = sizeof(DWORD);

DWORD* block_of(BSTR s) { return reinterpret_cast<DWORD*>(reinterpret_cast<BYTE*>(s) - kPrefix); }

}  // namespace

BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  // The byte length must fit the 32-bit prefix, as on Windows.
  if (ui > (std::numeric_limits<DWORD>::max() - kPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR)) return nullptr;
  const size_t bytes = size_t(ui) * sizeof(OLECHAR);
  auto* block = static_cast<BYTE*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
  if (!block) return nullptr;
  const DWORD length = DWORD(bytes);
  std::memcpy(block, &length, kPrefix);
  auto* text = reinterpret_cast<BSTR>(block + kPrefix);
  if (strIn)
    std::memcpy(text, strIn, bytes);
  else
    std::memset(text, 0, bytes);
  text[ui] = 0;
  return text;
}

BSTR WINAPI SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  UINT n = 0;
  while (psz[n]) ++n;
  return SysAllocStringLen(psz, n);
}

void WINAPI SysFreeString(BSTR bstrString) {
  if (bstrString) std::free(block_of(bstrString));
}

UINT WINAPI SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  DWORD length;
  std::memcpy(&length, block_of(bstr), kPrefix);
  return length;
}

UINT WINAPI SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }

UINT WINAPI GetACP() { return CP_UTF8; }

void WINAPI VariantInit(VARIANTARG* pvarg) { pvarg->vt = VT_EMPTY; }

HRESULT WINAPI VariantClear(VARIANTARG* pvarg) {
  const VARTYPE vt = pvarg->vt;
  if (vt & VT_BYREF) {
    pvarg->vt = VT_EMPTY;
    return S_OK;
  }
  switch (vt) {
    case VT_BSTR: SysFreeString(pvarg->bstrVal); break;
    case VT_DISPATCH:
      if (pvarg->pdispVal) pvarg->pdispVal->Release();
      break;
    case VT_UNKNOWN:
      if (pvarg->punkVal) pvarg->punkVal->Release();
      break;
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_ERROR:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT: break;
    default: return DISP_E_BADVARTYPE;
  }
  pvarg->vt = VT_EMPTY;
  return S_OK;
}

void _com_issue_error(HRESULT hr) { throw _com_error(hr); }

BSTR _com_util::ConvertStringToBSTR(const char* pSrc) {
  if (!pSrc) return nullptr;
  // Names are nearly always ASCII, which widens unit by unit.
  size_t length = 0;
  while (pSrc[length] && static_cast<unsigned char>(pSrc[length]) < 0x80) ++length;
  if (!pSrc[length]) {
    if (length > std::numeric_limits<UINT>::max()) _com_issue_error(E_OUTOFMEMORY);
    BSTR result = SysAllocStringLen(nullptr, UINT(length));
    if (!result) _com_issue_error(E_OUTOFMEMORY);
    for (size_t i = 0; i < length; ++i) result[i] = OLECHAR(pSrc[i]);
    return result;
  }
  const auto wide = base::from_utf8_strict(pSrc);
  if (!wide) _com_issue_error(HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION));
  if (wide->size() > std::numeric_limits<UINT>::max()) _com_issue_error(E_OUTOFMEMORY);
  BSTR result = SysAllocStringLen(wide->data(), UINT(wide->size()));
  if (!result) _com_issue_error(E_OUTOFMEMORY);
  return result;
}
