#include "platform/image/image_platform.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <unordered_map>

#include "common/bytes.h"
#include "common/text.h"
#include "platform/image/boot_sector.h"
#include "platform/image/control_codes.h"
#include "platform/image/image_backend.h"
#include "platform/image/image_file.h"
#include "platform/image/image_paths.h"
#include "platform/image/ntfs_volume.h"
#include "platform/image/partition.h"

namespace quillon::platform {

namespace {

using image::FileRecord;
using image::IndexEntry;
using image::NtfsReader;
using image::NtfsVolume;
using win32::error;

constexpr int kMaxLinkDepth = 32;  // links followed for one path before giving up

// A file the image's file system needs that cannot be read. (A failed read
// of the image itself carries its own error: image::read_failure.)
Error read_error() { return error(win32::ERROR_READ_FAULT); }

// What every handle and the platform share: the volume and one reader for
// the file-system calls, which may come from any thread.
struct Shared {
  std::shared_ptr<const NtfsVolume> volume;
  char letter;
  bool can_change;
  std::mutex mutex;
  std::unique_ptr<NtfsReader> reader;
  std::unique_ptr<image::DirectorySource> directories;
  image::ControlAnswer control;
  // Where the image cannot change, what each reference asked of whether it
  // lives answered (empty: a record that does not hold together), so that
  // the phases that judge one record in turn read it once; up to a bound.
  static constexpr std::size_t kMaxAnswers = std::size_t{1} << 16;
  std::unordered_map<std::uint64_t, std::optional<bool>> alive;
};

// Directories as the volume's own $I30 indexes list them.
class IndexDirectories final : public image::DirectorySource {
 public:
  std::optional<IndexEntry> find(NtfsReader& r, const FileRecord& dir, std::u16string_view name) override {
    return r.find_in_index(dir, name);
  }
  std::shared_ptr<const image::DirectoryListing> listing(NtfsReader& r, const FileRecord& dir) override {
    return r.listing(dir);
  }
};

std::u16string utf16(std::string_view s) { return wtf8_to_utf16(s); }
std::string utf8(std::u16string_view s) { return utf16_to_wtf8(std::span<const char16_t>(s.data(), s.size())); }

bool is_link_tag(std::uint32_t tag) { return tag & REPARSE_TAG_NAME_SURROGATE; }

// A disk or partition read through its device node can still change under
// the program; an image file cannot.
bool is_block_device(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_block_file(path, ec);
}

class ImageDevice final : public VolumeDevice {
 public:
  ImageDevice(std::unique_ptr<NtfsReader> r, bool block_device, image::ControlAnswer control)
      : r_(std::move(r)), block_device_(block_device), control_(std::move(control)) {}
  bool can_change() const override { return block_device_; }
  Result<void> read_exact_at(std::uint64_t offset, std::span<std::byte> out) override {
    if (!in_bounds(r_->volume().device_length(), offset, out.size())) return fail(error(win32::ERROR_HANDLE_EOF));
    return r_->read_volume(offset, out);
  }
  Result<std::size_t> control(std::uint32_t code, std::span<const std::byte> in, std::span<std::byte> out) override {
    return control_(*r_, code, in, out);
  }

 private:
  std::unique_ptr<NtfsReader> r_;
  bool block_device_;
  image::ControlAnswer control_;
};

// A path resolved to a file of the image.
struct Resolved {
  FileRecord record;
  std::vector<std::string> names;  // from the root, as stored (long names)
  bool link = false;               // the last name is a symbolic link or junction
};

class ImageHandle final : public FileHandle {
 public:
  ImageHandle(std::shared_ptr<Shared> s, std::uint64_t reference, std::string final_path)
      : s_(std::move(s)), reference_(reference), final_(std::move(final_path)) {}
  Result<FileIdInfo> file_id_info() override {
    FileIdInfo info;
    info.volume_serial = s_->volume->boot().serial;
    store_le<std::uint64_t>(info.file_id.data(), reference_);
    return info;
  }
  Result<std::string> final_path_name() override { return final_; }
  Result<bool> reference_alive(std::uint64_t ref) override {
    if ((ref >> 48) == 0) return false;
    std::lock_guard lock(s_->mutex);
    std::optional<bool> in_use;
    if (auto known = s_->alive.find(ref); known != s_->alive.end()) {
      in_use = known->second;
    } else {
      in_use = s_->reader->reference_in_use(ref);
      if (!s_->can_change && s_->alive.size() < Shared::kMaxAnswers) s_->alive.emplace(ref, in_use);
    }
    // A record the file system cannot read soundly: NTFS fails the open as
    // corrupt, which tells nothing of whether the file lives.
    if (!in_use) return fail(error(win32::ERROR_FILE_CORRUPT));
    return *in_use;
  }

 private:
  std::shared_ptr<Shared> s_;
  std::uint64_t reference_;
  std::string final_;
};

class ImagePlatform final : public Platform {
 public:
  explicit ImagePlatform(std::shared_ptr<Shared> s) : s_(std::move(s)) {}

  Result<std::unique_ptr<VolumeDevice>> open_volume(std::string_view device_path) override {
    if (device_path.size() != 6 || device_path.substr(0, 4) != "\\\\.\\" || device_path[5] != ':' ||
        (device_path[4] & 0x5F) != s_->letter)
      return fail(error(win32::ERROR_FILE_NOT_FOUND));
    auto file = s_->reader->file().reopen();
    if (!file) return fail(error(win32::ERROR_ACCESS_DENIED));
    return std::unique_ptr<VolumeDevice>(std::make_unique<ImageDevice>(
        std::make_unique<NtfsReader>(s_->volume, std::move(*file)), s_->can_change, s_->control));
  }

  Result<std::unique_ptr<FileHandle>> open_path(std::string_view path) override {
    std::lock_guard lock(s_->mutex);
    auto r = resolve(path, true, 0);
    if (!r) return fail(r.error());
    return std::unique_ptr<FileHandle>(std::make_unique<ImageHandle>(s_, r->record.reference(), final_of(*r)));
  }

  Result<std::vector<DirectoryEntry>> list_directory(std::string_view path) override {
    std::lock_guard lock(s_->mutex);
    auto r = resolve(path, true, 0);
    if (!r) return fail(r.error().is_os(win32::ERROR_FILE_NOT_FOUND) ? error(win32::ERROR_PATH_NOT_FOUND) : r.error());
    if (!r->record.header.directory()) return fail(error(win32::ERROR_DIRECTORY));
    NtfsReader& rd = *s_->reader;
    std::vector<DirectoryEntry> out;
    const bool root = r->record.number == image::kRootRecord;
    if (!root) {
      out.push_back({".", r->record.win32_attributes(), 0});
      std::uint32_t parent_attrs = FILE_ATTRIBUTE_DIRECTORY;
      for (const auto& n : r->record.names())
        if (auto p = rd.load(n.parent & image::kRecordNumberMask)) {
          parent_attrs = p->win32_attributes();
          break;
        }
      out.push_back({"..", parent_attrs, 0});
    }
    const auto index = s_->directories->listing(rd, r->record);
    for (const IndexEntry& e : index->entries) {
      if (e.key.dos_only()) continue;  // the short twin of a long name
      std::uint64_t n = e.reference & image::kRecordNumberMask;
      if (root && n < image::kFirstUserRecord) continue;  // metafiles are reached by name only
      if (n >= rd.volume().mft_records()) continue;       // an entry that points outside the $MFT
      DirectoryEntry d;
      d.name = utf8(e.key.name);
      auto f = rd.load_reference(e.reference);
      if (f) {
        d.attributes = f->win32_attributes();
        d.reparse_tag = f->reparse_tag().value_or(0);
      } else {
        // The record no longer matches its entry; the entry's own copy of
        // the attributes is what a directory enumeration shows.
        d.attributes = e.key.attributes & 0x0FFFFFFF;
        if (e.key.attributes & 0x10000000) d.attributes |= FILE_ATTRIBUTE_DIRECTORY;
        if (d.attributes & FILE_ATTRIBUTE_REPARSE_POINT) d.reparse_tag = e.key.reparse_tag;
        if (d.attributes == 0) d.attributes = FILE_ATTRIBUTE_NORMAL;
      }
      if (!(d.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) d.reparse_tag = 0;
      out.push_back(std::move(d));
    }
    return out;
  }

  Result<Metadata> metadata(std::string_view path) override {
    std::lock_guard lock(s_->mutex);
    auto r = resolve(path, true, 0);
    if (!r) return fail(r.error());
    return Metadata{r->record.header.directory(), r->link};
  }

  Result<std::string> full_path_name(std::string_view path) override {
    auto full = image::full_path(path, s_->letter);
    if (!full) return fail(error(win32::ERROR_INVALID_NAME));
    return *full;
  }

  void write_output(std::string_view utf8) override { write_native_output(utf8); }

 private:
  std::string final_of(const Resolved& r) const {
    std::string out = "\\\\?\\";
    out.push_back(s_->letter);
    out += ":\\";
    for (std::size_t i = 0; i < r.names.size(); ++i) {
      if (i) out.push_back('\\');
      out += r.names[i];
    }
    return out;
  }

  // Where a junction or symbolic link points, as a path of this drive, or
  // nothing when it points elsewhere (another drive, a volume GUID path).
  std::optional<std::string> link_target(const FileRecord& link, const std::vector<std::string>& parent_names) {
    NtfsReader& rd = *s_->reader;
    const image::Attribute* rp = link.find(image::kAttrReparsePoint);
    if (!rp) return std::nullopt;
    auto v = rd.attribute_value(*rp, 16 * 1024);
    if (!v) return std::nullopt;
    Bytes b = *v;
    auto tag = u32_at(b, 0);
    if (!tag) return std::nullopt;
    std::uint64_t buffer = 0;
    bool relative = false;
    if (*tag == IO_REPARSE_TAG_MOUNT_POINT) {
      buffer = 16;
    } else if (*tag == IO_REPARSE_TAG_SYMLINK) {
      buffer = 20;
      relative = u32_at(b, 16).value_or(0) & 1;
    } else {
      return std::nullopt;
    }
    auto off = u16_at(b, 8), len = u16_at(b, 10);
    if (!off || !len || *len == 0) return std::nullopt;
    auto units = image::utf16_at(b, buffer + *off, *len / 2u);
    if (!units) return std::nullopt;
    std::string target = utf8(*units);
    if (relative) {
      std::string base{s_->letter, ':', '\\'};
      for (const auto& n : parent_names) base += n + "\\";
      return base + target;
    }
    if (target.starts_with("\\??\\")) target.erase(0, 4);
    if (target.size() < 2 || target[1] != ':' || (target[0] & 0x5F) != s_->letter) return std::nullopt;
    return target;
  }

  // Walks `path` down from the root through the directory indexes, following
  // junctions and symbolic links that stay on this drive.
  Result<Resolved> resolve(std::string_view path, bool follow_last, int depth) {
    auto split = image::split_path(path, s_->letter);
    if (!split || split->letter != s_->letter) return fail(error(win32::ERROR_PATH_NOT_FOUND));
    NtfsReader& rd = *s_->reader;
    auto root = rd.load(image::kRootRecord);
    if (!root) return fail(read_error());
    Resolved cur{*root, {}, false};
    const auto& names = split->names;
    for (std::size_t i = 0; i < names.size(); ++i) {
      const bool last = i + 1 == names.size();
      const auto missing = error(last ? win32::ERROR_FILE_NOT_FOUND : win32::ERROR_PATH_NOT_FOUND);
      if (!cur.record.header.directory()) return fail(error(win32::ERROR_PATH_NOT_FOUND));
      auto wanted = utf16(names[i]);
      auto entry = s_->directories->find(rd, cur.record, wanted);
      if (!entry) return fail(missing);
      auto f = rd.load_reference(entry->reference);
      if (!f) return fail(missing);
      std::string stored = utf8(entry->key.name);
      if (entry->key.dos_only())
        for (const auto& n : f->names())
          if (!n.dos_only() && (n.parent & image::kRecordNumberMask) == cur.record.number) {
            stored = utf8(n.name);
            break;
          }
      auto tag = f->reparse_tag();
      bool link = tag && is_link_tag(*tag);
      if (link && (!last || follow_last)) {
        auto target = depth < kMaxLinkDepth ? link_target(*f, cur.names) : std::nullopt;
        if (target) {
          std::string rest = *target;
          for (std::size_t k = i + 1; k < names.size(); ++k) rest += "\\" + names[k];
          auto r = resolve(rest, follow_last, depth + 1);
          if (r && last) r->link = true;
          return r;
        }
        // A link that leaves the image: what lies behind it is unknown, so
        // the link stands for itself.
        if (!last) return fail(error(win32::ERROR_PATH_NOT_FOUND));
      }
      cur.record = std::move(*f);
      cur.names.push_back(std::move(stored));
      cur.link = link;
    }
    return cur;
  }

  std::shared_ptr<Shared> s_;
};

}  // namespace

Result<std::uint64_t> partition_offset(const std::string& path, unsigned number) {
  auto file = image::ImageFile::open(path);
  if (!file) return fail(file.error());
  const image::ReadAt read = [&](std::uint64_t off, std::span<std::byte> out) {
    return file->read(off, out).has_value();
  };
  auto parts = image::list_partitions(read, file->size());
  auto refuse = [&](const std::string& why) {
    return fail(Error::generic("cannot use image " + path + ": " + why + "; " + image::describe_partitions(parts),
                               ErrorKind::invalid_input));
  };
  auto it = std::find_if(parts.begin(), parts.end(), [&](const image::PartitionInfo& p) { return p.number == number; });
  if (it == parts.end()) return refuse("it has no partition " + std::to_string(number));
  if (!it->ntfs)
    return refuse("partition " + std::to_string(it->number) + " at byte " + std::to_string(it->offset) +
                  " holds no NTFS volume");
  return it->offset;
}

Result<std::unique_ptr<Platform>> open_image_platform(const ImageOptions& options, std::vector<std::string>* notes,
                                                      ImageFacts* facts) {
  auto file = image::ImageFile::open(options.file);
  if (!file) return fail(file.error());
  image::VolumeExtent extent;
  const image::ReadAt read = [&](std::uint64_t off, std::span<std::byte> out) {
    return file->read(off, out).has_value();
  };
  auto refuse = [&](const std::string& why) {
    return fail(Error::generic("cannot use image " + options.file + ": " + why + "; " +
                                   image::describe_partitions(image::list_partitions(read, file->size())),
                               ErrorKind::invalid_input));
  };
  if (options.offset) {
    if (*options.offset >= file->size())
      return fail(Error::generic("cannot use image " + options.file + ": the offset " +
                                     std::to_string(*options.offset) + " lies past its end (" +
                                     std::to_string(file->size()) + " bytes)",
                                 ErrorKind::invalid_input));
    extent = {*options.offset, file->size() - *options.offset};
    // The volume ends where its partition does, if the offset starts one:
    // that is where a damaged boot sector's backup lies.
    for (const auto& p : image::list_partitions(read, file->size()))
      if (p.offset == *options.offset) extent.length = std::min(p.length, extent.length);
  } else {
    auto found = image::locate_ntfs_volume(read, file->size());
    if (!found)
      return fail(Error::generic("cannot use image " + options.file +
                                     ": no NTFS volume found (neither at its start nor in an MBR or GPT partition)",
                                 ErrorKind::invalid_input));
    extent = *found;
  }
  auto volume = NtfsVolume::open(*file, extent);
  if (!volume && options.offset) {
    // An offset that does not start an NTFS volume: say where the volumes are.
    std::array<std::byte, 512> sector{};
    if (!file->read(*options.offset, sector) || !image::has_ntfs_signature(sector))
      return refuse("no NTFS volume at byte " + std::to_string(*options.offset));
  }
  if (!volume) return fail(volume.error());
  if (notes) *notes = (*volume)->notes();
  if (facts) {
    facts->volume_offset = extent.offset;
    facts->volume_bytes = (*volume)->boot().volume_bytes();
    facts->present_bytes = std::min(facts->volume_bytes, file->size() - extent.offset);
  }
  image::BackendParts parts{*volume, std::move(*file), options.letter, is_block_device(options.file), nullptr, nullptr};
  return image::make_ntfs_platform(std::move(parts));
}

std::unique_ptr<Platform> image::make_ntfs_platform(BackendParts parts) {
  auto shared = std::make_shared<Shared>();
  shared->volume = parts.volume;
  shared->letter = static_cast<char>(parts.letter & 0x5F);
  shared->can_change = parts.can_change;
  shared->reader = std::make_unique<NtfsReader>(parts.volume, std::move(parts.file));
  // Each directory is listed once for the whole run, so that a probe of a
  // folder of n files costs about n, not n lookups through n entries. A
  // device may change under the program: there every listing is read anew.
  shared->reader->keep_listings(!parts.can_change);
  shared->directories = parts.directories ? std::move(parts.directories) : std::make_unique<IndexDirectories>();
  if (parts.control)
    shared->control = std::move(parts.control);
  else
    shared->control = [](NtfsReader& r, std::uint32_t code, Bytes in, std::span<std::byte> out) {
      return image::answer_control(r, code, in, out);
    };
  return std::unique_ptr<Platform>(std::make_unique<ImagePlatform>(std::move(shared)));
}

std::string missing_volume_note(const ImageFacts& facts) {
  if (facts.present_bytes >= facts.volume_bytes) return {};
  const std::uint64_t missing = facts.volume_bytes - facts.present_bytes;
  // Tenths of a percent, rounded up so that a small loss never reads as 0.
  const auto permille = static_cast<std::uint64_t>(
      std::ceil(static_cast<double>(missing) * 1000.0 / static_cast<double>(facts.volume_bytes)));
  return "Note: the image ends before its volume does: " + std::to_string(missing) + " of its " +
         std::to_string(facts.volume_bytes) + " bytes are missing (" + std::to_string(permille / 10) + "." +
         std::to_string(permille % 10) + "%, from byte " + std::to_string(facts.present_bytes) +
         " of the volume on); what lay there reads as unreadable sectors\n";
}

}  // namespace quillon::platform
