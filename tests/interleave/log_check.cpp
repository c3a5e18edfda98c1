#include "log_check.h"

#include "log_checker.h"

namespace interleave {

std::string CheckLog(const std::string& out, const std::string& err, int status,
                     const RunSizes& sizes) {
    logcheck::Sizes checked;
    checked.translaters = sizes.translaters;
    checked.clients = sizes.clients;
    checked.max_chars = sizes.max_chars;
    checked.max_delay = sizes.max_delay;
    const logcheck::Result result = logcheck::CheckRun(out, err, status, checked);
    return result.Clean() ? std::string() : logcheck::FormatFindings(result, 10);
}

}  // namespace interleave
