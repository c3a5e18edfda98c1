// What the report tests share: scratch files, running the report, and rendering
// an SVG picture with rsvg-convert to check it draws as a whole picture.
#ifndef TRANSLATERS_TESTS_REPORT_SUPPORT_H
#define TRANSLATERS_TESTS_REPORT_SUPPORT_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "process_runner.h"

namespace testing_support {

// A fresh directory for one test's files, removed with all it holds at the end.
class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    // The path of a file in the directory.
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// Runs translaters-report with the log on its standard input.
RunResult RunReport(const std::string& log, const std::vector<std::string>& args = {});

// The report's tables: the first word of each title -> its rows of cells (the
// header row left out), each table ending at a blank line.
using Rows = std::vector<std::vector<std::string>>;
std::map<std::string, Rows> ReadTables(const std::string& out);

// How often wanted occurs in text.
int Count(const std::string& text, const std::string& wanted);

const char RSVG_MISSING[] =
    "rsvg-convert was not found when the build was configured: run tools/install-deps (it "
    "installs the Debian package librsvg2-bin), then configure again";

// Width and height from a PNG's header chunk, or 0 x 0 if it is no PNG.
std::pair<long, long> PngSize(const std::string& png);
// The width and height an SVG document declares, or 0 x 0.
std::pair<long, long> SvgSize(const std::string& svg);

RunResult Render(const std::string& rsvg, const std::string& svg_path, const std::string& png_path);

// rsvg-convert renders the SVG at svg_path without a word, to a picture of the
// size it declares that is more than a blank page. Adds failures, if any.
void ExpectRendersWhole(const std::string& rsvg, const std::string& svg_path, const CTempDir& dir);

}  // namespace testing_support

#endif  // TRANSLATERS_TESTS_REPORT_SUPPORT_H
