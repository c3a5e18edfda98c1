// The lines of a run of the translaters program, defined once for every reader
// of its output: the log checker, the trace reader, the report and the tests.
// The program writes these lines itself (src/main.cpp); the end-to-end tests
// tie the two, every form the program writes being one read here and every
// form here one the program writes.
#ifndef TRANSLATERS_TOOLS_LOGCHECK_LOG_LINES_H
#define TRANSLATERS_TOOLS_LOGCHECK_LOG_LINES_H

#include <array>
#include <string>
#include <string_view>

#include "run_sizes.h"

namespace logcheck {

// The sizes of the run a log comes from; by default those of this build.
struct Sizes {
    int translaters = run_sizes::NUM_TRANSLATERS;
    int clients = run_sizes::NUM_CLIENTS;
    int max_chars = run_sizes::MAX_CHARS;  // a job is 1 to max_chars letters
    int max_delay = run_sizes::MAX_DELAY;  // a pause spins 0 to max_delay - 1 times

    // Thread creations in a run: the translaters first, then the clients.
    int Creations() const { return translaters + clients; }
};

// What a line of standard output says.
enum class LineKind {
    kAllClients,
    kAllTranslaters,
    kTranslaterEnters,
    kTranslaterLeaves,
    kJobEnds,
    kTranslates,
    kClientEnters,
    kClientGivesUp,
    kClientSends,
    kClientSended,
};

struct LineForm {
    LineKind kind;
    // The text, with placeholders: # a translater ID, @ a client index, % a
    // count, * a character taken or sent, ~ the character written for it.
    const char* form;
};

// Every form of line the program writes on standard output.
extern const std::array<LineForm, 10> LINE_FORMS;

// Whether ch of a form stands for a number (#, @, %), or for any value (those
// and * and ~).
bool IsNumberPlaceholder(char ch);
bool IsPlaceholder(char ch);

// One line of standard output, read: the kind and the values of its
// placeholders (-1 or 0 where its form has none).
struct Line {
    LineKind kind = LineKind::kAllClients;
    int translater = -1;
    int client = -1;
    int count = 0;
    char ch = 0;
    char out = 0;
};

// Reads text (a line without its newline) as one of LINE_FORMS. Numbers are
// read as the program writes them: decimal digits, no sign, no leading zero,
// no more digits than run_sizes::LARGEST_SIZE has. Their ranges are not
// checked, nor the characters.
bool ParseLine(std::string_view text, Line& line);

// The text the program writes for line, without the newline.
std::string FormatLine(const Line& line);

// Whether text is the beginning of some line that a run of these sizes can
// write (the line's newline not included): the last line of a log cut after
// some byte. Characters must be letters a client sends, each with its case
// swapped where it is translated.
bool IsLineBeginning(std::string_view text, const Sizes& sizes);

// The letters clients send: 'a' to 'y' and 'A' to 'Y'.
bool IsSentLetter(char ch);
// A letter with its case swapped, as a translater writes it; other values as
// they are.
char SwapCase(char ch);

// What the program writes on standard error when a run fails, newline included.
extern const char CREATE_FAILED_TEXT[];
extern const char UNKNOWN_EXCEPTION_TEXT[];
extern const char WRITE_FAILED_TEXT[];

}  // namespace logcheck

#endif  // TRANSLATERS_TOOLS_LOGCHECK_LOG_LINES_H
