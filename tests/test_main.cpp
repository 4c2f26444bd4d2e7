// The main of every test program: doctest, or a registered child function
// when started with --child=<name>.
#define DOCTEST_CONFIG_IMPLEMENT
#include "test.h"

// A child that crashes (a trap of the checked build, say) ends with the
// exception's code: under Wine it would otherwise be reported as exit code 0.
static LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS* e) {
  TerminateProcess(GetCurrentProcess(), e->ExceptionRecord->ExceptionCode);
  return EXCEPTION_CONTINUE_SEARCH;
}

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; i++) {
    std::wstring arg = argv[i];
    // Started by the batch file of an uninstall that ran in this program:
    // as the tool, it pauses, or warns (nobody to answer here), and ends.
    if (arg == L"/wait") return Sleep(2000), 0;
    if (arg.compare(0, 8, L"/warning") == 0) return 0;
    if (arg.compare(0, 8, L"--child=") == 0) {
      SetUnhandledExceptionFilter(EndWithExceptionCode);
      return RunRegisteredChild(Narrow(arg.substr(8)));
    }
  }
  std::vector<std::string> args;
  for (int i = 0; i < argc; i++) args.push_back(Narrow(argv[i]));
  std::vector<const char*> pointers;
  for (auto& a : args) pointers.push_back(a.c_str());
  doctest::Context context((int)pointers.size(), pointers.data());
  return context.run();
}
