// What the readers say instead of a log's findings when one cause explains
// them, with what to do about it: an empty log, CR LF line ends, a run of
// another kind than the one checked for (its exit status, its standard error or
// a last line cut short tell), a log of a build of other sizes (the IDs and
// counts it names tell the least sizes that fit). A thousand findings of one
// cause help no one; the one line that names it and the options to pass does.
#ifndef TRANSLATERS_TOOLS_LOGCHECK_DIAGNOSIS_H
#define TRANSLATERS_TOOLS_LOGCHECK_DIAGNOSIS_H

#include <string>

#include "log_checker.h"

namespace logcheck {

// A saved run, as it was checked.
struct CheckedRun {
    RunType type;
    const std::string& out;
    const std::string& err;
    int exit_status = 0;
    Sizes sizes;
    const Result& result;
};

// How the advice is given.
struct Advice {
    std::string log_name;  // the log as the user named it; "<stdin>" for standard input
    // Whether the reader takes the options of a kind of run (translaters-check
    // does; translaters-report takes a normal run only, and sends the user to
    // translaters-check for the others).
    bool run_types = true;
};

struct Diagnosis {
    enum class Use {
        kNone,     // no one cause: the findings as they are
        kInstead,  // the finding says all that is worth saying
        kAfter,    // a hint worth adding after the findings
    };
    Use use = Use::kNone;
    Finding finding;
};

// The cause of a run's findings, if one explains them; kNone for a clean run.
// Time in proportion to the log: each reading of it is one more check.
Diagnosis Diagnose(const CheckedRun& run, const Advice& advice);

}  // namespace logcheck

#endif  // TRANSLATERS_TOOLS_LOGCHECK_DIAGNOSIS_H
