#include "engine/base/errors.h"

#include <algorithm>

#include "engine/base/file_session.h"

namespace ovrin {

namespace {

struct TCatalogueEntry {
  uint16_t code;
  const char* text;  // {N}, {A}, {B} and {C} stand for the context's texts
};

// Every character outside the braces is literal, including the missing blank before
// "is invalid" in 10015, which stored messages and callers may compare against.
constexpr TCatalogueEntry kCatalogue[] = {
    {8705, "Beginning of file encountered in data file {N}"},
    {8706, "End of file encountered in data file {N}"},
    {8708, "Key not found in index {C} of data file {N}"},
    {8710, "Record not found in data file {N}"},
    {8711, "End of blob data in data file {N} reached prematurely"},
    {8961, "Header information corrupt in data file {N}"},
    {8962, "Data record buffers corrupt in data file {N}"},
    {8963, "BLOB block buffers corrupt in data file {N}"},
    {8965, "Index page buffers corrupt in data file {N}"},
    {9217, "Error reading from data file {N}"},
    {9218, "Error writing to data file {N}"},
    {9220, "Cannot delete data file {N}"},
    {9221, "Error accessing file header information for data file {N}"},
    {9477, "Maximum record size exceeded in data file {N}"},
    {9479, "The data file {N} is full and cannot contain any more data"},
    {9482, "Too many filters defined for data file {N}"},
    {9487, "Maximum or minimum limits on number of indexes or fields in an index exceeded in data file {N}"},
    {9492, "Maximum or minimum limits on number of fields or field size exceeded in data file {N}"},
    {9494, "Too many blobs opened in data file {N}"},
    {9498, "Too many blob fields or invalid blob block size specified for data file {N}"},
    {9729, "Duplicate key found in index {C} of data file {N}"},
    {9730, "The value for the field {A} in data file {N} is below the minimum allowable value"},
    {9731, "The value for the field {A} in data file {N} is above the maximum allowable value"},
    {9732, "A value must be provided for the field {A} in data file {N}"},
    {9985, "Invalid field number or name {A} specified for data file {N}"},
    {9993, "A primary index is already defined for data file {N} and cannot be added again"},
    {9998, "Invalid blob offset into data file {N} specified"},
    {10000, "Invalid field definition specified for the field {A} in data file {N}"},
    {10006, "Invalid default, min or max validity check, or expression specified for {A} in data file {N}"},
    {10010, "The secondary index name is missing or not specified for data file {N}"},
    {10015, "Password provided for data file {N}is invalid"},
    {10022, "Invalid secondary index name {C} specified for data file {N}"},
    {10023, "Invalid field number {A} specified in index {C} for data file {N}"},
    {10026, "Invalid key size specified in index {C} for data file {N}"},
    {10027, "The secondary index {C} already exists for data file {N}"},
    {10029, "Invalid blob length in data file {N}"},
    {10030, "Invalid blob handle for data file {N} specified"},
    {10031, "Data file {N} is already in use"},
    {10038, "Invalid or duplicate field name {A} specified for data file {N}"},
    {10050, "Invalid filter handle specified for data file {N}"},
    {10051, "Invalid filter expression specified for data file {N}"},
    {10055, "The primary index cannot be removed from data file {N}"},
    {10241, "The data file {N} is already locked by another user"},
    {10242, "Cannot unlock data file or record in data file {N}"},
    {10249, "General lock failure with data file {N}"},
    {10253, "Data file {N} must be opened exclusively"},
    {10258, "Record in data file {N} is in use by another user"},
    {10498, "Insufficient rights to data file {N}, a password is required"},
    {10753, "Invalid blob field {A} specified for data file {N}"},
    {10758, "Ovrin engine not initialized"},
    {11010, "Invalid path or file name for data file {N}"},
    {11012, "Too many files open while attempting to open data file {N}"},
    {11013, "Access denied to data file {N}"},
    {11014, "Invalid file handle for data file {N}"},
    {11016, "There is insufficient operating system memory available for the current operation"},
    {11017, "Invalid length for in-memory data file {N}"},
    {11023, "Access denied to logical operating system device for data file {N}"},
    {11025, "Data file {N} has been moved"},
    {11047, "An unknown operating system error occurred with data file {N}"},
    {11949, "SQL - {B}"},
    {12035, "Data file {N} is not the correct version"},
    {12292, "Invalid field type specified for index {C} in data file {N}"},
    {15878, "The language driver for data file {N} is not available or installed"},
};

constexpr const char* kUnknownText = "Unknown error occurred with data file {N}";

const char* CatalogueText(uint16_t code) {
  for (const TCatalogueEntry& entry : kCatalogue)
    if (entry.code == code) return entry.text;
  return kUnknownText;
}

}  // namespace

void TErrorContext::Clear() {
  Code = 0;
  TextA.clear();
  NameText.clear();
  TextB.clear();
  TextC.clear();
}

std::string MessageForCode(uint16_t code, const TErrorContext& context) {
  std::string out;
  for (const char* p = CatalogueText(code); *p; ++p) {
    if (p[0] == '{' && p[1] && p[2] == '}') {
      switch (p[1]) {
        case 'N': out += context.NameText; break;
        case 'A': out += context.TextA; break;
        case 'B': out += context.TextB; break;
        case 'C': out += context.TextC; break;
      }
      p += 2;
    } else {
      out += *p;
    }
    if (out.size() >= kMaxMessageLength) break;
  }
  if (out.size() > kMaxMessageLength) out.resize(kMaxMessageLength);
  return out;
}

EOvrinEngineError::EOvrinEngineError(uint16_t code, std::string text) : EDatabaseError("") {
  errors_.push_back(TOvrinError{code, text});
  SetMessage("Ovrin Engine Error # " + std::to_string(code) + " " + text);
}

void RaiseEngineError(uint16_t code, std::string_view name, std::string_view textA,
                      std::string_view textB, std::string_view textC) {
  TErrorContext local;
  TErrorContext* context = &local;
  if (code != errNotInitialized) {
    // Before the engine is started (or for a file handler used on its own) there is
    // no session context; the message is built the same way from a local one.
    if (TFileSession* session = engine::CurrentFileSessionOrNull()) context = &session->ErrorContext;
    context->Clear();
    context->Code = code;
    context->NameText = std::string(name.substr(0, 255));
    context->TextA = std::string(textA.substr(0, 255));
    context->TextB = std::string(textB.substr(0, 255));
    context->TextC = std::string(textC.substr(0, 255));
  }
  throw EOvrinEngineError(code, MessageForCode(code, *context));
}

void RaiseEngineErrorCode(uint16_t code) {
  TErrorContext empty;
  const TErrorContext* context = &empty;
  if (code != errNotInitialized)
    if (TFileSession* session = engine::CurrentFileSessionOrNull()) context = &session->ErrorContext;
  throw EOvrinEngineError(code, MessageForCode(code, *context));
}

void CheckEngineResult(uint16_t code) {
  if (code != 0) RaiseEngineErrorCode(code);
}

bool IsDamageError(uint16_t code) {
  switch (code) {
    case errEndOfBlob:
    case errRead:
    case errHeaderAccess:
    case errInvalidBlobOffset:
    case errBlobLength:
    case errVersion:
      return true;
    default:
      return code >> 8 == errHeaderCorrupt >> 8;
  }
}

}  // namespace ovrin
