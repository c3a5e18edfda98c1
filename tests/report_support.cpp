#include "report_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace testing_support {

CTempDir::CTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string name =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/report-test-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = name;
}

CTempDir::~CTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

RunResult RunReport(const std::string& log, const std::vector<std::string>& args) {
    RunOptions options;
    options.args = args;
    options.stdin_text = log;
    options.timeout_seconds = 30;
    const RunResult result = RunProgram(TRANSLATERS_REPORT_EXE, options);
    EXPECT_FALSE(result.timed_out) << "translaters-report hung";
    return result;
}

std::map<std::string, Rows> ReadTables(const std::string& out) {
    std::map<std::string, Rows> tables;
    const std::vector<std::string> lines = SplitLines(out);
    for (std::size_t i = 0; i < lines.size();) {
        Rows& rows = tables[lines[i].substr(0, lines[i].find(' '))];
        for (i += 2; i < lines.size() && !lines[i].empty(); ++i) {
            std::istringstream cells(lines[i]);
            rows.emplace_back();
            for (std::string cell; cells >> cell;) {
                rows.back().push_back(cell);
            }
        }
        ++i;
    }
    return tables;
}

int Count(const std::string& text, const std::string& wanted) {
    int count = 0;
    for (std::size_t at = text.find(wanted); at != std::string::npos;
         at = text.find(wanted, at + 1)) {
        ++count;
    }
    return count;
}

std::pair<long, long> PngSize(const std::string& png) {
    const std::string SIGNATURE = "\x89PNG\r\n\x1a\n";
    if (png.size() < 24 || png.compare(0, 8, SIGNATURE) != 0 || png.compare(12, 4, "IHDR") != 0) {
        return {0, 0};
    }
    auto big_endian = [&png](std::size_t at) {
        long value = 0;
        for (std::size_t i = at; i < at + 4; ++i) {
            value = value * 256 + static_cast<unsigned char>(png[i]);
        }
        return value;
    };
    return {big_endian(16), big_endian(20)};
}

std::pair<long, long> SvgSize(const std::string& svg) {
    static const std::regex SIZE(R"re(<svg [^>]*width="([0-9.]+)" height="([0-9.]+)")re");
    std::smatch m;
    if (!std::regex_search(svg, m, SIZE)) {
        return {0, 0};
    }
    return {std::lround(std::stod(m[1])), std::lround(std::stod(m[2]))};
}

RunResult Render(const std::string& rsvg, const std::string& svg_path,
                 const std::string& png_path) {
    RunOptions options;
    options.args = {"--background-color=white", "-o", png_path, svg_path};
    options.timeout_seconds = 30;
    return RunProgram(rsvg, options);
}

void ExpectRendersWhole(const std::string& rsvg, const std::string& svg_path, const CTempDir& dir) {
    const std::string png_path = dir.File("picture.png");
    const RunResult rendered = Render(rsvg, svg_path, png_path);
    ASSERT_EQ(rendered.exit_status, 0) << rendered.err;
    EXPECT_EQ(rendered.err, "");
    const std::string png = ReadFile(png_path);
    const std::pair<long, long> size = SvgSize(ReadFile(svg_path));
    EXPECT_GT(size.first, 0);
    EXPECT_GT(size.second, 0);
    EXPECT_EQ(PngSize(png), size);

    // A blank page of the same size compresses to almost nothing.
    const std::string blank_path = dir.File("blank.svg");
    std::ofstream(blank_path) << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << size.first
                              << "\" height=\"" << size.second << "\"/>\n";
    const std::string blank_png_path = dir.File("blank.png");
    ASSERT_EQ(Render(rsvg, blank_path, blank_png_path).exit_status, 0);
    const std::string blank_png = ReadFile(blank_png_path);
    EXPECT_GT(png.size(), 10 * blank_png.size()) << "the picture is hardly more than a blank page";
}

}  // namespace testing_support
