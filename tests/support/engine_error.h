// Runs a piece of code and answers the engine error code it raised (0 when none), with
// the full message and the catalogue text when asked for; or just the message.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/base/errors.h"

namespace ovrin::test {

inline uint16_t CodeOf(const std::function<void()>& f, std::string* text = nullptr, std::string* message = nullptr) {
  try {
    f();
  } catch (const EOvrinEngineError& e) {
    if (text) *text = e.Text();
    if (message) *message = e.Message();
    return e.ErrorCode();
  }
  return 0;
}

// The message of any error of the engine or its dataset layer that the code raised;
// empty when it raised none.
inline std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "";
}

}  // namespace ovrin::test
