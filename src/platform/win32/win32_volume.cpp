// The volume device: positioned exact reads and file system control codes
// on a read-only handle of "\\.\X:".
#ifdef _WIN32
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>

#include "common/bytes.h"
#include "platform/win32/aligned_read.h"
#include "platform/win32/win32_support.h"

#include <winioctl.h>

namespace quillon::platform::win32_backend {

namespace {

// ReadFile takes a 32-bit length; larger reads go in pieces of this size (a
// multiple of every sector size).
constexpr std::uint64_t kReadPiece = 1u << 30;
// A read the system interrupted is repeated, a few times at most.
constexpr int kInterruptedRetries = 8;
constexpr DWORD kInterrupted = 10004;  // WSAEINTR

// Offset of BytesPerSector in NTFS_VOLUME_DATA_BUFFER.
constexpr std::size_t kBytesPerSectorOffset = 0x28;

// A heap buffer aligned to a sector, for the reads a non-cached handle takes.
class AlignedBuffer {
 public:
  ~AlignedBuffer() { release(); }
  std::byte* ensure(std::size_t size, std::size_t alignment) {
    if (data_ && size <= size_ && alignment == alignment_) return data_;
    release();
    data_ = static_cast<std::byte*>(::operator new(size, std::align_val_t{alignment}, std::nothrow));
    if (!data_) return nullptr;
    size_ = size;
    alignment_ = alignment;
    return data_;
  }

 private:
  void release() {
    if (data_) ::operator delete(data_, std::align_val_t{alignment_});
    data_ = nullptr;
    size_ = 0;
  }
  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t alignment_ = 0;
};

class Win32Volume final : public VolumeDevice {
 public:
  Win32Volume(UniqueHandle handle, std::wstring path) : handle_(std::move(handle)), path_(std::move(path)) {}

  Result<void> read_exact_at(std::uint64_t offset, std::span<std::byte> out) override {
    if (out.empty()) return {};
    const std::uint32_t sector = sector_size();
    // An aligned request is read straight into the caller's buffer. Devices
    // that also want the buffer address aligned refuse that with
    // ERROR_INVALID_PARAMETER before reading anything; the request then
    // goes through the bounce buffer like an unaligned one.
    const bool buffer_aligned = reinterpret_cast<std::uintptr_t>(out.data()) % sector == 0;
    AlignedPlan plan = plan_aligned_read(offset, out.size(), sector, true, volume_end());
    if (plan.read && plan.read->direct) {
      auto got = read_at(plan.read->start, out.data(), out.size());
      if (got && *got == out.size()) return {};
      if (got) return fail(os_error(ERROR_HANDLE_EOF));
      if (buffer_aligned || !got.error().is_os(ERROR_INVALID_PARAMETER)) return fail(got.error());
      plan = plan_aligned_read(offset, out.size(), sector, false, volume_end());
    }
    if (!plan.read)
      return fail(os_error(plan.failure == PlanFailure::beyond_end ? ERROR_HANDLE_EOF : ERROR_INVALID_PARAMETER));
    const AlignedRead& r = *plan.read;
    std::byte* bounce = bounce_.ensure(static_cast<std::size_t>(r.length), sector);
    if (!bounce) return fail(os_error(ERROR_NOT_ENOUGH_MEMORY));
    auto got = read_at(r.start, bounce, r.length);
    if (!got) return fail(got.error());
    if (*got < r.skip + out.size()) return fail(os_error(ERROR_HANDLE_EOF));
    std::memcpy(out.data(), bounce + r.skip, out.size());
    return {};
  }

  Result<std::size_t> control(std::uint32_t code, std::span<const std::byte> in, std::span<std::byte> out) override {
    constexpr std::size_t kMaxDword = std::numeric_limits<DWORD>::max();
    if (in.size() > kMaxDword || out.size() > kMaxDword) return fail(os_error(ERROR_INVALID_PARAMETER));
    DWORD returned = 0;
    BOOL ok = quillon_volume_control(handle_.get(), path_.c_str(), code,
                                     in.empty() ? nullptr : const_cast<std::byte*>(in.data()),
                                     static_cast<DWORD>(in.size()), out.empty() ? nullptr : out.data(),
                                     static_cast<DWORD>(out.size()), &returned);
    if (!ok) return fail(last_error());
    return std::min<std::size_t>(returned, out.size());
  }

 private:
  // Reads up to `length` bytes at `offset` into `dest`, repeating until the
  // buffer is full or the device has nothing more; gives the count read.
  Result<std::uint64_t> read_at(std::uint64_t offset, std::byte* dest, std::uint64_t length) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max()))
      return fail(os_error(ERROR_HANDLE_EOF));
    LARGE_INTEGER pos;
    pos.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(handle_.get(), pos, nullptr, FILE_BEGIN)) return fail(last_error());
    std::uint64_t done = 0;
    int interrupted = 0;
    while (done < length) {
      DWORD want = static_cast<DWORD>(std::min(length - done, kReadPiece));
      DWORD got = 0;
      if (!ReadFile(handle_.get(), dest + done, want, &got, nullptr)) {
        DWORD code = GetLastError();
        if (code == kInterrupted && interrupted++ < kInterruptedRetries) continue;
        if (code == ERROR_HANDLE_EOF) break;
        return fail(os_error(code));
      }
      if (got == 0) break;
      done += got;
    }
    return done;
  }

  std::uint32_t sector_size() {
    if (!sector_) {
      std::byte data[96] = {};
      auto n = control(FSCTL_GET_NTFS_VOLUME_DATA, {}, data);
      std::uint32_t reported = 0;
      if (n && *n >= kBytesPerSectorOffset + 4) reported = load_le<std::uint32_t>(data + kBytesPerSectorOffset);
      sector_ = usable_sector_size(reported);
    }
    return *sector_;
  }

  std::optional<std::uint64_t> volume_end() {
    if (!end_known_) {
      end_known_ = true;
      GET_LENGTH_INFORMATION info{};
      DWORD returned = 0;
      if (quillon_volume_control(handle_.get(), path_.c_str(), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info,
                                 sizeof info, &returned) &&
          returned >= sizeof info && info.Length.QuadPart > 0) {
        end_ = static_cast<std::uint64_t>(info.Length.QuadPart);
      } else {
        LARGE_INTEGER size;
        if (GetFileSizeEx(handle_.get(), &size) && size.QuadPart > 0) end_ = static_cast<std::uint64_t>(size.QuadPart);
      }
    }
    return end_;
  }

  UniqueHandle handle_;
  std::wstring path_;
  std::optional<std::uint32_t> sector_;
  bool end_known_ = false;
  std::optional<std::uint64_t> end_;
  AlignedBuffer bounce_;
};

}  // namespace

Result<std::unique_ptr<VolumeDevice>> open_volume_device(std::string_view device_path) {
  auto path = wide_text(device_path);
  if (!path) return fail(path.error());
  HANDLE h = CreateFileW(path->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail(last_error());
  return std::unique_ptr<VolumeDevice>(std::make_unique<Win32Volume>(UniqueHandle(h), std::move(*path)));
}

}  // namespace quillon::platform::win32_backend
#endif
