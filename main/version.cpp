#include "main/version.h"

#include "engine/table/session.h"

namespace hollard {

std::string VersionText(const std::string& program) {
  return program + " " + ProgramVersion() + " (Ovrin engine " + ovrin::Sessions().Default().EngineVersion() + ")";
}

}  // namespace hollard
