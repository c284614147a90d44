#include "platform/image/containers.h"

#include <algorithm>
#include <array>
#include <expected>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/image/image_file.h"

#if defined(QUILLON_HAVE_LIBEWF) || defined(QUILLON_HAVE_LIBVHDI)
#include <dlfcn.h>
#endif
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
// A container library, loaded when the first image of its kind is opened
// rather than when quillon starts: a raw image, the common case, never pays
// for loading it and what it needs in turn (libewf brings libcrypto and
// zlib). Never unloaded.
class SharedLibrary {
 public:
  explicit SharedLibrary(std::initializer_list<const char*> names) {
    for (const char* name : names)
      if ((handle_ = dlopen(name, RTLD_NOW | RTLD_LOCAL))) return;
    const char* why = dlerror();
    error_ = why ? why : "not found";
  }
  // Where the library cannot be loaded, why.
  const std::string& error() const { return error_; }
  // Sets `f` to the library's function `name`; false when it has none.
  template <class F>
  bool bind(F& f, const char* name) {
    f = handle_ ? reinterpret_cast<F>(dlsym(handle_, name)) : nullptr;
    if (!f && error_.empty()) error_ = std::string("it has no ") + name;
    return f != nullptr;
  }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// The image's error when its container library cannot be loaded.
Error not_loaded(const std::string& path, std::string_view library, const std::string& why) {
  return Error::generic("cannot use image " + path + ": " + std::string(library) + " cannot be loaded (" + why + ")",
                        ErrorKind::unsupported);
}

// The two calls a library's error object is freed and printed with.
template <class E>
struct ErrorCalls {
  void (*free)(E**) = nullptr;
  int (*print)(E*, char*, std::size_t) = nullptr;
};

// The error object a container library call fills in, freed when it goes
// out of scope; one per call, as a failed call appends to the object given.
template <class E>
class LibraryError {
 public:
  explicit LibraryError(const ErrorCalls<E>& calls) : calls_(calls) {}
  LibraryError(const LibraryError&) = delete;
  LibraryError& operator=(const LibraryError&) = delete;
  ~LibraryError() {
    if (e_) calls_.free(&e_);
  }
  E** out() { return &e_; }
  // The library's message, on one line; empty when it gave none.
  std::string message() const {
    if (!e_) return {};
    std::array<char, 1024> text{};
    if (calls_.print(e_, text.data(), text.size()) < 0) return {};
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
  const ErrorCalls<E>& calls_;
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
// The libewf functions quillon calls.
struct EwfApi {
  ErrorCalls<libewf_error_t> errors;
  decltype(&libewf_glob) glob = nullptr;
  decltype(&libewf_glob_free) glob_free = nullptr;
  decltype(&libewf_handle_initialize) handle_initialize = nullptr;
  decltype(&libewf_handle_open) handle_open = nullptr;
  decltype(&libewf_handle_close) handle_close = nullptr;
  decltype(&libewf_handle_free) handle_free = nullptr;
  decltype(&libewf_handle_read_random) handle_read_random = nullptr;
  decltype(&libewf_handle_get_media_size) handle_get_media_size = nullptr;
};

// libewf, loaded on first use; why not when it cannot be.
const std::expected<EwfApi, std::string>& ewf_api() {
  static const std::expected<EwfApi, std::string> api = []() -> std::expected<EwfApi, std::string> {
    SharedLibrary lib({"libewf.so.2", "libewf.so"});
    EwfApi a;
    const bool bound = lib.bind(a.errors.free, "libewf_error_free") &&
                       lib.bind(a.errors.print, "libewf_error_sprint") && lib.bind(a.glob, "libewf_glob") &&
                       lib.bind(a.glob_free, "libewf_glob_free") &&
                       lib.bind(a.handle_initialize, "libewf_handle_initialize") &&
                       lib.bind(a.handle_open, "libewf_handle_open") &&
                       lib.bind(a.handle_close, "libewf_handle_close") &&
                       lib.bind(a.handle_free, "libewf_handle_free") &&
                       lib.bind(a.handle_read_random, "libewf_handle_read_random") &&
                       lib.bind(a.handle_get_media_size, "libewf_handle_get_media_size");
    if (!bound) return std::unexpected(lib.error());
    return a;
  }();
  return api;
}

// Called once ewf_api() has loaded.
const EwfApi& ewf() { return *ewf_api(); }

struct EwfError : LibraryError<libewf_error_t> {
  EwfError() : LibraryError(ewf().errors) {}
};

class EwfSource final : public ImageSource {
 public:
  explicit EwfSource(libewf_handle_t* h) : h_(h) {}
  ~EwfSource() override {
    ewf().handle_close(h_, nullptr);
    ewf().handle_free(&h_, nullptr);
  }
  Result<void> read(std::uint64_t offset, std::span<std::byte> out) override {
    return read_through<EwfError>("libewf", offset, out,
                                  [&](std::byte* buffer, std::size_t size, off64_t at, libewf_error_t** error) {
                                    return ewf().handle_read_random(h_, buffer, size, at, error);
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
  if (const auto& api = ewf_api(); !api) return fail(not_loaded(path, "libewf", api.error()));
  char** names = nullptr;
  int count = 0;
  if (EwfError e; ewf().glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, e.out()) != 1)
    return refuse(e, "cannot find its segment files");
  libewf_handle_t* h = nullptr;
  if (EwfError e; ewf().handle_initialize(&h, e.out()) != 1) {
    ewf().glob_free(names, count, nullptr);
    return refuse(e, "cannot start");
  }
  EwfError open_error;
  const int opened = ewf().handle_open(h, names, count, LIBEWF_OPEN_READ, open_error.out());
  ewf().glob_free(names, count, nullptr);
  if (opened != 1) {
    ewf().handle_free(&h, nullptr);
    return refuse(open_error, "cannot open it (a damaged or incomplete segment?)");
  }
  auto source = std::make_unique<EwfSource>(h);
  size64_t size = 0;
  if (EwfError e; ewf().handle_get_media_size(h, &size, e.out()) != 1 || size == 0)
    return refuse(e, "gives no media size");
  return OpenedContainer{std::move(source), size};
}
#endif

#ifdef QUILLON_HAVE_LIBVHDI
// The libvhdi functions quillon calls.
struct VhdiApi {
  ErrorCalls<libvhdi_error_t> errors;
  decltype(&libvhdi_file_initialize) file_initialize = nullptr;
  decltype(&libvhdi_file_open) file_open = nullptr;
  decltype(&libvhdi_file_close) file_close = nullptr;
  decltype(&libvhdi_file_free) file_free = nullptr;
  decltype(&libvhdi_file_read_buffer_at_offset) file_read_buffer_at_offset = nullptr;
  decltype(&libvhdi_file_get_media_size) file_get_media_size = nullptr;
};

// libvhdi, loaded on first use; why not when it cannot be.
const std::expected<VhdiApi, std::string>& vhdi_api() {
  static const std::expected<VhdiApi, std::string> api = []() -> std::expected<VhdiApi, std::string> {
    SharedLibrary lib({"libvhdi.so.1", "libvhdi.so"});
    VhdiApi a;
    const bool bound = lib.bind(a.errors.free, "libvhdi_error_free") &&
                       lib.bind(a.errors.print, "libvhdi_error_sprint") &&
                       lib.bind(a.file_initialize, "libvhdi_file_initialize") &&
                       lib.bind(a.file_open, "libvhdi_file_open") && lib.bind(a.file_close, "libvhdi_file_close") &&
                       lib.bind(a.file_free, "libvhdi_file_free") &&
                       lib.bind(a.file_read_buffer_at_offset, "libvhdi_file_read_buffer_at_offset") &&
                       lib.bind(a.file_get_media_size, "libvhdi_file_get_media_size");
    if (!bound) return std::unexpected(lib.error());
    return a;
  }();
  return api;
}

// Called once vhdi_api() has loaded.
const VhdiApi& vhdi() { return *vhdi_api(); }

struct VhdiError : LibraryError<libvhdi_error_t> {
  VhdiError() : LibraryError(vhdi().errors) {}
};

class VhdiSource final : public ImageSource {
 public:
  explicit VhdiSource(libvhdi_file_t* f) : f_(f) {}
  ~VhdiSource() override {
    vhdi().file_close(f_, nullptr);
    vhdi().file_free(&f_, nullptr);
  }
  Result<void> read(std::uint64_t offset, std::span<std::byte> out) override {
    return read_through<VhdiError>("libvhdi", offset, out,
                                   [&](std::byte* buffer, std::size_t size, off64_t at, libvhdi_error_t** error) {
                                     return vhdi().file_read_buffer_at_offset(f_, buffer, size, at, error);
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
  if (const auto& api = vhdi_api(); !api) return fail(not_loaded(path, "libvhdi", api.error()));
  libvhdi_file_t* f = nullptr;
  if (VhdiError e; vhdi().file_initialize(&f, e.out()) != 1) return refuse(e, "cannot start");
  if (VhdiError e; vhdi().file_open(f, path.c_str(), LIBVHDI_OPEN_READ, e.out()) != 1) {
    vhdi().file_free(&f, nullptr);
    return refuse(e, "cannot open it");
  }
  auto source = std::make_unique<VhdiSource>(f);
  size64_t size = 0;
  if (VhdiError e; vhdi().file_get_media_size(f, &size, e.out()) != 1 || size == 0)
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
