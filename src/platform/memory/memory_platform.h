// An in-memory stand-in for the platform, for unit tests: a small tree of
// files and directories with file ids, volumes backed by byte buffers (with
// an optional handler for control codes), and captured output.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace quillon::platform {

class MemoryPlatform final : public Platform {
 public:
  using ControlHandler =
      std::function<Result<std::size_t>(std::uint32_t, std::span<const std::byte>, std::span<std::byte>)>;

  struct Node {
    bool directory = false;
    std::uint64_t file_reference = 0;  // FileIdInfo low 64 bits
    std::uint32_t attributes = 0;
    std::uint32_t reparse_tag = 0;
    std::optional<std::string> link_target;  // followed by metadata()
  };

  struct Volume {
    std::vector<std::byte> bytes;
    ControlHandler control;  // absent: ERROR_INVALID_FUNCTION
    std::optional<std::uint32_t> open_error;
  };

  // Adds a node at `path` ("E:\a\b"); parents must be added first.
  void add_directory(std::string path, std::uint64_t file_reference, std::uint32_t attributes = 0);
  void add_file(std::string path, std::uint64_t file_reference, std::uint32_t attributes = 0);
  void add_link(std::string path, std::string target, std::uint32_t reparse_tag, bool directory);
  void remove(std::string_view path);
  void set_volume(char letter, Volume volume);
  // A path that open_path refuses with `code` (as a folder without rights).
  void deny(std::string path, std::uint32_t code);
  void set_alive(std::uint64_t file_reference, bool alive);
  // The liveness query of `file_reference` fails with `code` (access denied
  // is how a delete-pending file answers OpenFileById).
  void refuse_alive(std::uint64_t file_reference, std::uint32_t code);

  const std::string& output() const { return output_; }

  Result<std::unique_ptr<VolumeDevice>> open_volume(std::string_view device_path) override;
  Result<std::unique_ptr<FileHandle>> open_path(std::string_view path) override;
  Result<std::vector<DirectoryEntry>> list_directory(std::string_view path) override;
  Result<Metadata> metadata(std::string_view path) override;
  Result<std::string> full_path_name(std::string_view path) override;
  void write_output(std::string_view utf8) override { output_.append(utf8); }

  // Normalised key of a path: separators unified, "." and ".." resolved,
  // trailing separators dropped, ASCII letters folded.
  static std::string key_of(std::string_view path);

 private:
  const Node* find(std::string_view path) const;

  std::map<std::string, std::pair<std::string, Node>> nodes_;  // key -> (path as given, node)
  std::map<char, Volume> volumes_;
  std::map<std::string, std::uint32_t> denied_;
  std::map<std::uint64_t, bool> alive_;
  std::map<std::uint64_t, std::uint32_t> refused_;
  std::uint64_t serial_ = 0x1234abcd;
  std::string output_;
};

}  // namespace quillon::platform
