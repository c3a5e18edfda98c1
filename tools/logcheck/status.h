// Failure as a value, for every reader: a CStatus is success or an error with
// its message, a CStatusOr<T> a T or such an error. Both are [[nodiscard]], so
// a caller that drops one is warned (an error where warnings are), and no
// error is an empty string that reads as success.
#ifndef TRANSLATERS_TOOLS_LOGCHECK_STATUS_H
#define TRANSLATERS_TOOLS_LOGCHECK_STATUS_H

#include <string>
#include <system_error>
#include <utility>

namespace logcheck {

class [[nodiscard]] CStatus {
public:
    CStatus() = default;  // success
    static CStatus Error(std::string message) { return CStatus(std::move(message)); }
    // The error errno names ("No such file or directory").
    static CStatus FromErrno(int error) {
        return Error(std::error_code(error, std::generic_category()).message());
    }
    bool Ok() const { return m_ok; }
    const std::string& Message() const { return m_message; }  // "" on success

private:
    explicit CStatus(std::string message) : m_ok(false), m_message(std::move(message)) {}
    bool m_ok = true;
    std::string m_message;
};

template <class T>
class [[nodiscard]] CStatusOr {
public:
    // Implicit, so that a function returns its value, or an error, as it is.
    CStatusOr(const T& value) : m_value(value) {}        // cppcheck-suppress noExplicitConstructor
    CStatusOr(T&& value) : m_value(std::move(value)) {}  // cppcheck-suppress noExplicitConstructor
    // cppcheck-suppress noExplicitConstructor
    CStatusOr(CStatus error) : m_status(std::move(error)) {}  // an error, not success
    bool Ok() const { return m_status.Ok(); }
    const std::string& Message() const { return m_status.Message(); }
    T& Value() { return m_value; }  // T{} after an error
    const T& Value() const { return m_value; }

private:
    CStatus m_status;
    T m_value{};
};

}  // namespace logcheck

// Returns a CStatus expression's error from the function it is in. Neither a
// block nor a loop, so that it adds no nesting to the function; the
// static_assert takes the semicolon, and makes an "else" after it an error.
#define RETURN_IF_ERROR(expr)                                \
    if (::logcheck::CStatus status_ = (expr); !status_.Ok()) \
        return status_;                                      \
    static_assert(true, "RETURN_IF_ERROR")

#endif  // TRANSLATERS_TOOLS_LOGCHECK_STATUS_H
