// A volume put together from copies of its metadata files.
//
// A triage collection holds the byte streams of $MFT, $LogFile and $Bitmap
// (and $UsnJrnl:$J, handled by collected_journal.h), not the volume. The
// searches read records and streams raw, through the volume device, at the
// clusters the $MFT's own run lists give. So each copy is put back where its
// file's runs say it lay on the volume: the $MFT copy at record 0's $DATA
// runs, the $LogFile copy at record 2's, the $Bitmap copy at record 6's. A
// read of such a cluster lands in the copy; every other cluster (directory
// indexes, file contents, $MFTMirr) was not collected and fails to read as an
// unreadable sector would. The boot sector is made up from the records: the
// record size from record 0's header, the cluster size from the size and
// length of a single-extent stream ($Boot, then $MFT, $Bitmap, $LogFile;
// kDefaultCluster when none tells), the volume's length from $Bitmap's size.
// The $MFT's own $BITMAP lies in clusters of its own, which a copy of $MFT
// lacks: it is made from the copied records' in-use flags, which is what the
// bitmap records.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "platform/image/image_file.h"
#include "platform/image/runlist.h"

namespace quillon::platform::collection {

inline constexpr std::uint32_t kDefaultCluster = 4096;

// The copied files (paths), read-only.
struct CollectionFiles {
  std::string mft;
  std::optional<std::string> usnjrnl;  // $Extend\$UsnJrnl:$J
  std::optional<std::string> logfile;
  std::optional<std::string> bitmap;
};

// Where the bytes of the made-up volume come from: one of the copies, or
// bytes made here (the boot sector, the $MFT's bitmap).
class VolumeLayout {
 public:
  std::size_t add_file(std::string path);
  std::size_t add_bytes(std::vector<std::byte> bytes);
  // A source of zeros, as long as wanted.
  std::size_t add_zeros();
  // Bytes [at, at + length) of the volume are bytes [from, from + length)
  // of source `source`. Refused (false) where they would overlap a piece
  // already placed or overflow.
  bool place(std::uint64_t at, std::uint64_t length, std::size_t source, std::uint64_t from);
  // Bytes [begin, end) of a stream laid out by `runs` (clusters of
  // `cluster` bytes) placed where the runs put them, from the same offsets
  // of `source`; runs that overlap a placed piece are left out. The bytes
  // placed.
  std::uint64_t place_stream(const std::vector<image::Run>& runs, std::uint64_t cluster, std::size_t source,
                             std::uint64_t begin, std::uint64_t end);

  struct Piece {
    std::uint64_t at = 0, length = 0;
    std::size_t source = 0;
    std::uint64_t from = 0;
  };
  struct Source {
    std::string path;  // a copy, or empty for made bytes
    std::vector<std::byte> bytes;
    bool zeros = false;
  };
  const std::vector<Piece>& pieces() const { return pieces_; }  // by volume offset
  const std::vector<Source>& sources() const { return sources_; }

 private:
  std::vector<Piece> pieces_;
  std::vector<Source> sources_;
};

// The volume a layout describes, `length` bytes long, as an image file whose
// reads outside the placed pieces fail.
Result<image::ImageFile> open_layout(std::shared_ptr<const VolumeLayout> layout, std::uint64_t length);

struct AssembledVolume {
  image::ImageFile file;
  std::uint64_t length = 0;           // bytes
  std::uint32_t record_size = 0;
  std::uint32_t cluster_size = 0;
  bool cluster_size_known = false;    // false: kDefaultCluster assumed
  bool log_emptied = false;           // the $LogFile copy is all 0xFF (reset)
};

// The made-up volume of `files` ($J aside), or one error that names the
// file and says what is wrong with it.
Result<AssembledVolume> assemble_volume(const CollectionFiles& files);

}  // namespace quillon::platform::collection
