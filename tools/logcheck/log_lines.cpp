#include "log_lines.h"

#include <algorithm>
#include <cstddef>

namespace logcheck {

const std::array<LineForm, 10> LINE_FORMS = {{
    {LineKind::kAllClients, "All clients finished"},
    {LineKind::kAllTranslaters, "All translaters finished"},
    {LineKind::kTranslaterEnters, "Translater #: Entering thread"},
    {LineKind::kTranslaterLeaves, "Translater #: Leaving thread"},
    {LineKind::kJobEnds, "Translater #: Translated % characters"},
    {LineKind::kTranslates, "Translater #: * -> ~"},
    {LineKind::kClientEnters, "Client @: Entering thread"},
    {LineKind::kClientGivesUp, "Client @: All translaters are occupied, leaving thread"},
    {LineKind::kClientSends, "Client @>#: Sending *"},
    {LineKind::kClientSended, "Client @>#: Sended % characters, leaving thread"},
}};

const char CREATE_FAILED_TEXT[] = "Unable to create thread\n";
const char UNKNOWN_EXCEPTION_TEXT[] = "Unknown exception occured!\n";
const char WRITE_FAILED_TEXT[] = "Unable to write the log to standard output\n";

namespace {

constexpr std::size_t Digits(int number) {
    return number < 10 ? 1 : 1 + Digits(number / 10);
}

// The longest number the program can write: no size is larger than this.
const std::size_t MAX_DIGITS = Digits(run_sizes::LARGEST_SIZE);

bool IsDigit(char ch) {
    return ch >= '0' && ch <= '9';
}

// The field of a line that a number placeholder fills.
int Line::*NumberField(char placeholder) {
    return placeholder == '#'   ? &Line::translater
           : placeholder == '@' ? &Line::client
                                : &Line::count;
}

// Takes a number at pos as the program writes it.
bool TakeNumber(std::string_view text, std::size_t& pos, int& value) {
    std::size_t end = pos;
    while (end < text.size() && end - pos <= MAX_DIGITS && IsDigit(text[end])) {
        ++end;
    }
    const std::size_t digits = end - pos;
    if (digits == 0 || digits > MAX_DIGITS || (digits > 1 && text[pos] == '0')) {
        return false;
    }
    value = 0;
    for (; pos < end; ++pos) {
        value = value * 10 + (text[pos] - '0');
    }
    return true;
}

bool Matches(std::string_view text, const LineForm& form, Line& line) {
    line = Line{};
    line.kind = form.kind;
    std::size_t pos = 0;
    for (const char* f = form.form; *f != '\0'; ++f) {
        const bool number = IsNumberPlaceholder(*f);
        if (number ? !TakeNumber(text, pos, line.*NumberField(*f))
                   : pos >= text.size() || (*f != '*' && *f != '~' && text[pos] != *f)) {
            return false;
        }
        if (*f == '*' || *f == '~') {
            (*f == '*' ? line.ch : line.out) = text[pos];
        }
        pos += number ? 0 : 1;
    }
    return pos == text.size();
}

// The largest value a number placeholder takes in a run of these sizes.
int Largest(char placeholder, const Sizes& sizes) {
    return placeholder == '#'   ? sizes.translaters - 1
           : placeholder == '@' ? sizes.clients - 1
                                : sizes.max_chars;
}

// Whether the digits at pos of text (up to its end or the first non-digit) can
// be, or begin, a number from 0 to largest; advances pos past them.
bool BeginsNumber(std::string_view text, std::size_t& pos, int largest) {
    const std::size_t begin = pos;
    long long value = 0;
    while (pos < text.size() && IsDigit(text[pos])) {
        if (pos - begin == MAX_DIGITS || (pos > begin && text[begin] == '0')) {
            return false;
        }
        value = value * 10 + (text[pos++] - '0');
    }
    // A number cut short stands for the smallest number it begins: itself.
    return pos > begin ? value <= largest : pos == text.size();
}

bool BeginsForm(std::string_view text, const char* form, const Sizes& sizes) {
    std::size_t pos = 0;
    char letter = 0;
    for (const char* f = form; pos < text.size(); ++f) {
        if (*f == '\0') {
            return false;  // the text goes on past the end of the line
        }
        if (IsNumberPlaceholder(*f)) {
            if (!BeginsNumber(text, pos, Largest(*f, sizes))) {
                return false;
            }
            continue;
        }
        const char ch = text[pos++];
        if (*f == '*') {
            letter = ch;
            if (!IsSentLetter(ch)) {
                return false;
            }
        } else if (ch != (*f == '~' ? SwapCase(letter) : *f)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsNumberPlaceholder(char ch) {
    return ch == '#' || ch == '@' || ch == '%';
}

bool IsPlaceholder(char ch) {
    return IsNumberPlaceholder(ch) || ch == '*' || ch == '~';
}

bool ParseLine(std::string_view text, Line& line) {
    return std::any_of(LINE_FORMS.begin(), LINE_FORMS.end(),
                       [&](const LineForm& form) { return Matches(text, form, line); });
}

std::string FormatLine(const Line& line) {
    const auto* const form = std::find_if(LINE_FORMS.begin(), LINE_FORMS.end(),
                                          [&](const LineForm& f) { return f.kind == line.kind; });
    std::string text;  // "" for a kind that has no form
    for (const char* f = form != LINE_FORMS.end() ? form->form : ""; *f != '\0'; ++f) {
        if (IsNumberPlaceholder(*f)) {
            text += std::to_string(line.*NumberField(*f));
        } else if (*f == '*' || *f == '~') {
            text += *f == '*' ? line.ch : line.out;
        } else {
            text += *f;
        }
    }
    return text;
}

bool IsLineBeginning(std::string_view text, const Sizes& sizes) {
    return std::any_of(LINE_FORMS.begin(), LINE_FORMS.end(),
                       [&](const LineForm& form) { return BeginsForm(text, form.form, sizes); });
}

bool IsSentLetter(char ch) {
    return (ch >= 'a' && ch <= 'y') || (ch >= 'A' && ch <= 'Y');
}

char SwapCase(char ch) {
    if (ch >= 'a' && ch <= 'z') {
        return static_cast<char>(ch - 'a' + 'A');
    }
    if (ch >= 'A' && ch <= 'Z') {
        return static_cast<char>(ch - 'A' + 'a');
    }
    return ch;
}

}  // namespace logcheck
