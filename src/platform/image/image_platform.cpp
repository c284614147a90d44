#include "platform/image/image_platform.h"

#include <fstream>

namespace quillon::platform {

Result<std::unique_ptr<Platform>> open_image_platform(const ImageOptions& options) {
  std::ifstream f(options.file, std::ios::binary);
  if (!f) return fail(Error::generic("cannot open image " + options.file, ErrorKind::not_found));
  return fail(Error::generic("reading NTFS images is not part of this build yet", ErrorKind::unsupported));
}

}  // namespace quillon::platform
