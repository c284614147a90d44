// One error type for the whole program: it carries where it came from (an
// operating-system call, the program itself, or an I/O condition), the
// Win32 error code when there is one, and a message. Failures travel as
// values (Result<T>), never as exceptions.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quillon {

enum class ErrorKind {
  other,
  not_found,
  permission_denied,
  invalid_input,
  unexpected_eof,
  interrupted,
  unsupported,
};

class Error {
 public:
  enum class Origin { os, generic };

  // An operating-system error: `code` is the Win32 error code, `message` the
  // system's text for it (without trailing line breaks).
  static Error os(std::uint32_t code, std::string message);
  // An error of the program's own, with a kind for callers that branch on it.
  static Error generic(std::string message, ErrorKind kind = ErrorKind::other);

  Origin origin() const { return origin_; }
  std::uint32_t os_code() const { return code_; }
  ErrorKind kind() const { return kind_; }
  const std::string& message() const { return message_; }

  // The text shown to the user: the message, followed for an OS error by
  // " (os error N)".
  std::string text() const;

  bool is_os(std::uint32_t code) const { return origin_ == Origin::os && code_ == code; }

  // The same error (origin, OS code and kind kept) with `context` before its
  // message: "context: message".
  Error with_context(std::string_view context) const;

 private:
  Error(Origin origin, std::uint32_t code, ErrorKind kind, std::string message)
      : origin_(origin), code_(code), kind_(kind), message_(std::move(message)) {}

  Origin origin_;
  std::uint32_t code_;
  ErrorKind kind_;
  std::string message_;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

// Win32 error codes the program and its backends use by name.
namespace win32 {
inline constexpr std::uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_INVALID_DATA = 13;
inline constexpr std::uint32_t ERROR_NOT_READY = 21;
inline constexpr std::uint32_t ERROR_CRC = 23;
inline constexpr std::uint32_t ERROR_SECTOR_NOT_FOUND = 27;
inline constexpr std::uint32_t ERROR_READ_FAULT = 30;
inline constexpr std::uint32_t ERROR_HANDLE_EOF = 38;
inline constexpr std::uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t ERROR_INVALID_NAME = 123;
inline constexpr std::uint32_t ERROR_DIRECTORY = 267;
inline constexpr std::uint32_t ERROR_MORE_DATA = 234;
inline constexpr std::uint32_t ERROR_IO_DEVICE = 1117;
inline constexpr std::uint32_t ERROR_NO_MORE_FILES = 18;
inline constexpr std::uint32_t ERROR_JOURNAL_NOT_ACTIVE = 1179;
inline constexpr std::uint32_t ERROR_JOURNAL_ENTRY_DELETED = 1181;
inline constexpr std::uint32_t ERROR_FILE_CORRUPT = 1392;
inline constexpr std::uint32_t ERROR_CANT_ACCESS_FILE = 1920;
inline constexpr std::uint32_t WSAEACCES = 10013;

// The English system text Windows gives for `code` (as FormatMessageW
// returns it, trailing line break removed); a generic text for codes the
// table does not hold. Backends that stand in for Windows use it so that
// their errors read exactly as Windows' do.
std::string system_message(std::uint32_t code);
// Error::os(code, system_message(code)).
Error error(std::uint32_t code);
}  // namespace win32

}  // namespace quillon
