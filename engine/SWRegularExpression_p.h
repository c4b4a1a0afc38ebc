#pragma once
// A POSIX extended regular expression, case-insensitive, without sub-match
// reporting: the form of every pattern the engine matches (header rules, the
// advertisement subject). Owns the compiled pattern.

#include <QByteArray>
#include <regex.h>

class SWRegularExpression {
public:
    SWRegularExpression() = default;
    explicit SWRegularExpression(const QByteArray& pattern) { compile(pattern); }
    ~SWRegularExpression() { clear(); }
    SWRegularExpression(const SWRegularExpression&) = delete;
    SWRegularExpression& operator=(const SWRegularExpression&) = delete;

    // Compiles pattern (UTF-8), replacing any earlier one; false when it does not
    // compile (the object is then empty and matches nothing).
    bool compile(const QByteArray& pattern) {
        clear();
        // regcomp reads a NUL-terminated string: a pattern with an inner NUL would
        // silently mean something shorter, so it is refused.
        if (pattern.contains('\0'))
            return false;
        compiled_ = regcomp(&regex_, pattern.constData(), REG_EXTENDED | REG_ICASE | REG_NOSUB) == 0;
        return compiled_;
    }

    bool isValid() const { return compiled_; }

    // True when the pattern matches somewhere in text (UTF-8). regexec stops at the
    // first NUL byte, so the text is cut there.
    bool matches(const QByteArray& text) const {
        if (!compiled_)
            return false;
        return regexec(&regex_, text.constData(), 0, nullptr, 0) == 0;
    }

    void clear() {
        if (compiled_)
            regfree(&regex_);
        compiled_ = false;
    }

private:
    regex_t regex_{};
    bool compiled_ = false;
};
