#pragma once

#include <string>
#include <string_view>

namespace common {

// Base of every error the program raises. The process-level handler prints
// message() and kindName() as "Error: unhandled exception: MSG [KIND]".
class Error : public std::exception {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  virtual std::string_view kindName() const noexcept = 0;

 private:
  std::string message_;
};

#define TOLVEX_ERROR_KIND(Name, Base, ...)                                \
  class Name __VA_ARGS__ : public Base {                                  \
   public:                                                                \
    using Base::Base;                                                     \
    std::string_view kindName() const noexcept override { return #Name; } \
  }

// A file cannot be opened, read or written. Not final: CurlError is one.
TOLVEX_ERROR_KIND(IOError, Error);
TOLVEX_ERROR_KIND(OSError, Error, final);
TOLVEX_ERROR_KIND(ValueError, Error, final);
TOLVEX_ERROR_KIND(KeyError, Error, final);
TOLVEX_ERROR_KIND(JsonParsingError, Error, final);
TOLVEX_ERROR_KIND(GlobSyntaxError, Error, final);
TOLVEX_ERROR_KIND(RegexError, Error, final);
TOLVEX_ERROR_KIND(UsageError, Error, final);
// A failed internal check (wrong key or signature length, a programming error).
TOLVEX_ERROR_KIND(AssertionDefect, Error, final);

#undef TOLVEX_ERROR_KIND

// Every failed transfer. Its cause tells apart a server whose certificate the
// client does not trust, which only the user can remedy.
class CurlError final : public IOError {
 public:
  enum class Cause { kOther, kUntrustedCertificate };

  explicit CurlError(std::string message, Cause cause = Cause::kOther)
      : IOError(std::move(message)), cause_(cause) {}
  std::string_view kindName() const noexcept override { return "CurlError"; }
  Cause cause() const noexcept { return cause_; }

 private:
  Cause cause_;
};

// Not an error: a command that ends the process at once with `status`
// (a key mismatch, a digest mismatch). It unwinds to the entry point so that
// every file and handle on the way is closed.
class ExitRequest {
 public:
  explicit ExitRequest(int status) : status_(status) {}
  int status() const noexcept { return status_; }

 private:
  int status_;
};

// OSError for a failed system call: the system's text for `errorNumber`,
// then "Additional info: " and `info`.
OSError osError(int errorNumber, std::string_view info);

[[noreturn]] void failCheck(const char* file, int line, const char* condition,
                            std::string_view text);

}  // namespace common

// Always-on internal check: throws AssertionDefect whose message starts with the
// source location and the failed condition, then `text`.
#define TOLVEX_CHECK(condition, text)                              \
  do {                                                             \
    if (!(condition)) {                                            \
      ::common::failCheck(__FILE__, __LINE__, #condition, (text)); \
    }                                                              \
  } while (false)
