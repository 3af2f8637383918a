// LogProbe: the log call as a program sees it from the folder it is installed in.
//   LogProbe log CONTEXT MESSAGE   logs one line
//   LogProbe call                  calls ExtendedLogMessage with two empty texts and
//                                  prints the status in hexadecimal
#include <cstdio>
#include <cstring>
#include <string>

#include "base/unicode.h"
#include "log/Log.h"
#include "log/ManagedCall.h"

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "log") == 0) {
    const std::u16string context = base::from_utf8(argv[2]), message = base::from_utf8(argv[3]);
    Log(context.c_str(), message.c_str());
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "call") == 0) {
    VARIANT args[2];
    for (VARIANT& arg : args) {
      VariantInit(&arg);
      arg.vt = VT_I8;
      arg.llVal = reinterpret_cast<LONG_PTR>(u"");
    }
    VARIANT result;
    VariantInit(&result);
    const HRESULT hr =
        CallManagedMethod("TsoExtractAccess", "Tsovane.ExtractAccess", u"ExtendedLogMessage", 2, args, &result);
    std::printf("%08X\n", static_cast<unsigned>(hr));
    return 0;
  }
  std::fprintf(stderr, "usage: LogProbe log CONTEXT MESSAGE | LogProbe call\n");
  return 2;
}
