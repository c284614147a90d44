#include "datasource/windows/volume.h"

#include "common/text.h"

namespace quillon {

namespace {
bool ascii_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
}  // namespace

std::optional<char> drive_letter_for_path(std::string_view path) {
  std::string_view t = trim_white_space(path);
  if (t.empty()) return std::nullopt;
  if (t.size() >= 4 && t.substr(0, 4) == "\\\\.\\") {
    if (t.size() == 4) return std::nullopt;
    // The character right after the prefix, then the byte after it.
    std::size_t pos = 4;
    char32_t c = decode_wtf8(t, pos);
    if (pos < t.size() && t[pos] == ':' && c < 0x80 && ascii_letter(static_cast<unsigned char>(c)))
      return static_cast<char>(c & ~0x20);
  }
  if (t.size() < 2) return std::nullopt;
  auto first = static_cast<unsigned char>(t[0]);
  if (t[1] == ':' && ascii_letter(first)) return static_cast<char>(first & ~0x20);
  return std::nullopt;
}

std::optional<char> drive_letter_of(platform::Platform& platform, std::string_view path) {
  if (auto l = drive_letter_for_path(path)) return l;
  auto canonical = platform::canonical_path(platform, trim_white_space(path));
  if (!canonical || !is_valid_utf8(*canonical)) return std::nullopt;
  return drive_letter_for_path(*canonical);
}

std::string volume_device_path(char letter) {
  char l = (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter & 0x5F) : letter;
  return std::string("\\\\.\\") + l + ":";
}

Result<VolumeReader> open_volume(platform::Platform& platform, char letter) {
  auto device = platform.open_volume(volume_device_path(letter));
  if (!device) return fail(device.error());
  return VolumeReader(std::move(*device));
}

bool read_exact_into(VolumeReader& reader, std::uint64_t offset, std::span<std::byte> out) {
  return reader.device().read_exact_at(offset, out).has_value();
}

std::optional<std::vector<std::byte>> read_exact_at(VolumeReader& reader, std::uint64_t offset, std::size_t length) {
  std::vector<std::byte> buf(length);
  if (!read_exact_into(reader, offset, buf)) return std::nullopt;
  return buf;
}

std::optional<char> typed_drive_letter(std::string_view path) {
  std::string_view t = trim_white_space(path);
  if (t.starts_with("\\\\?\\") || t.starts_with("\\??\\")) t.remove_prefix(4);
  return drive_letter_for_path(t);
}

std::string canonical_folder(platform::Platform& p, std::string_view path) {
  auto full = p.full_path_name(path);
  if (!full) return std::string(path);
  if (auto handle = p.open_path(*full))
    if (auto final_name = (*handle)->final_path_name()) {
      std::string_view f = *final_name;
      if (f.starts_with("\\\\?\\") || f.starts_with("\\??\\")) f.remove_prefix(4);
      // Only a name on the same drive: the probe reads that drive's volume.
      if (f.size() >= 2 && f[1] == ':' && is_valid_utf8(f) && drive_letter_for_path(f) &&
          drive_letter_for_path(f) == typed_drive_letter(*full))
        return std::string(f);
    }
  if (drive_letter_for_path(*full)) return *full;
  return std::string(path);
}


Result<FolderId> folder_frn(platform::Platform& platform, std::string_view path) {
  auto handle = platform.open_path(path);
  if (!handle) return fail(handle.error());
  auto info = (*handle)->file_id_info();
  if (!info) return fail(info.error());
  FolderId id;
  id.file_id = info->low64();
  id.record = id.file_id & kRecordMask;
  return id;
}

std::shared_ptr<platform::FileHandle> open_volume_root(platform::Platform& platform, char letter) {
  auto handle = platform.open_path(std::string{letter, ':', '\\'});
  if (!handle) return nullptr;
  return std::shared_ptr<platform::FileHandle>(std::move(*handle));
}

}  // namespace quillon
