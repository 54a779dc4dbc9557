// Numbers in JSON text: where one ends, and the value of a small integral one.
#pragma once

#include <cstddef>

namespace zantu {

struct NumberText {
    const char* end;  // where it stops; the start itself when no number is there
    bool integral;    // no fraction, no exponent
};

// The JSON number at the start of [p, end): -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
inline NumberText scan_number(const char* p, const char* end) {
    const char* start = p;
    auto digit = [&](const char* q) { return q < end && *q >= '0' && *q <= '9'; };
    auto digits = [&](const char* q) {
        while (digit(q)) ++q;
        return q;
    };
    if (p < end && *p == '-') ++p;
    if (!digit(p)) return {start, true};
    p = *p == '0' ? p + 1 : digits(p);
    bool integral = true;
    if (p < end && *p == '.') {
        if (!digit(p + 1)) return {start, true};
        p = digits(p + 1);
        integral = false;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        if (q < end && (*q == '+' || *q == '-')) ++q;
        if (!digit(q)) return {start, true};
        p = digits(q);
        integral = false;
    }
    return {p, integral};
}

// The value of the integer text [p, end) (an optional minus, then digits)
// when it has at most 18 digits, which always fit.
inline bool small_integer(const char* p, const char* end, long long& value) {
    bool negative = p < end && *p == '-';
    if (negative) ++p;
    if (p == end || end - p > 18) return false;
    long long n = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9') return false;
        n = n * 10 + (*p - '0');
    }
    value = negative ? -n : n;
    return true;
}

}  // namespace zantu
