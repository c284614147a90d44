#include "engine/progress.h"

#include <string>

namespace quillon {

bool Progress::should_print(std::uint64_t index, std::uint64_t total) {
  return index % 5000 == 0 || index + 1 == total;
}

void Progress::operator()(std::uint64_t index, std::uint64_t total, std::string_view message) const {
  if (!sink_ || !should_print(index, total)) return;
  std::string line = "  [" + std::to_string(index) + "/" + std::to_string(total) + "] ";
  line += message;
  line += '\n';
  sink_(line);
}

const Progress& standard_progress() {
  static const Progress standard;
  return standard;
}

}  // namespace quillon
