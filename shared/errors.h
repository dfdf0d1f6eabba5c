// Exception types of the whole system. The type says what kind of failure
// happened; the message names the file and member involved, so that a user
// can find the faulty input without a debugger.
#pragma once

#include <stdexcept>
#include <string>

namespace velquor {

// Root of every failure the system raises on purpose.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value has the wrong JSON kind ("payload.files is not a list").
class TypeError : public Error {
 public:
  using Error::Error;
};

// A required member is absent ("event_id" of a git event).
class MissingMember : public Error {
 public:
  using Error::Error;
};

// A value has the right kind but an unusable content (bad time text...).
class ValueError : public Error {
 public:
  using Error::Error;
};

// A file or directory that must exist does not.
class FileNotFound : public Error {
 public:
  using Error::Error;
};

// Text that is not valid JSON (or not valid UTF-8).
class JsonError : public Error {
 public:
  using Error::Error;
};

// A failure reported by SQLite.
class DatabaseError : public Error {
 public:
  using Error::Error;
};

// Reading or writing a file failed for a reason other than absence.
class IoError : public Error {
 public:
  using Error::Error;
};

}  // namespace velquor
