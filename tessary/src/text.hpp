// The text of a double in every printed form: the shortest digits that read
// back to the same double, laid out positionally without an exponent
// ("1", "2.5", "0.0000001", "1000000000000000000000", "-0", "NaN", "inf").
#pragma once

#include <charconv>
#include <cmath>
#include <initializer_list>
#include <string>
#include <string_view>

namespace tessary {

inline void append_shortest(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::signbit(value)) out += '-';
    if (std::isinf(value)) {
        out += "inf";
        return;
    }
    if (value == 0.0) {
        out += '0';
        return;
    }
    // Scientific notation yields exactly the shortest round-trip digits;
    // fixed notation would print the exact (longer) value of large doubles.
    char buffer[32];
    const char* const end = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                          std::chars_format::scientific).ptr;
    std::string digits;
    const char* p = buffer;
    for (; p != end && *p != 'e'; ++p) {
        if (*p != '.') digits += *p;
    }
    // The exponent ends at `end`: the buffer is not terminated, and bytes
    // after it may be left over from an earlier call.
    const char* exponent = p + 1;
    if (exponent != end && *exponent == '+') ++exponent;
    long power = 0;
    std::from_chars(exponent, end, power);
    // The decimal point falls after `point` digits (may be <= 0 or beyond).
    const long point = power + 1;
    const long count = static_cast<long>(digits.size());
    if (point >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
    } else if (point > 0) {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    }
}

// "Name(a, b, ...)", each double in the shortest form: the printed form of
// every value type that shows its fields.
inline void append_fields(std::string& out, std::string_view name, std::initializer_list<double> values) {
    out += name;
    out += '(';
    const char* separator = "";
    for (double value : values) {
        out += separator;
        append_shortest(out, value);
        separator = ", ";
    }
    out += ')';
}

inline std::string shortest(double value) {
    std::string out;
    append_shortest(out, value);
    return out;
}

}  // namespace tessary
