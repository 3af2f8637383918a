// The managed call against the types of TestAssembly.dll: the status of every way the
// call can end, what reaches the result slot, that the runtime is stopped only after a
// successful invocation, and that no instance outlives its call.
#include "log/ManagedCall.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/repair_fixture.h"

namespace {

using hivemend::testing::runtime_counters;

VARIANT Bstr(const char16_t* text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  return v;
}

VARIANT Int(LONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

std::u16string TextOf(const VARIANT& v) { return std::u16string(v.bstrVal, SysStringLen(v.bstrVal)); }

// The result slot's type before the call.
constexpr VARTYPE kUntouched = VT_INT;

TEST(CallManagedMethod, StatusOfEachOutcome) {
  struct Case {
    const char* what;
    const char* assembly;
    const char* type;
    const char16_t* method;
    std::vector<VARIANT> args;  // last argument first
    HRESULT status;
    bool stopped = false;     // the runtime was stopped again
    ULONGLONG instances = 0;  // instances made
    VARTYPE resultType = kUntouched;
  };
  const char* const kAsm = "TestAssembly";
  const char* const kCounter = "Tests.Counter";
  // Increment gives 1 on every call that reaches it: each call has an instance of its own.
  std::vector<Case> cases = {
      {"missing assembly", "NoSuchAssembly", kCounter, u"Increment", {}, HRESULT(0x80070002)},
      {"missing type", kAsm, "Tests.NoSuchType", u"Increment", {}, COR_E_TYPELOAD},
      {"type names are case-sensitive", kAsm, "tests.counter", u"Increment", {}, COR_E_TYPELOAD},
      {"constructor throws", kAsm, "Tests.Unconstructible", u"Increment", {}, COR_E_TARGETINVOCATION},
      {"value type: no dispatch interface", kAsm, "Tests.Number", u"Increment", {}, E_FAIL},
      {"missing method", kAsm, kCounter, u"NoSuchMethod", {}, DISP_E_UNKNOWNNAME, false, 1},
      {"method throws", kAsm, kCounter, u"Fail", {}, DISP_E_EXCEPTION, false, 1},
      {"too few arguments", kAsm, kCounter, u"Concat", {Bstr(u"b")}, DISP_E_BADPARAMCOUNT, false, 1},
      {"argument of another type", kAsm, kCounter, u"Concat", {Int(1), Bstr(u"a")}, DISP_E_TYPEMISMATCH, false, 1},
      {"no arguments", kAsm, kCounter, u"Increment", {}, S_OK, true, 1, VT_I4},
      {"method names are not case-sensitive", kAsm, kCounter, u"INCREMENT", {}, S_OK, true, 1, VT_I4},
      {"two arguments", kAsm, kCounter, u"Concat", {Bstr(u"second"), Bstr(u"first")}, S_OK, true, 1, VT_BSTR},
      {"assembly name not in the code page", "TestAss\xff", kCounter, u"Increment", {}, 22},
      {"type name not in the code page", kAsm, "Tests.\xc3", u"Increment", {}, 22},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    const HIVEMEND_RUNTIME_COUNTERS before = runtime_counters();
    VARIANT result;
    VariantInit(&result);
    result.vt = kUntouched;
    result.intVal = 7;
    const std::vector<VARIANT> args = c.args;
    EXPECT_EQ(CallManagedMethod(c.assembly, c.type, c.method, DWORD(c.args.size()), c.args.data(), &result), c.status);

    const HIVEMEND_RUNTIME_COUNTERS after = runtime_counters();
    EXPECT_EQ(after.starts - before.starts, 1u);
    EXPECT_EQ(after.stops - before.stops, c.stopped ? 1u : 0u);
    EXPECT_EQ(after.instancesCreated - before.instancesCreated, c.instances);
    EXPECT_EQ(after.instancesAlive, 0u);
    ASSERT_EQ(result.vt, c.resultType);
    if (c.resultType == kUntouched) {
      EXPECT_EQ(result.intVal, 7);
    } else if (c.resultType == VT_I4) {
      EXPECT_EQ(result.lVal, 1);
    } else {
      EXPECT_EQ(TextOf(result), u"firstsecond");
    }
    VariantClear(&result);
    // The arguments are only read.
    for (size_t i = 0; i < args.size(); ++i) {
      EXPECT_EQ(c.args[i].vt, args[i].vt);
      EXPECT_EQ(c.args[i].llVal, args[i].llVal);
      VariantClear(&c.args[i]);
    }
  }
}

}  // namespace
