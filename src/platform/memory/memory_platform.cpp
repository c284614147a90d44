#include "platform/memory/memory_platform.h"

#include <cstring>

#include "common/bytes.h"

namespace quillon::platform {

std::string MemoryPlatform::key_of(std::string_view path) {
  std::vector<std::string> parts;
  std::string cur;
  auto flush = [&] {
    if (cur == "..") {
      if (parts.size() > 1) parts.pop_back();
    } else if (!cur.empty() && cur != ".") {
      parts.push_back(cur);
    }
    cur.clear();
  };
  for (char c : path) {
    if (c == '\\' || c == '/') {
      flush();
    } else {
      cur.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
    }
  }
  flush();
  std::string key;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) key.push_back('\\');
    key += parts[i];
  }
  return key;
}

void MemoryPlatform::add_directory(std::string path, std::uint64_t ref, std::uint32_t attributes) {
  Node n;
  n.directory = true;
  n.file_reference = ref;
  n.attributes = attributes | FILE_ATTRIBUTE_DIRECTORY;
  nodes_[key_of(path)] = {path, n};
}

void MemoryPlatform::add_file(std::string path, std::uint64_t ref, std::uint32_t attributes) {
  Node n;
  n.file_reference = ref;
  n.attributes = attributes ? attributes : FILE_ATTRIBUTE_ARCHIVE;
  nodes_[key_of(path)] = {path, n};
}

void MemoryPlatform::add_link(std::string path, std::string target, std::uint32_t tag, bool directory) {
  Node n;
  n.directory = directory;
  n.attributes = FILE_ATTRIBUTE_REPARSE_POINT | (directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
  n.reparse_tag = tag;
  n.link_target = std::move(target);
  nodes_[key_of(path)] = {path, n};
}

void MemoryPlatform::remove(std::string_view path) { nodes_.erase(key_of(path)); }

void MemoryPlatform::set_volume(char letter, Volume volume) {
  volumes_[static_cast<char>(letter & 0x5F)] = std::move(volume);
}

void MemoryPlatform::deny(std::string path, std::uint32_t code) { denied_[key_of(path)] = code; }

void MemoryPlatform::set_alive(std::uint64_t ref, bool alive) { alive_[ref] = alive; }
void MemoryPlatform::refuse_alive(std::uint64_t ref, std::uint32_t code) { refused_[ref] = code; }

const MemoryPlatform::Node* MemoryPlatform::find(std::string_view path) const {
  auto it = nodes_.find(key_of(path));
  return it == nodes_.end() ? nullptr : &it->second.second;
}

namespace {

class MemoryVolume final : public VolumeDevice {
 public:
  explicit MemoryVolume(const MemoryPlatform::Volume& v) : v_(v) {}
  Result<void> read_exact_at(std::uint64_t offset, std::span<std::byte> out) override {
    if (!in_bounds(v_.bytes.size(), offset, out.size())) return fail(win32::error(win32::ERROR_HANDLE_EOF));
    if (!out.empty()) std::memcpy(out.data(), v_.bytes.data() + offset, out.size());
    return {};
  }
  Result<std::size_t> control(std::uint32_t code, std::span<const std::byte> in, std::span<std::byte> out) override {
    if (!v_.control) return fail(win32::error(win32::ERROR_INVALID_FUNCTION));
    return v_.control(code, in, out);
  }

 private:
  const MemoryPlatform::Volume& v_;
};

class MemoryHandle final : public FileHandle {
 public:
  MemoryHandle(std::string canonical, std::uint64_t ref, std::uint64_t serial,
               const std::map<std::uint64_t, bool>& alive, const std::map<std::uint64_t, std::uint32_t>& refused)
      : canonical_(std::move(canonical)), ref_(ref), serial_(serial), alive_(alive), refused_(refused) {}
  Result<FileIdInfo> file_id_info() override {
    FileIdInfo info;
    info.volume_serial = serial_;
    store_le<std::uint64_t>(info.file_id.data(), ref_);
    return info;
  }
  Result<std::string> final_path_name() override { return "\\\\?\\" + canonical_; }
  Result<bool> reference_alive(std::uint64_t ref) override {
    if ((ref >> 48) == 0) return false;
    if (auto r = refused_.find(ref); r != refused_.end()) return fail(win32::error(r->second));
    auto it = alive_.find(ref);
    return it != alive_.end() && it->second;
  }

 private:
  std::string canonical_;
  std::uint64_t ref_;
  std::uint64_t serial_;
  const std::map<std::uint64_t, bool>& alive_;
  const std::map<std::uint64_t, std::uint32_t>& refused_;
};

bool is_device_path(std::string_view p) { return p.size() == 6 && p.substr(0, 4) == "\\\\.\\" && p[5] == ':'; }

}  // namespace

Result<std::unique_ptr<VolumeDevice>> MemoryPlatform::open_volume(std::string_view device_path) {
  if (!is_device_path(device_path)) return fail(win32::error(win32::ERROR_FILE_NOT_FOUND));
  auto it = volumes_.find(static_cast<char>(device_path[4] & 0x5F));
  if (it == volumes_.end()) return fail(win32::error(win32::ERROR_FILE_NOT_FOUND));
  if (it->second.open_error) return fail(win32::error(*it->second.open_error));
  return std::make_unique<MemoryVolume>(it->second);
}

Result<std::unique_ptr<FileHandle>> MemoryPlatform::open_path(std::string_view path) {
  auto key = key_of(path);
  if (auto d = denied_.find(key); d != denied_.end()) return fail(win32::error(d->second));
  auto it = nodes_.find(key);
  if (it == nodes_.end()) {
    // A missing parent gives "path not found", a missing leaf "file not found".
    auto cut = key.rfind('\\');
    bool parent_exists = cut == std::string::npos || nodes_.count(key.substr(0, cut)) || cut == 2;
    return fail(win32::error(parent_exists ? win32::ERROR_FILE_NOT_FOUND : win32::ERROR_PATH_NOT_FOUND));
  }
  return std::make_unique<MemoryHandle>(it->second.first, it->second.second.file_reference, serial_, alive_, refused_);
}

Result<std::vector<DirectoryEntry>> MemoryPlatform::list_directory(std::string_view path) {
  auto key = key_of(path);
  const Node* dir = find(path);
  bool is_root = key.size() == 2 && key[1] == ':';
  if (!is_root && (!dir || !dir->directory)) return fail(win32::error(win32::ERROR_PATH_NOT_FOUND));
  std::vector<DirectoryEntry> out;
  if (!is_root) {
    out.push_back({".", FILE_ATTRIBUTE_DIRECTORY, 0});
    out.push_back({"..", FILE_ATTRIBUTE_DIRECTORY, 0});
  }
  std::string prefix = key + "\\";
  for (const auto& [k, v] : nodes_) {
    if (k.size() <= prefix.size() || k.compare(0, prefix.size(), prefix) != 0) continue;
    if (k.find('\\', prefix.size()) != std::string::npos) continue;
    const std::string& given = v.first;
    auto cut = given.find_last_of("\\/");
    out.push_back({cut == std::string::npos ? given : given.substr(cut + 1), v.second.attributes,
                   v.second.reparse_tag});
  }
  return out;
}

Result<Metadata> MemoryPlatform::metadata(std::string_view path) {
  const Node* n = find(path);
  if (!n) return fail(win32::error(win32::ERROR_FILE_NOT_FOUND));
  Metadata m;
  m.is_link = n->link_target.has_value();
  if (n->link_target) {
    const Node* t = find(*n->link_target);
    if (!t) return fail(win32::error(win32::ERROR_FILE_NOT_FOUND));
    m.is_directory = t->directory;
  } else {
    m.is_directory = n->directory;
  }
  return m;
}

Result<std::string> MemoryPlatform::full_path_name(std::string_view path) {
  if (path.empty()) return fail(win32::error(win32::ERROR_INVALID_NAME));
  if (path.size() >= 2 && path[1] == ':') return std::string(path);
  // Relative paths resolve against the first volume's root.
  char letter = volumes_.empty() ? 'C' : volumes_.begin()->first;
  return std::string{letter, ':', '\\'} + std::string(path);
}

}  // namespace quillon::platform
