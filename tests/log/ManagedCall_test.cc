// The managed call against the types of TestAssembly.dll: the status of every way the
// call can end, what reaches the result slot, that the runtime is stopped only after a
// successful invocation, and that no instance outlives its call.
#include "log/ManagedCall.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "win32/managed.h"

namespace {

HIVEMEND_RUNTIME_COUNTERS Counters() {
  HIVEMEND_RUNTIME_COUNTERS counters{};
  HMODULE runtime = LoadLibraryW(HIVEMEND_RUNTIME_FILE);
  if (!runtime) {
    ADD_FAILURE() << "the runtime " << "mscorwks.dll" << " is not beside the test program";
    return counters;
  }
  auto counters_of = reinterpret_cast<HIVEMEND_RUNTIME_COUNTERS_PROC>(GetProcAddress(runtime, HIVEMEND_RUNTIME_COUNTERS_NAME));
  if (counters_of) counters_of(&counters);
  FreeLibrary(runtime);
  return counters;
}

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

TEST(CallManagedMethod, StatusOfEachOutcome) {
  constexpr VARTYPE kUntouched = VT_INT;  // the slot's type before the call
  struct Case {
    const char* what;
    const char* assembly;
    const char* type;
    const char16_t* method;
    std::vector<VARIANT> args;  // last argument first
    HRESULT status;
    bool stopped;         // the runtime was stopped again
    ULONGLONG instances;  // instances made
    VARTYPE resultType;
  };
  std::vector<Case> cases;
  cases.push_back({"missing assembly", "NoSuchAssembly", "Tests.Counter", u"Increment", {},
                   HRESULT(0x80070002), false, 0, kUntouched});
  cases.push_back({"missing type", "TestAssembly", "Tests.NoSuchType", u"Increment", {}, COR_E_TYPELOAD, false, 0,
                   kUntouched});
  cases.push_back({"type names are case-sensitive", "TestAssembly", "tests.counter", u"Increment", {},
                   COR_E_TYPELOAD, false, 0, kUntouched});
  cases.push_back({"constructor throws", "TestAssembly", "Tests.Unconstructible", u"Increment", {},
                   COR_E_TARGETINVOCATION, false, 0, kUntouched});
  cases.push_back({"value type: no dispatch interface", "TestAssembly", "Tests.Number", u"Increment", {}, E_FAIL,
                   false, 0, kUntouched});
  cases.push_back({"missing method", "TestAssembly", "Tests.Counter", u"NoSuchMethod", {}, DISP_E_UNKNOWNNAME, false,
                   1, kUntouched});
  cases.push_back({"method throws", "TestAssembly", "Tests.Counter", u"Fail", {}, DISP_E_EXCEPTION, false, 1,
                   kUntouched});
  cases.push_back({"too few arguments", "TestAssembly", "Tests.Counter", u"Concat", {Bstr(u"b")},
                   DISP_E_BADPARAMCOUNT, false, 1, kUntouched});
  cases.push_back({"argument of another type", "TestAssembly", "Tests.Counter", u"Concat", {Int(1), Bstr(u"a")},
                   DISP_E_TYPEMISMATCH, false, 1, kUntouched});
  cases.push_back({"no arguments", "TestAssembly", "Tests.Counter", u"Increment", {}, S_OK, true, 1, VT_I4});
  cases.push_back({"method names are not case-sensitive", "TestAssembly", "Tests.Counter", u"INCREMENT", {}, S_OK,
                   true, 1, VT_I4});
  cases.push_back({"two arguments, last one first", "TestAssembly", "Tests.Counter", u"Concat",
                   {Bstr(u"second"), Bstr(u"first")}, S_OK, true, 1, VT_BSTR});
  cases.push_back({"assembly name not in the code page", "TestAss\xff", "Tests.Counter", u"Increment", {}, 22, false,
                   0, kUntouched});
  cases.push_back({"type name not in the code page", "TestAssembly", "Tests.\xc3", u"Increment", {}, 22, false, 0,
                   kUntouched});

  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    const HIVEMEND_RUNTIME_COUNTERS before = Counters();
    VARIANT result;
    VariantInit(&result);
    result.vt = kUntouched;
    result.intVal = 7;
    const std::vector<VARIANT> args = c.args;
    EXPECT_EQ(CallManagedMethod(c.assembly, c.type, c.method, DWORD(c.args.size()), c.args.data(), &result), c.status);

    const HIVEMEND_RUNTIME_COUNTERS after = Counters();
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

TEST(CallManagedMethod, EachCallHasANewInstance) {
  for (int call = 0; call < 2; ++call) {
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(CallManagedMethod("TestAssembly", "Tests.Counter", u"Increment", 0, nullptr, &result), S_OK);
    ASSERT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 1) << "call " << call;  // the count of the previous instance is gone
  }
}

}  // namespace
