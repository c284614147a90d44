// The fuzz harnesses: one function per parser family, fed arbitrary bytes.
// Built with QUILLON_FUZZ_MAIN, each harness file is libFuzzer's entry point
// (one executable per harness); otherwise the functions are linked into the
// unit tests, which replay the regression corpus through them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon::fuzz {

// Boot sector checks, container signatures (the fixed VHD footer), and the
// input read as a disk (MBR, extended chains, GPT): reads past the input's
// end wrap around to its start.
int boot_and_partitions(const std::uint8_t* data, std::size_t size);
// A FILE record through both readers: fixups, header, attribute walk,
// $FILE_NAME, $INDEX_ROOT entries, run lists, attribute lists, and the
// deleted-record evaluation; the input also as bare mapping pairs.
int file_record(const std::uint8_t* data, std::size_t size);
// An INDX block (fixups, node header, entries) and the input as an
// $INDEX_ROOT value.
int index_block(const std::uint8_t* data, std::size_t size);
// Change journal records as read from the journal, and the image backend's
// answers to the journal control codes over a $J stream and $Max taken from
// the input, their output buffers walked again.
int usn_records(const std::uint8_t* data, std::size_t size);
// $LogFile restart pages, the newest part's choice, record page fixups and
// the candidate scan.
int logfile(const std::uint8_t* data, std::size_t size);
// The image backend's whole open-and-resolve path, and the engine's $MFT
// reading and scope building, over a small test volume with the input's
// patches applied (see image_fuzz.cpp).
int image_volume(const std::uint8_t* data, std::size_t size);
// The collection backend over copies of a small test volume's $MFT (with
// the input's patches), $J, $LogFile and $Bitmap (the input's bytes), the
// journal placement and the same calls as the image harness (see
// collection_fuzz.cpp).
int collection(const std::uint8_t* data, std::size_t size);

}  // namespace quillon::fuzz

#ifdef QUILLON_FUZZ_MAIN
#define QUILLON_FUZZ_ENTRY(fn)                                                              \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {       \
    return quillon::fuzz::fn(data, size);                                                    \
  }
#else
#define QUILLON_FUZZ_ENTRY(fn)
#endif
