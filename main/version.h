// The program version of the project's tools, for --version and the logs.
#pragma once

#include <string>

namespace hollard {

// The project's version as the build sets it (e.g. "0.1").
inline const char* ProgramVersion() { return HOLLARD_VERSION; }
// "<program> <version> (Ovrin engine <engine version>)".
std::string VersionText(const std::string& program);

}  // namespace hollard
