// The end of a terminal run: the summary as text and as the JSON report.
#pragma once

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>

#include "cli/terminal_user.h"
#include "main/migration.h"

namespace hollard {

nlohmann::json ReportJson(const TMigrationReport& report, const TTerminalUser& user, bool dryRun,
                          const std::string& backup);
void PrintSummary(std::ostream& out, const TMigrationReport& report, const TTerminalUser& user, bool dryRun,
                  const std::string& backup, const std::string& target);

}  // namespace hollard
