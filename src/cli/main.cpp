// Entry point: the arguments arrive as Unicode strings (wmain on Windows)
// and are handed on as WTF-8.
#include <string>
#include <vector>

#include "cli/run.h"
#include "common/large_buffer.h"
#include "common/text.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    std::u16string w(reinterpret_cast<const char16_t*>(argv[i]));
    args.push_back(quillon::utf16_to_wtf8(w));
  }
  return quillon::cli::run(args);
}
#else
int main(int argc, char** argv) {
  quillon::prefer_huge_pages_for_heap();
  std::vector<std::string> args(argv, argv + argc);
  return quillon::cli::run(args);
}
#endif
