// Engine error codes, the message catalogue and the exceptions through which every
// failure reaches a user of the engine.
//
// A code is category * 256 + number. The catalogue turns a code and up to four texts
// (the error context) into a message of at most 127 characters:
//   N  name text  - the file (full path) or table concerned
//   A  text A     - a field name or number
//   B  text B     - a further text
//   C  text C     - an index name
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace ovrin {

enum EngineCode : uint16_t {
  errNone = 0,
  errBeginOfFile = 8705,
  errEndOfFile = 8706,
  errKeyNotFound = 8708,
  errRecordNotFound = 8710,
  errEndOfBlob = 8711,
  errHeaderCorrupt = 8961,
  errRecordBuffersCorrupt = 8962,
  errBlobCorrupt = 8963,
  errIndexCorrupt = 8965,
  errRead = 9217,
  errWrite = 9218,
  errDelete = 9220,
  errHeaderAccess = 9221,
  errRecordTooBig = 9477,
  errTableFull = 9479,
  errTooManyFilters = 9482,
  errIndexLimit = 9487,
  errFieldLimit = 9492,
  errTooManyBlobs = 9494,
  errBlobFieldsOrBlockSize = 9498,
  errKeyViolation = 9729,
  errBelowMinimum = 9730,
  errAboveMaximum = 9731,
  errRequired = 9732,
  errInvalidField = 9985,
  errPrimaryExists = 9993,
  errInvalidBlobOffset = 9998,
  errFieldDefinition = 10000,
  errValidityCheck = 10006,
  errIndexNameMissing = 10010,
  errInvalidPassword = 10015,
  errInvalidIndexName = 10022,
  errIndexFieldNumber = 10023,
  errKeySize = 10026,
  errIndexExists = 10027,
  errBlobLength = 10029,
  errBlobHandle = 10030,
  errInUse = 10031,
  errFieldName = 10038,
  errFilterHandle = 10050,
  errFilterExpression = 10051,
  errPrimaryRemove = 10055,
  errLocked = 10241,
  errUnlock = 10242,
  errLockFailure = 10249,
  errNeedExclusive = 10253,
  errRecordLocked = 10258,
  errNoRights = 10498,
  errBlobField = 10753,
  errNotInitialized = 10758,
  errInvalidPath = 11010,
  errTooManyFiles = 11012,
  errAccessDenied = 11013,
  errInvalidHandle = 11014,
  errNoMemory = 11016,
  errMemoryFileLength = 11017,
  errDeviceDenied = 11023,
  errMoved = 11025,
  errOsUnknown = 11047,
  errSql = 11949,
  errVersion = 12035,
  errIndexFieldType = 12292,
  errLanguageDriver = 15878,
};

// The last engine error of a file session: its code and the texts of its message.
struct TErrorContext {
  uint16_t Code = 0;
  std::string TextA;     // field name or number
  std::string NameText;  // file or table name
  std::string TextB;     // further text
  std::string TextC;     // index name
  void Clear();
};

// Longest catalogue text; longer messages are cut here.
constexpr size_t kMaxMessageLength = 127;

// The catalogue text for a code, built from the context's texts and cut to 127
// characters. Never fails: an unknown code gets the default text.
std::string MessageForCode(uint16_t code, const TErrorContext& context);

// The framework's exception classes. Message() is the text shown to the user.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 protected:
  void SetMessage(std::string message) { message_ = std::move(message); }

 private:
  std::string message_;
};

// Misuse of the table interface ("Missing table name." and the like).
class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

// An index or capacity of a list out of range.
class EListError : public Exception {
 public:
  using Exception::Exception;
};

// A text that does not convert to the requested type.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

struct TOvrinError {
  int32_t ErrorCode = 0;  // the 16-bit engine code
  std::string Message;    // the catalogue text, at most 127 characters
};

// Every engine failure. Its message is "Ovrin Engine Error # <code> <catalogue text>".
class EOvrinEngineError : public EDatabaseError {
 public:
  EOvrinEngineError(uint16_t code, std::string text);
  const std::vector<TOvrinError>& Errors() const { return errors_; }
  uint16_t ErrorCode() const { return static_cast<uint16_t>(errors_.front().ErrorCode); }
  // The catalogue text alone, without the "Ovrin Engine Error # " prefix.
  const std::string& Text() const { return errors_.front().Message; }

 private:
  std::vector<TOvrinError> errors_;
};

// Records the code and texts in the current file session's error context (cleared
// first; code 10758 leaves it untouched) and raises the engine exception.
[[noreturn]] void RaiseEngineError(uint16_t code, std::string_view name = {},
                                   std::string_view textA = {}, std::string_view textB = {},
                                   std::string_view textC = {});

// Raises the exception for a code using whatever texts the error context holds.
[[noreturn]] void RaiseEngineErrorCode(uint16_t code);

// Does nothing for 0, else RaiseEngineErrorCode(code).
void CheckEngineResult(uint16_t code);

// Whether an error code says a table's files are damaged (a header, index or blob that
// does not read as it should, a file that ends early, a wrong version), as opposed to a
// table that is missing, locked, in use or refused for its password.
bool IsDamageError(uint16_t code);

}  // namespace ovrin
