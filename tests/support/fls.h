// The lines of The Sleuth Kit's fls, as the oracle tests read them:
//   "r/r 66-128-2:\t2/notes.txt", "-/r * 67-128-2:\t2/x", "d/d 5:\t.",
//   "r/r * 68-128-2(realloc):\t2/y".
#pragma once

#include <cctype>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace quillon::test {

struct FlsLine {
  char type = '-';       // the metadata type: 'r' file, 'd' directory, '-' unknown
  bool deleted = false;  // marked "*"
  std::uint64_t record = 0;
  bool reallocated = false;  // "(realloc)": a name left in an index whose record another file now holds
  std::string path;
};

inline std::vector<FlsLine> parse_fls(const std::string& out) {
  std::vector<FlsLine> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const auto tab = line.find(":\t");
    const auto space = line.find(' ');
    if (tab == std::string::npos || space == std::string::npos || space > tab || space < 3) continue;
    FlsLine l;
    l.type = line[space - 1];
    std::string id = line.substr(space + 1, tab - space - 1);
    if (id.starts_with("* ")) l.deleted = true, id.erase(0, 2);
    if (id.empty() || !std::isdigit(static_cast<unsigned char>(id[0]))) continue;
    l.record = std::stoull(id);
    l.reallocated = id.ends_with("(realloc)");
    l.path = line.substr(tab + 2);
    lines.push_back(std::move(l));
  }
  return lines;
}

}  // namespace quillon::test
