// TestAssembly.dll: an assembly with a type for each way a managed call can go.
#include <stdexcept>
#include <string>

#include "win32/com/managed.h"

namespace {

// Tests.Counter: a class with state in an instance field.
struct Counter {
  LONG count = 0;
};

// Increment(): the count after adding one to it.
void Increment(void* self, const VARIANT*, VARIANT* result) {
  result->vt = VT_I4;
  result->lVal = ++static_cast<Counter*>(self)->count;
}

// Concat(string first, string second): first followed by second.
void Concat(void*, const VARIANT* args, VARIANT* result) {
  std::u16string text(args[0].bstrVal, SysStringLen(args[0].bstrVal));
  text.append(args[1].bstrVal, SysStringLen(args[1].bstrVal));
  result->vt = VT_BSTR;
  result->bstrVal = SysAllocStringLen(text.data(), UINT(text.size()));
}

// Fail(): throws.
void Fail(void*, const VARIANT*, VARIANT*) { throw std::runtime_error("Fail was called"); }

constexpr VARTYPE kTwoStrings[] = {VT_BSTR, VT_BSTR};
const HIVEMEND_MANAGED_METHOD kCounterMethods[] = {
    {u"Increment", 0, nullptr, Increment},
    {u"Concat", 2, kTwoStrings, Concat},
    {u"Fail", 0, nullptr, Fail},
    {nullptr, 0, nullptr, nullptr},
};

void* NewCounter() { return new Counter; }
void DeleteCounter(void* p) { delete static_cast<Counter*>(p); }

// Tests.Unconstructible: a class whose constructor throws.
void* NewUnconstructible() { throw std::runtime_error("constructor failed"); }

}  // namespace

extern "C" {
__attribute__((visibility("default"))) extern const HIVEMEND_MANAGED_TYPE HivemendManagedTypes[] = {
    {u"Tests.Counter", NewCounter, DeleteCounter, kCounterMethods, VT_EMPTY},
    {u"Tests.Unconstructible", NewUnconstructible, nullptr, nullptr, VT_EMPTY},
    // Tests.Number: a value type (an Int32).
    {u"Tests.Number", nullptr, nullptr, nullptr, VT_I4},
    {nullptr, nullptr, nullptr, nullptr, VT_EMPTY},
};
}
