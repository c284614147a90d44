// The Win32 backend against the system it runs on (Windows, or Wine): volume
// reads through a handle, listings, file ids, metadata, path names, error
// texts and redirected output. The drive tests at the end need a test volume
// mapped as E: (tools/windows-build.sh sets that up) and skip otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/text.h"
#include "platform/image/image_platform.h"
#include "platform/platform.h"
#include "platform/win32/win32_support.h"

namespace quillon::platform {
namespace {

using win32_backend::system_text;
using win32_backend::UniqueHandle;

std::wstring W(std::string_view utf8) {
  auto u = wtf8_to_utf16(utf8);
  return std::wstring(u.begin(), u.end());
}

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end.
class TempTree {
 public:
  TempTree() {
    wchar_t base[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, base);
    std::string b = win32_backend::narrow(base, n);
    if (!b.empty() && b.back() != '\\') b += '\\';
    root_ = b + "quillon-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter_++);
    make_dir("");
  }
  ~TempTree() { remove_all(root_); }
  const std::string& root() const { return root_; }
  std::string path(const std::string& rel) const { return rel.empty() ? root_ : root_ + "\\" + rel; }
  void make_dir(const std::string& rel) const { ASSERT_TRUE(CreateDirectoryW(W(path(rel)).c_str(), nullptr)) << rel; }
  void make_file(const std::string& rel, const std::vector<std::byte>& bytes = {}) const {
    UniqueHandle h(CreateFileW(W(path(rel)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(h.valid()) << rel;
    DWORD written = 0;
    if (!bytes.empty()) {
      ASSERT_TRUE(WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    }
  }

 private:
  static void remove_all(const std::string& dir) {
    WIN32_FIND_DATAW d;
    HANDLE f = FindFirstFileW(W(dir + "\\*").c_str(), &d);
    if (f != INVALID_HANDLE_VALUE) {
      do {
        std::string name = win32_backend::narrow(d.cFileName, wcslen(d.cFileName));
        if (name == "." || name == "..") continue;
        std::string p = dir + "\\" + name;
        if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          remove_all(p);
        else
          DeleteFileW(W(p).c_str());
      } while (FindNextFileW(f, &d));
      FindClose(f);
    }
    RemoveDirectoryW(W(dir).c_str());
  }
  static inline int counter_ = 0;
  std::string root_;
};

std::vector<std::byte> pattern(std::size_t n) {
  std::vector<std::byte> b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::byte>((i * 7 + (i >> 8)) & 0xFF);
  return b;
}

Platform& native() {
  static auto p = make_native_platform();
  return *p;
}

// Expects an OS error with `code` whose text is the system's message
// without a trailing line break.
void expect_os_error(const Error& e, DWORD code) {
  EXPECT_TRUE(e.is_os(code)) << e.text();
  EXPECT_EQ(e.message(), system_text(code));
  EXPECT_FALSE(e.message().empty());
  EXPECT_EQ(e.message().find_first_of("\r\n"), std::string::npos) << e.message();
  EXPECT_EQ(e.text(), e.message() + " (os error " + std::to_string(code) + ")");
}

TEST(Win32Volume, ExactReadsAtAnyOffsetMatchTheBytes) {
  TempTree t;
  const auto bytes = pattern(5000);  // a last sector that is cut short
  t.make_file("vol.bin", bytes);
  auto dev = native().open_volume(t.path("vol.bin"));
  ASSERT_TRUE(dev) << dev.error().text();
  struct Case {
    std::uint64_t offset;
    std::size_t length;
  };
  for (Case c : {Case{0, 512}, Case{512, 1024}, Case{3, 100}, Case{510, 4}, Case{1000, 3000}, Case{4990, 10},
                 Case{4608, 392}, Case{0, 5000}, Case{4999, 1}}) {
    std::vector<std::byte> out(c.length, std::byte{0xEE});
    auto r = (*dev)->read_exact_at(c.offset, out);
    ASSERT_TRUE(r) << c.offset << "+" << c.length << ": " << r.error().text();
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + c.offset)) << c.offset << "+" << c.length;
  }
  // A buffer at an odd address is served as well.
  std::vector<std::byte> odd(513);
  ASSERT_TRUE((*dev)->read_exact_at(512, std::span(odd).subspan(1)));
  EXPECT_TRUE(std::equal(odd.begin() + 1, odd.end(), bytes.begin() + 512));
  // Nothing to read succeeds without touching the device.
  EXPECT_TRUE((*dev)->read_exact_at(1 << 20, {}));
}

TEST(Win32Volume, ReadsPastTheEndFailWithEndOfFile) {
  TempTree t;
  t.make_file("vol.bin", pattern(4096));
  auto dev = native().open_volume(t.path("vol.bin"));
  ASSERT_TRUE(dev);
  std::vector<std::byte> out(16);
  for (std::uint64_t offset : {4090ull, 4096ull, 8192ull, 1ull << 40, (1ull << 63) + 5, ~0ull - 3}) {
    auto r = (*dev)->read_exact_at(offset, out);
    ASSERT_FALSE(r) << offset;
    expect_os_error(r.error(), ERROR_HANDLE_EOF);
  }
  // The handle still reads after the failures.
  ASSERT_TRUE((*dev)->read_exact_at(4080, out));
}

TEST(Win32Volume, OpenAndControlFailuresCarryTheSystemText) {
  TempTree t;
  auto missing = native().open_volume(t.path("none.bin"));
  ASSERT_FALSE(missing);
  expect_os_error(missing.error(), ERROR_FILE_NOT_FOUND);
  using namespace std::string_view_literals;
  auto nul = native().open_volume("\\\\.\\E:\0x"sv);
  ASSERT_FALSE(nul);
  expect_os_error(nul.error(), ERROR_INVALID_NAME);

  t.make_file("vol.bin", pattern(1024));
  auto dev = native().open_volume(t.path("vol.bin"));
  ASSERT_TRUE(dev);
  std::byte out[96];
  auto r = (*dev)->control(FSCTL_GET_NTFS_VOLUME_DATA, {}, out);  // a plain file is no NTFS volume
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().os_code(), 0u);
  EXPECT_EQ(r.error().message(), system_text(r.error().os_code()));
}

std::set<std::string> names_of(const std::vector<DirectoryEntry>& entries) {
  std::set<std::string> names;
  for (const auto& e : entries) names.insert(e.name);
  return names;
}

TEST(Win32Files, ListingsGiveNamesAndAttributes) {
  TempTree t;
  t.make_dir("d");
  t.make_file("d\\a.txt", pattern(10));
  t.make_file("d\\新建文本文档.txt");
  t.make_dir("d\\sub");
  auto list = native().list_directory(t.path("d"));
  ASSERT_TRUE(list) << list.error().text();
  EXPECT_EQ(names_of(*list), (std::set<std::string>{".", "..", "a.txt", "新建文本文档.txt", "sub"}));
  for (const auto& e : *list) {
    bool dir = e.name == "." || e.name == ".." || e.name == "sub";
    EXPECT_EQ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, dir) << e.name;
    EXPECT_EQ(e.reparse_tag, 0u) << e.name;
  }
  // A trailing separator lists the same directory.
  auto again = native().list_directory(t.path("d") + "\\");
  ASSERT_TRUE(again);
  EXPECT_EQ(names_of(*again), names_of(*list));
  // An empty subdirectory still lists "." and "..".
  auto sub = native().list_directory(t.path("d\\sub"));
  ASSERT_TRUE(sub);
  EXPECT_EQ(names_of(*sub), (std::set<std::string>{".", ".."}));

  auto missing = native().list_directory(t.path("nothing"));
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is_os(ERROR_FILE_NOT_FOUND) || missing.error().is_os(ERROR_PATH_NOT_FOUND))
      << missing.error().text();
}

TEST(Win32Files, MetadataTellsDirectoriesFromFiles) {
  TempTree t;
  t.make_dir("d");
  t.make_file("d\\f");
  auto d = native().metadata(t.path("d"));
  ASSERT_TRUE(d) << d.error().text();
  EXPECT_TRUE(d->is_directory);
  EXPECT_FALSE(d->is_link);
  auto f = native().metadata(t.path("d\\f"));
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->is_directory);
  EXPECT_FALSE(f->is_link);
  auto none = native().metadata(t.path("d\\g"));
  ASSERT_FALSE(none);
  expect_os_error(none.error(), ERROR_FILE_NOT_FOUND);
}

TEST(Win32Files, PathsLongerThanMaxPathWork) {
  TempTree t;
  std::string rel;
  for (int i = 0; i < 4; ++i) {
    rel += (rel.empty() ? "" : "\\") + std::string(90, static_cast<char>('a' + i));
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + W(t.path(rel))).c_str(), nullptr)) << i;
  }
  std::string deep = t.path(rel);
  ASSERT_GT(deep.size(), 300u);
  auto m = native().metadata(deep);
  ASSERT_TRUE(m) << m.error().text();
  EXPECT_TRUE(m->is_directory);
  auto list = native().list_directory(deep);
  ASSERT_TRUE(list) << list.error().text();
  auto h = native().open_path(deep);
  ASSERT_TRUE(h) << h.error().text();
  auto full = native().full_path_name(deep);
  ASSERT_TRUE(full);
  EXPECT_EQ(*full, deep);  // no prefix in what the program sees
  for (int i = 3; i >= 0; --i) {
    RemoveDirectoryW((L"\\\\?\\" + W(t.path(rel))).c_str());
    rel = rel.substr(0, rel.size() > 91 ? rel.size() - 91 : 0);
  }
}

TEST(Win32Files, FileIdsAndFinalPathNames) {
  TempTree t;
  t.make_dir("d");
  t.make_file("d\\one");
  t.make_file("d\\two");
  auto a = native().open_path(t.path("d\\one"));
  auto a2 = native().open_path(t.path("d\\.\\one"));
  auto b = native().open_path(t.path("d\\two"));
  auto dir = native().open_path(t.path("d"));
  ASSERT_TRUE(a && a2 && b && dir);
  auto ia = (*a)->file_id_info();
  auto ia2 = (*a2)->file_id_info();
  auto ib = (*b)->file_id_info();
  ASSERT_TRUE(ia && ia2 && ib) << (ia ? "" : ia.error().text());
  EXPECT_EQ(ia->file_id, ia2->file_id);
  EXPECT_NE(ia->file_id, ib->file_id);
  EXPECT_EQ(ia->volume_serial, ib->volume_serial);
  EXPECT_NE(ia->low64(), 0u);

  auto final_dir = (*dir)->final_path_name();
  ASSERT_TRUE(final_dir) << final_dir.error().text();
  EXPECT_EQ(ascii_lower(*final_dir), ascii_lower("\\\\?\\" + t.path("d")));
  auto final_a = (*a2)->final_path_name();
  ASSERT_TRUE(final_a);
  EXPECT_EQ(ascii_lower(*final_a), ascii_lower("\\\\?\\" + t.path("d\\one")));

  // canonical_path goes through the platform it is given: full path name,
  // open, final path name.
  auto canon = canonical_path(native(), t.path("d\\sub\\..\\one"));
  ASSERT_TRUE(canon);
  EXPECT_EQ(*canon, *final_a);

  // A reference without a sequence number is never alive; one that names no
  // file is not alive either.
  auto bare = (*dir)->reference_alive(ia->low64() & 0xFFFFFFFFFFFFull);
  ASSERT_TRUE(bare);
  EXPECT_FALSE(*bare);
  auto bogus = (*dir)->reference_alive(0xFFFE0000FFFFFFF0ull);
  ASSERT_TRUE(bogus) << bogus.error().text();
  EXPECT_FALSE(*bogus);

  auto missing = native().open_path(t.path("d\\three"));
  ASSERT_FALSE(missing);
  expect_os_error(missing.error(), ERROR_FILE_NOT_FOUND);
}

TEST(Win32Files, FullPathNamesResolveAgainstTheCurrentDirectory) {
  wchar_t cwd[MAX_PATH + 1];
  DWORD n = GetCurrentDirectoryW(MAX_PATH + 1, cwd);
  ASSERT_GT(n, 0u);
  std::string base = win32_backend::narrow(cwd, n);
  if (base.back() != '\\') base += '\\';
  auto full = native().full_path_name("x\\.\\y\\..\\z");
  ASSERT_TRUE(full);
  EXPECT_EQ(*full, base + "x\\z");
  auto drive = native().full_path_name("E:\\2\\");
  ASSERT_TRUE(drive);
  EXPECT_EQ(*drive, "E:\\2\\");
}

TEST(Win32Console, RedirectedOutputIsTheUtf8BytesUnchanged) {
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 1 << 16));
  UniqueHandle r(read_end), w(write_end);
  HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  ASSERT_TRUE(SetStdHandle(STD_OUTPUT_HANDLE, w.get()));
  const std::string text = "USN: 变更日志发现2个删除记录\n  FRN 41 parent 5 size 0 E:\\2\\新建 文本.txt\n\n";
  write_native_output(text);
  write_native_output("");
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  w.reset();
  std::string got;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(r.get(), buf, sizeof buf, &n, nullptr) && n > 0) got.append(buf, n);
  EXPECT_EQ(got, text);  // no CRLF translation, no re-encoding
}

// --- the mapped test drive ---------------------------------------------------

struct DriveSetup {
  std::string image;                 // the image file behind E: (Windows path)
  std::set<std::string> names;       // what E:\2 holds
  std::uint64_t record = 0;          // the record number of E:\2
};

// An environment variable as Unicode text (getenv would give it in the ANSI
// code page, which loses every name outside it).
std::optional<std::string> environment(const wchar_t* name) {
  std::vector<wchar_t> buffer(256);
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    DWORD n = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    if (n < buffer.size()) return win32_backend::narrow(buffer.data(), n);
    buffer.resize(n);
  }
}

std::optional<DriveSetup> drive_setup() {
  auto image = environment(L"QUILLON_DRIVE_E_IMAGE");
  auto names = environment(L"QUILLON_DRIVE_E_NAMES");
  auto record = environment(L"QUILLON_DRIVE_E_RECORD");
  if (!image || !names || !record) return std::nullopt;
  DriveSetup s;
  s.image = *image;
  std::string all = *names;
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t end = all.find('/', start);
    if (end == std::string::npos) end = all.size();
    if (end > start) s.names.insert(all.substr(start, end - start));
    start = end + 1;
  }
  s.record = std::strtoull(record->c_str(), nullptr, 10);
  return s;
}

std::vector<std::byte> image_bytes(const std::string& image, std::uint64_t offset, std::size_t length) {
  UniqueHandle h(CreateFileW(W(image).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!h.valid()) return {};
  LARGE_INTEGER pos;
  pos.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(h.get(), pos, nullptr, FILE_BEGIN)) return {};
  std::vector<std::byte> out(length);
  DWORD n = 0;
  if (!ReadFile(h.get(), out.data(), static_cast<DWORD>(length), &n, nullptr) || n != length) return {};
  return out;
}

class Win32DriveE : public ::testing::Test {
 protected:
  void SetUp() override {
    setup_ = drive_setup();
    if (!setup_) GTEST_SKIP() << "no test volume mapped as E: (tools/windows-build.sh maps one where it can mount)";
  }
  std::optional<DriveSetup> setup_;
};

TEST_F(Win32DriveE, RawReadsOfTheVolumeMatchTheImage) {
  auto dev = native().open_volume("\\\\.\\E:");
  ASSERT_TRUE(dev) << dev.error().text();
  std::vector<std::byte> boot(512);
  ASSERT_TRUE((*dev)->read_exact_at(0, boot));
  EXPECT_EQ(boot, image_bytes(setup_->image, 0, 512));
  ASSERT_EQ(std::string(reinterpret_cast<const char*>(boot.data()) + 3, 8), "NTFS    ");

  // The first FILE record of the $MFT, from the boot sector's geometry.
  Bytes b(boot);
  std::uint64_t sector = *u16_at(b, 0x0B), per_cluster = *u8_at(b, 0x0D);
  std::uint64_t mft = *u64_at(b, 0x30) * sector * per_cluster;
  auto size_code = static_cast<std::int8_t>(*u8_at(b, 0x40));
  std::size_t record = size_code < 0 ? (std::size_t{1} << -size_code) : size_code * sector * per_cluster;
  std::vector<std::byte> rec(record);
  ASSERT_TRUE((*dev)->read_exact_at(mft, rec));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec.data()), 4), "FILE");
  EXPECT_EQ(rec, image_bytes(setup_->image, mft, record));
  // Unaligned pieces of it, inside one sector and across a sector boundary.
  for (auto [off, len] : {std::pair<std::uint64_t, std::size_t>{0x13, 77}, {500, 30}, {1, record - 2}}) {
    std::vector<std::byte> part(len);
    ASSERT_TRUE((*dev)->read_exact_at(mft + off, part)) << off;
    EXPECT_TRUE(std::equal(part.begin(), part.end(), rec.begin() + off)) << off;
  }
  // The folder's own FILE record (the test volume's $MFT is one run): it
  // carries the record number FileIdInfo gives for E:\2. Its header's
  // record-number field is read alone, four bytes inside a sector.
  const std::uint64_t folder_at = mft + setup_->record * record;
  std::vector<std::byte> folder(record);
  ASSERT_TRUE((*dev)->read_exact_at(folder_at, folder));
  EXPECT_EQ(folder, image_bytes(setup_->image, folder_at, record));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(folder.data()), 4), "FILE");
  std::vector<std::byte> number(4);
  ASSERT_TRUE((*dev)->read_exact_at(folder_at + 0x2C, number));
  EXPECT_EQ(load_le<std::uint32_t>(number.data()), setup_->record);
  // The last bytes of the file system (the boot sector's sector count),
  // read unaligned up to their very end.
  std::uint64_t sectors = *u64_at(b, 0x28);
  std::uint64_t volume_end = sectors * sector;
  std::vector<std::byte> tail(77);
  ASSERT_TRUE((*dev)->read_exact_at(volume_end - tail.size(), tail));
  EXPECT_EQ(tail, image_bytes(setup_->image, volume_end - tail.size(), tail.size()));
}

TEST_F(Win32DriveE, TheFolderListsAndIdentifiesAsTheImageSays) {
  auto list = native().list_directory("E:\\2");
  ASSERT_TRUE(list) << list.error().text();
  auto names = names_of(*list);
  names.erase(".");
  names.erase("..");
  EXPECT_EQ(names, setup_->names);

  auto h = native().open_path("E:\\2");
  ASSERT_TRUE(h) << h.error().text();
  auto id = (*h)->file_id_info();
  ASSERT_TRUE(id) << id.error().text();
  EXPECT_EQ(id->low64() & 0xFFFFFFFFFFFFull, setup_->record);
  auto final_path = (*h)->final_path_name();
  ASSERT_TRUE(final_path);
  EXPECT_EQ(*final_path, "\\\\?\\E:\\2");

  // The image backend reading the same image agrees, where it is built.
  ImageOptions io;
  io.file = setup_->image;
  auto image = open_image_platform(io);
  if (!image) GTEST_SKIP() << "image backend: " << image.error().text();
  auto ilist = (*image)->list_directory("E:\\2");
  ASSERT_TRUE(ilist) << ilist.error().text();
  EXPECT_EQ(names_of(*ilist), names_of(*list));
  auto ih = (*image)->open_path("E:\\2");
  ASSERT_TRUE(ih);
  auto iid = (*ih)->file_id_info();
  ASSERT_TRUE(iid);
  EXPECT_EQ(iid->low64() & 0xFFFFFFFFFFFFull, setup_->record);
}

}  // namespace
}  // namespace quillon::platform
