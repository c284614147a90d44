#include "platform/image/containers.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "platform/image/image_file.h"

#ifdef QUILLON_HAVE_LIBEWF
#include <libewf.h>
#endif
#ifdef QUILLON_HAVE_LIBVHDI
#include <libvhdi.h>
#endif

namespace quillon::platform::image {

namespace {

bool tag_at(Bytes b, std::size_t at, std::string_view tag) { return has_tag(b, at, tag); }

Error unreadable(Container kind, const std::string& path) {
  std::string how;
  switch (kind) {
    case Container::ewf:
      how = "mount it with ewfmount (ewf-tools): ewfmount '" + path + "' /mnt/ewf, then --image=/mnt/ewf/ewf1";
      break;
    case Container::vhd:
    case Container::vhdx:
      how = "mount it with vhdimount (libvhdi-utils): vhdimount '" + path +
            "' /mnt/vhdi, then --image=/mnt/vhdi/vhdi1";
      break;
    default:
      how = "attach it read-only with qemu-nbd (qemu-utils): qemu-nbd -r -c /dev/nbd0 '" + path +
            "', then --image=/dev/nbd0; or convert it with qemu-img convert -O raw";
      break;
  }
  return Error::generic("cannot use image " + path + ": it is " + (kind == Container::ewf ? "an " : "a ") +
                            container_name(kind) +
                            " image, which this build does not read; " + how,
                        ErrorKind::unsupported);
}

#if defined(QUILLON_HAVE_LIBEWF) || defined(QUILLON_HAVE_LIBVHDI)
// The error object a container library call fills in, freed when it goes
// out of scope; one per call, as a failed call appends to the object given.
template <class E, void (*Free)(E**), int (*Print)(E*, char*, std::size_t)>
class LibraryError {
 public:
  LibraryError() = default;
  LibraryError(const LibraryError&) = delete;
  LibraryError& operator=(const LibraryError&) = delete;
  ~LibraryError() {
    if (e_) Free(&e_);
  }
  E** out() { return &e_; }
  // The library's message, on one line; empty when it gave none.
  std::string message() const {
    if (!e_) return {};
    std::array<char, 1024> text{};
    if (Print(e_, text.data(), text.size()) < 0) return {};
    std::string out(text.data());
    std::replace(out.begin(), out.end(), '\n', ' ');
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
  }
  // `what`, followed by the library's message when it gave one.
  std::string describe(std::string_view what) const {
    const std::string m = message();
    return m.empty() ? std::string(what) : std::string(what) + " (" + m + ")";
  }

 private:
  E* e_ = nullptr;
};

// Reads through a library call `read(buffer, size, offset, error)` that
// returns the bytes it read: at most 1 GiB at a time (the libraries read at
// most a signed size at once), 0 at the end of the media.
template <class LibError, class ReadCall>
Result<void> read_through(std::string_view library, std::uint64_t offset, std::span<std::byte> out, ReadCall read) {
  while (!out.empty()) {
    const std::size_t n = std::min<std::size_t>(out.size(), 1u << 30);
    LibError error;
    const ssize_t got = read(out.data(), n, static_cast<off64_t>(offset), error.out());
    if (got < 0) return fail(container_read_failure(library, error.describe("the read failed")));
    if (got == 0) return fail(end_of_image());
    out = out.subspan(static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
  }
  return {};
}
#endif

#ifdef QUILLON_HAVE_LIBEWF
using EwfError = LibraryError<libewf_error_t, libewf_error_free, libewf_error_sprint>;

class EwfSource final : public ImageSource {
 public:
  explicit EwfSource(libewf_handle_t* h) : h_(h) {}
  ~EwfSource() override {
    libewf_handle_close(h_, nullptr);
    libewf_handle_free(&h_, nullptr);
  }
  Result<void> read(std::uint64_t offset, std::span<std::byte> out) override {
    return read_through<EwfError>("libewf", offset, out,
                                  [&](std::byte* buffer, std::size_t size, off64_t at, libewf_error_t** error) {
                                    return libewf_handle_read_random(h_, buffer, size, at, error);
                                  });
  }

 private:
  libewf_handle_t* h_;
};

Result<OpenedContainer> open_ewf(const std::string& path) {
  auto refuse = [&](const EwfError& error, const char* what) {
    return fail(Error::generic("cannot use image " + path + ": libewf " + error.describe(what),
                               ErrorKind::invalid_input));
  };
  char** names = nullptr;
  int count = 0;
  if (EwfError e; libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, e.out()) != 1)
    return refuse(e, "cannot find its segment files");
  libewf_handle_t* h = nullptr;
  if (EwfError e; libewf_handle_initialize(&h, e.out()) != 1) {
    libewf_glob_free(names, count, nullptr);
    return refuse(e, "cannot start");
  }
  EwfError open_error;
  const int opened = libewf_handle_open(h, names, count, LIBEWF_OPEN_READ, open_error.out());
  libewf_glob_free(names, count, nullptr);
  if (opened != 1) {
    libewf_handle_free(&h, nullptr);
    return refuse(open_error, "cannot open it (a damaged or incomplete segment?)");
  }
  auto source = std::make_unique<EwfSource>(h);
  size64_t size = 0;
  if (EwfError e; libewf_handle_get_media_size(h, &size, e.out()) != 1 || size == 0)
    return refuse(e, "gives no media size");
  return OpenedContainer{std::move(source), size};
}
#endif

#ifdef QUILLON_HAVE_LIBVHDI
using VhdiError = LibraryError<libvhdi_error_t, libvhdi_error_free, libvhdi_error_sprint>;

class VhdiSource final : public ImageSource {
 public:
  explicit VhdiSource(libvhdi_file_t* f) : f_(f) {}
  ~VhdiSource() override {
    libvhdi_file_close(f_, nullptr);
    libvhdi_file_free(&f_, nullptr);
  }
  Result<void> read(std::uint64_t offset, std::span<std::byte> out) override {
    return read_through<VhdiError>("libvhdi", offset, out,
                                   [&](std::byte* buffer, std::size_t size, off64_t at, libvhdi_error_t** error) {
                                     return libvhdi_file_read_buffer_at_offset(f_, buffer, size, at, error);
                                   });
  }

 private:
  libvhdi_file_t* f_;
};

Result<OpenedContainer> open_vhdi(const std::string& path) {
  auto refuse = [&](const VhdiError& error, const char* what) {
    return fail(Error::generic("cannot use image " + path + ": libvhdi " + error.describe(what),
                               ErrorKind::invalid_input));
  };
  libvhdi_file_t* f = nullptr;
  if (VhdiError e; libvhdi_file_initialize(&f, e.out()) != 1) return refuse(e, "cannot start");
  if (VhdiError e; libvhdi_file_open(f, path.c_str(), LIBVHDI_OPEN_READ, e.out()) != 1) {
    libvhdi_file_free(&f, nullptr);
    return refuse(e, "cannot open it");
  }
  auto source = std::make_unique<VhdiSource>(f);
  size64_t size = 0;
  if (VhdiError e; libvhdi_file_get_media_size(f, &size, e.out()) != 1 || size == 0)
    return refuse(e, "gives no media size");
  return OpenedContainer{std::move(source), size};
}
#endif

}  // namespace

Container detect_container(Bytes head, Bytes tail) {
  if (tag_at(head, 0, "EVF\x09\x0d\x0a\xff") || tag_at(head, 0, "LVF\x09\x0d\x0a\xff") ||
      tag_at(head, 0, "EVF2\x0d\x0a\x81"))
    return Container::ewf;
  if (tag_at(head, 0, "vhdxfile")) return Container::vhdx;
  if (tag_at(head, 0, "conectix")) return Container::vhd;  // dynamic or differencing: a copy of the footer first
  if (tag_at(head, 0, "KDMV") || tag_at(head, 0, "# Disk DescriptorFile")) return Container::vmdk;
  if (tag_at(head, 0, "QFI\xfb")) return Container::qcow;
  if (fixed_vhd_footer(tail)) return Container::fixed_vhd;
  return Container::raw;
}

bool fixed_vhd_footer(Bytes tail) {
  // "conectix", the disk type (2: fixed) at 60 and the checksum at 64, both
  // big-endian; the checksum is the ones' complement of the sum of the
  // footer's other bytes.
  if (tail.size() != 512 || !tag_at(tail, 0, "conectix")) return false;
  auto be32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | std::to_integer<std::uint32_t>(tail[at + i]);
    return v;
  };
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < tail.size(); ++i)
    if (i < 64 || i >= 68) sum += std::to_integer<std::uint32_t>(tail[i]);
  return be32(60) == 2 && be32(64) == ~sum;
}

std::string container_name(Container kind) {
  switch (kind) {
    case Container::raw: return "raw";
    case Container::fixed_vhd: return "fixed VHD";
    case Container::ewf: return "EWF (E01)";
    case Container::vhd: return "VHD";
    case Container::vhdx: return "VHDX";
    case Container::vmdk: return "VMDK";
    case Container::qcow: return "QCOW2";
  }
  return "unknown";
}

bool container_supported(Container kind) {
  switch (kind) {
    case Container::raw:
    case Container::fixed_vhd:
      return true;
#ifdef QUILLON_HAVE_LIBEWF
    case Container::ewf:
      return true;
#endif
#ifdef QUILLON_HAVE_LIBVHDI
    case Container::vhd:
    case Container::vhdx:
      return true;
#endif
    default:
      return false;
  }
}

Result<OpenedContainer> open_container(Container kind, const std::string& path) {
#ifdef QUILLON_HAVE_LIBEWF
  if (kind == Container::ewf) return open_ewf(path);
#endif
#ifdef QUILLON_HAVE_LIBVHDI
  if (kind == Container::vhd || kind == Container::vhdx) return open_vhdi(path);
#endif
  return fail(unreadable(kind, path));
}

}  // namespace quillon::platform::image
