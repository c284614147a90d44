#include "platform/collection/collection_platform.h"

#include "common/ntfs_layout.h"
#include "platform/collection/collected_journal.h"
#include "platform/collection/mft_directories.h"
#include "platform/image/control_codes.h"
#include "platform/image/image_backend.h"

namespace quillon::platform {

namespace {

using image::ImageFile;
using image::NtfsReader;

// What the journal's control codes read: the $J copy and its place in the
// stream, and $Max from the $MFT.
struct CopiedJournalFiles {
  std::string path;
  collection::JournalPlacement placement;
  std::vector<std::byte> max;
};

// $UsnJrnl:$Max of the collected volume (resident in its record).
std::optional<std::vector<std::byte>> journal_max(NtfsReader& r, collection::MftDirectories& dirs) {
  auto extend = r.load(image::kExtendRecord);
  if (!extend || !extend->header.directory()) return std::nullopt;
  auto entry = dirs.find(r, *extend, u"$UsnJrnl");
  if (!entry) return std::nullopt;
  auto jrnl = r.load_reference(entry->reference);
  if (!jrnl) return std::nullopt;
  const image::Attribute* max = jrnl->find(ntfs::kAttrData, u"$Max");
  if (!max) return std::nullopt;
  auto v = r.attribute_value(*max, 4096);
  if (!v || v->size() < ntfs::usn_max::kSize) return std::nullopt;
  return v;
}

}  // namespace

Result<std::unique_ptr<Platform>> open_collection_platform(const CollectionOptions& options,
                                                           std::vector<std::string>* notes) {
  const auto& files = options.files;
  auto volume = collection::assemble_volume(files);
  if (!volume) return fail(volume.error());
  auto reopened = volume->file.reopen();
  if (!reopened) return fail(reopened.error());
  auto opened = image::NtfsVolume::open(*reopened, {0, volume->length});
  if (!opened) return fail(opened.error());
  std::vector<std::string> said;
  auto dirs = std::make_unique<collection::MftDirectories>();

  std::shared_ptr<const CopiedJournalFiles> journal;
  if (files.usnjrnl) {
    auto j = ImageFile::open(*files.usnjrnl);
    if (!j)
      return fail(Error::generic("cannot read --usnjrnl " + *files.usnjrnl + ": the file cannot be read",
                                 ErrorKind::invalid_input));
    auto placement = collection::place_journal(*j);
    if (!placement)
      return fail(Error::generic("--usnjrnl " + *files.usnjrnl + ": not a $J copy (no whole USN record in it)",
                                 ErrorKind::invalid_input));
    NtfsReader reader(*opened, std::move(*reopened));
    auto max = journal_max(reader, *dirs);
    if (!max) {
      // The journal's identity lives in $Max; without it the journal still
      // reads, under id 0.
      said.push_back("the $MFT has no $Extend\\$UsnJrnl:$Max; the journal copy is read under journal id 0");
      max = std::vector<std::byte>(ntfs::usn_max::kSize);
    }
    journal = std::make_shared<const CopiedJournalFiles>(CopiedJournalFiles{*files.usnjrnl, *placement, *max});
  }
  image::JournalOpener opener = [journal](NtfsReader&) -> std::optional<image::ImageJournal> {
    if (!journal) return std::nullopt;  // as a volume without a journal answers
    auto f = ImageFile::open(journal->path);
    if (!f) return std::nullopt;
    auto stream = std::make_unique<collection::CopiedJournal>(std::move(*f), journal->placement);
    auto info = image::journal_info(journal->max, *stream);
    if (!info) return std::nullopt;
    return image::ImageJournal{*info, std::move(stream)};
  };

  said.push_back(
      "a collection holds no clusters besides its copies: large folders' index blocks ($INDEX_ALLOCATION) and "
      "file contents are not read");
  if (!volume->cluster_size_known)
    said.push_back("the $MFT's records do not give the cluster size; " +
                   std::to_string(collection::kDefaultCluster) + " bytes assumed");
  if (!files.usnjrnl) said.push_back("no --usnjrnl: the change journal is not read");
  if (!files.logfile) said.push_back("no --logfile: $LogFile is not read");
  if (volume->log_emptied) said.push_back("the $LogFile copy is empty (all 0xFF, as a reset of the log leaves it)");
  if (!files.bitmap) said.push_back("no --bitmap: which clusters are free is not known");
  if (notes) *notes = std::move(said);

  image::BackendParts parts{*opened, std::move(volume->file), options.letter, false, std::move(dirs),
                            [opener](NtfsReader& r, std::uint32_t code, Bytes in, std::span<std::byte> out) {
                              return image::answer_control(r, code, in, out, opener);
                            }};
  return image::make_ntfs_platform(std::move(parts));
}

}  // namespace quillon::platform
