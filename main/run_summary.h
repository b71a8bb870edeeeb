// The part of a run's summary that the migration report alone decides: the date format
// the archive was read in, the records added and changed per table, the texts cut to
// their field's size, the lines passed over and every step with its outcome and errors.
// The terminal tool and the window print it alike.
#pragma once

#include <ostream>
#include <string>

#include "main/migration.h"

namespace hollard {

// Writes the summary's body, each line indented by two blanks and ended by '\n'. A dry
// run says "would be added" and "would be changed".
void PrintReportSummary(std::ostream& out, const TMigrationReport& report, bool dryRun);

// The steps as the summary names them: "10" or "1-2".
std::string StepRange(const TStepOutcome& step);

// How many step procedures failed (a stopped step without errors has not failed).
int FailedSteps(const TMigrationReport& report);

}  // namespace hollard
