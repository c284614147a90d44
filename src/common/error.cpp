#include "common/error.h"

#include <array>
#include <utility>

namespace quillon {

Error Error::os(std::uint32_t code, std::string message) {
  ErrorKind kind = ErrorKind::other;
  switch (code) {
    case win32::ERROR_FILE_NOT_FOUND:
    case win32::ERROR_PATH_NOT_FOUND:
      kind = ErrorKind::not_found;
      break;
    case win32::ERROR_ACCESS_DENIED:
    case win32::WSAEACCES:
      kind = ErrorKind::permission_denied;
      break;
    case win32::ERROR_HANDLE_EOF:
      kind = ErrorKind::unexpected_eof;
      break;
    case win32::ERROR_INVALID_PARAMETER:
    case win32::ERROR_INVALID_NAME:
      kind = ErrorKind::invalid_input;
      break;
    case win32::ERROR_INVALID_FUNCTION:
    case win32::ERROR_NOT_SUPPORTED:
      kind = ErrorKind::unsupported;
      break;
    default:
      break;
  }
  return Error(Origin::os, code, kind, std::move(message));
}

Error Error::generic(std::string message, ErrorKind kind) {
  return Error(Origin::generic, 0, kind, std::move(message));
}

Error Error::with_context(std::string_view context) const {
  return Error(origin_, code_, kind_, std::string(context) + ": " + message_);
}

std::string Error::text() const {
  if (origin_ != Origin::os) return message_;
  return message_ + " (os error " + std::to_string(code_) + ")";
}

namespace win32 {

std::string system_message(std::uint32_t code) {
  struct Entry {
    std::uint32_t code;
    const char* text;
  };
  static constexpr std::array<Entry, 26> table{{
      {0, "The operation completed successfully."},
      {ERROR_INVALID_FUNCTION, "Incorrect function."},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
      {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
      {ERROR_ACCESS_DENIED, "Access is denied."},
      {ERROR_INVALID_HANDLE, "The handle is invalid."},
      {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
      {ERROR_INVALID_DATA, "The data is invalid."},
      {ERROR_NO_MORE_FILES, "There are no more files."},
      {ERROR_NOT_READY, "The device is not ready."},
      {ERROR_CRC, "Data error (cyclic redundancy check)."},
      {ERROR_SECTOR_NOT_FOUND, "The drive cannot find the sector requested."},
      {ERROR_READ_FAULT, "The system cannot read from the specified device."},
      {ERROR_HANDLE_EOF, "Reached the end of the file."},
      {ERROR_NOT_SUPPORTED, "The request is not supported."},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
      {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
      {ERROR_MORE_DATA, "More data is available."},
      {ERROR_DIRECTORY, "The directory name is invalid."},
      {ERROR_JOURNAL_NOT_ACTIVE, "The volume change journal is not active."},
      {ERROR_JOURNAL_ENTRY_DELETED, "The journal entry has been deleted from the journal."},
      {ERROR_CANT_ACCESS_FILE, "The file cannot be accessed by the system."},
      {ERROR_FILE_CORRUPT, "The file or directory is corrupted and unreadable."},
      {WSAEACCES, "An attempt was made to access a socket in a way forbidden by its access permissions."},
      {1117, "The request could not be performed because of an I/O device error."},
  }};
  for (const auto& e : table)
    if (e.code == code) return e.text;
  return "Unknown error " + std::to_string(code) + ".";
}

Error error(std::uint32_t code) { return Error::os(code, system_message(code)); }

}  // namespace win32
}  // namespace quillon
