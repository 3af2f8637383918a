// COM and OLE Automation (objbase.h, oleauto.h, comutil.h): HRESULT, GUIDs, IUnknown,
// IDispatch, VARIANT and BSTR, with Windows' values and layouts (a VARIANT is 24 bytes
// in a 64-bit process, a BSTR points past a 4-byte length prefix). Interfaces are C++
// classes of pure virtual members, as the Windows headers declare them for C++.
#pragma once

#include "win32/types.h"

// ---- HRESULT --------------------------------------------------------------------

using HRESULT = LONG;
using SCODE = LONG;

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
// A Win32 error code as an HRESULT of FACILITY_WIN32 (0 stays S_OK).
constexpr HRESULT HRESULT_FROM_WIN32(DWORD x) {
  return static_cast<HRESULT>(x) <= 0 ? static_cast<HRESULT>(x) : static_cast<HRESULT>((x & 0x0000FFFF) | 0x80070000);
}

#define S_OK static_cast<HRESULT>(0L)
#define S_FALSE static_cast<HRESULT>(1L)
#define E_NOTIMPL static_cast<HRESULT>(0x80004001L)
#define E_NOINTERFACE static_cast<HRESULT>(0x80004002L)
#define E_POINTER static_cast<HRESULT>(0x80004003L)
#define E_FAIL static_cast<HRESULT>(0x80004005L)
#define E_UNEXPECTED static_cast<HRESULT>(0x8000FFFFL)
#define E_OUTOFMEMORY static_cast<HRESULT>(0x8007000EL)
#define E_INVALIDARG static_cast<HRESULT>(0x80070057L)
#define CLASS_E_CLASSNOTAVAILABLE static_cast<HRESULT>(0x80040111L)
#define DISP_E_UNKNOWNINTERFACE static_cast<HRESULT>(0x80020001L)
#define DISP_E_MEMBERNOTFOUND static_cast<HRESULT>(0x80020003L)
#define DISP_E_TYPEMISMATCH static_cast<HRESULT>(0x80020005L)
#define DISP_E_UNKNOWNNAME static_cast<HRESULT>(0x80020006L)
#define DISP_E_NONAMEDARGS static_cast<HRESULT>(0x80020007L)
#define DISP_E_BADVARTYPE static_cast<HRESULT>(0x80020008L)
#define DISP_E_EXCEPTION static_cast<HRESULT>(0x80020009L)
#define DISP_E_OVERFLOW static_cast<HRESULT>(0x8002000AL)
#define DISP_E_BADPARAMCOUNT static_cast<HRESULT>(0x8002000EL)

// ---- GUIDs ----------------------------------------------------------------------

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr bool IsEqualGUID(REFGUID a, REFGUID b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
constexpr bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

inline constexpr IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// ---- Text -----------------------------------------------------------------------

using OLECHAR = WCHAR;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
// A length-prefixed wide string: the 32-bit byte length sits just before the first
// character, and a terminator follows the last. A null BSTR is the empty string.
using BSTR = OLECHAR*;

// Allocate a BSTR holding a copy of psz (up to its terminator), or of ui characters of
// psz (psz may be null: the characters are then left zero). NULL when out of memory.
BSTR WINAPI SysAllocString(const OLECHAR* psz);
BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
void WINAPI SysFreeString(BSTR bstrString);
// The length in characters, from the prefix (embedded NULs count); 0 for NULL.
UINT WINAPI SysStringLen(BSTR pbstr);
UINT WINAPI SysStringByteLen(BSTR bstr);

// The ANSI code page of this system. Narrow Windows text is UTF-8 throughout the layer,
// as on Windows set to "Use Unicode UTF-8 for worldwide language support".
#define CP_ACP 0
#define CP_UTF8 65001
UINT WINAPI GetACP();

// ---- IUnknown, IDispatch --------------------------------------------------------

using LCID = DWORD;
using DISPID = LONG;
using VARTYPE = unsigned short;
using VARIANT_BOOL = short;
using SHORT = short;
using USHORT = unsigned short;
using FLOAT = float;
using DOUBLE = double;

#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_USER_DEFAULT 0x0400
#define DISPID_UNKNOWN (-1)
#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define VARIANT_TRUE static_cast<VARIANT_BOOL>(-1)
#define VARIANT_FALSE static_cast<VARIANT_BOOL>(0)

class IUnknown {
 public:
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

class ITypeInfo;
class IRecordInfo;
struct tagVARIANT;
using VARIANT = tagVARIANT;
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

struct DISPPARAMS {
  VARIANTARG* rgvarg;  // the arguments, last one first
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  PVOID pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};

class IDispatch : public IUnknown {
 public:
  virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
  virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) = 0;
  virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                         VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;

 protected:
  ~IDispatch() = default;
};

// ---- VARIANT --------------------------------------------------------------------

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,  // 32 bits also in a 64-bit process: VT_I8 carries a pointer there
  VT_UINT = 23,
  VT_RECORD = 36,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
};

// Windows' layout: the type and three reserved words, then the value; the largest
// member (a record: two pointers) makes it 24 bytes in a 64-bit process.
struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    PVOID byref;
    struct {
      PVOID pvRecord;
      IRecordInfo* pRecInfo;
    } record;
  };
};
static_assert(sizeof(VARIANT) == 8 + 2 * sizeof(void*), "VARIANT has Windows' size");

// Sets the type to VT_EMPTY (the value is left as it is, as on Windows).
void WINAPI VariantInit(VARIANTARG* pvarg);
// Frees what the VARIANT owns (a BSTR, a reference to an interface) and leaves it
// VT_EMPTY. By-reference values own nothing. DISP_E_BADVARTYPE for a type that is no
// VARIANT type (the VARIANT is then left unchanged); arrays and records are not
// supported here and give DISP_E_BADVARTYPE as well.
HRESULT WINAPI VariantClear(VARIANTARG* pvarg);

// ---- COM error exception and narrow text to BSTR (comdef.h, comutil.h) ----------

// The exception the compiler's COM support raises for a failed HRESULT.
class _com_error {
 public:
  explicit _com_error(HRESULT hr) noexcept : hr_(hr) {}
  HRESULT Error() const noexcept { return hr_; }

 private:
  HRESULT hr_;
};

[[noreturn]] void _com_issue_error(HRESULT hr);

namespace _com_util {
// A new BSTR holding pSrc converted from the ANSI code page; NULL for NULL. Raises
// _com_error, as _bstr_t does around this conversion: E_OUTOFMEMORY when the string
// cannot be allocated, HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION) when pSrc is
// not text of the code page (a byte sequence that is no UTF-8; Windows' conversion with
// MB_ERR_INVALID_CHARS refuses such text the same way).
BSTR ConvertStringToBSTR(const char* pSrc);
}  // namespace _com_util
