// A platform that forwards every call to another and lets a test stand a
// device of its own in front of each volume the engine opens: a device that
// answers late, serves a record as not yet flushed, or counts what it reads.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "platform/platform.h"

namespace quillon::test {

class DecoratedPlatform : public platform::Platform {
 public:
  using WrapDevice =
      std::function<std::unique_ptr<platform::VolumeDevice>(std::unique_ptr<platform::VolumeDevice>)>;
  DecoratedPlatform(std::unique_ptr<platform::Platform> inner, WrapDevice wrap)
      : inner_(std::move(inner)), wrap_(std::move(wrap)) {}

  Result<std::unique_ptr<platform::VolumeDevice>> open_volume(std::string_view device_path) override {
    auto dev = inner_->open_volume(device_path);
    if (!dev || !wrap_) return dev;
    return wrap_(std::move(*dev));
  }
  Result<std::unique_ptr<platform::FileHandle>> open_path(std::string_view path) override {
    return inner_->open_path(path);
  }
  Result<std::vector<platform::DirectoryEntry>> list_directory(std::string_view path) override {
    return inner_->list_directory(path);
  }
  Result<platform::Metadata> metadata(std::string_view path) override { return inner_->metadata(path); }
  Result<std::string> full_path_name(std::string_view path) override { return inner_->full_path_name(path); }
  void write_output(std::string_view utf8) override { inner_->write_output(utf8); }

 private:
  std::unique_ptr<platform::Platform> inner_;
  WrapDevice wrap_;
};

// A device that forwards to another; tests override what they change.
class ForwardingDevice : public platform::VolumeDevice {
 public:
  explicit ForwardingDevice(std::unique_ptr<platform::VolumeDevice> inner) : inner_(std::move(inner)) {}
  Result<void> read_exact_at(std::uint64_t offset, std::span<std::byte> out) override {
    return inner_->read_exact_at(offset, out);
  }
  Result<std::size_t> control(std::uint32_t code, std::span<const std::byte> in, std::span<std::byte> out) override {
    return inner_->control(code, in, out);
  }
  bool can_change() const override { return inner_->can_change(); }

 private:
  std::unique_ptr<platform::VolumeDevice> inner_;
};

}  // namespace quillon::test
