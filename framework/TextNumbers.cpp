#include "TextNumbers.h"

#include <QByteArray>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include <locale.h>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// strtod in the "C" locale, whatever locale the application runs in.
double ParseInCLocale(const std::string& number) {
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return strtod_l(number.c_str(), nullptr, cLocale);
}

}  // namespace

double Val(const String& text) {
    const QByteArray bytes = text.toUtf8();
    const char* p = bytes.constData();
    const char* end = p + bytes.size();

    while (p < end && (*p == ' ' || *p == '\t')) ++p;

    std::string number;
    if (p < end && (*p == '+' || *p == '-')) number += *p++;
    bool digits = false;
    while (p < end && IsDigit(*p)) { number += *p++; digits = true; }
    if (p < end && *p == '.') {
        number += *p++;
        while (p < end && IsDigit(*p)) { number += *p++; digits = true; }
    }
    if (!digits) return 0.0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        std::string exponent = "e";
        if (q < end && (*q == '+' || *q == '-')) exponent += *q++;
        if (q < end && IsDigit(*q)) {
            while (q < end && IsDigit(*q)) exponent += *q++;
            number += exponent;
        }
    }
    return ParseInCLocale(number);
}

String Str(int64_t value, const String& format) {
    if (!format.isEmpty()) throw UnsupportedOperationException("Str: only the empty format is supported");
    return String::number(static_cast<qlonglong>(value));
}

String Str(double value, const String& format) {
    if (!format.isEmpty()) throw UnsupportedOperationException("Str: only the empty format is supported");
    if (std::isnan(value)) return String("NaN");
    if (std::isinf(value)) return String(value > 0 ? "INF" : "-INF");
    return String::number(value, 'g', 7);  // locale-independent: always "."
}

int64_t DoubleToInt64(double value) {
    // -2^63 is exact as a double; 2^63 is the first value past the range.
    constexpr double kLow = -9223372036854775808.0;
    constexpr double kHigh = 9223372036854775808.0;
    if (!(value >= kLow && value < kHigh)) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);  // truncates toward zero
}
