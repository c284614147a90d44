#pragma once

#include <string>
#include <vector>

namespace quillon::cli {

// The whole run: arguments in (program name first, WTF-8), output through
// the platform. Always returns 0.
int run(const std::vector<std::string>& args);

// The --help text.
std::string usage_text();

}  // namespace quillon::cli
