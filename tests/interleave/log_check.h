// The log checker (tools/logcheck) on one execution of the harness, at the
// harness's sizes. A unit of its own: the checker's library is built at the
// program's sizes, the harness at its own.
#ifndef TRANSLATERS_TESTS_INTERLEAVE_LOG_CHECK_H
#define TRANSLATERS_TESTS_INTERLEAVE_LOG_CHECK_H

#include <string>

namespace interleave {

struct RunSizes {
    int translaters;
    int clients;
    int max_chars;
    int max_delay;
};

// The checker's findings on a run's standard output, standard error and exit
// status, one a line; empty when it finds none.
std::string CheckLog(const std::string& out, const std::string& err, int status,
                     const RunSizes& sizes);

}  // namespace interleave

#endif  // TRANSLATERS_TESTS_INTERLEAVE_LOG_CHECK_H
