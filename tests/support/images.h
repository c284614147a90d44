// Test images: the scenario volumes committed under tests/data (compressed)
// and the real Windows volumes of ../shared/real-volumes, unpacked sparse
// into the build directory on first use.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quillon::test {

// tests/data/<name>.img.gz unpacked to <build>/images/<name>.img, or
// nothing when the compressed image is absent.
std::optional<std::filesystem::path> scenario_image(const std::string& name);
// ../shared/real-volumes/<name>.raw.gz unpacked likewise, or nothing when the
// folder or file is absent (callers GTEST_SKIP with a message).
std::optional<std::filesystem::path> real_volume(const std::string& name);

std::filesystem::path source_dir();
std::filesystem::path binary_dir();

// Runs a command through the shell; returns its standard output and sets
// `status` to its exit status.
std::string run_command(const std::string& command, int* status = nullptr);
// `text` as one word for the shell: in single quotes, each ' written '\''.
std::string shell_quote(const std::string& text);

}  // namespace quillon::test
