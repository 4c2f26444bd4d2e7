// The main of every test program: doctest, or a registered child function
// when started with --child=<name>.
#define DOCTEST_CONFIG_IMPLEMENT
#include "test.h"

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; i++) {
    std::wstring arg = argv[i];
    if (arg.compare(0, 8, L"--child=") == 0) {
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
