// Text and numbers: the framework's Val and Str, and the truncation of a
// double to a 64-bit whole number.
#pragma once

#include "Object.h"

#include <cstdint>

// The number at the start of text, as a double.
//
// Blanks (spaces and tabs) at the start are skipped. Then an optional sign
// ("+" or "-"), decimal digits with an optional "." and fraction, and an
// optional exponent ("e" or "E", an optional sign and at least one digit) are
// read; reading stops at the first character that is not part of the number,
// and the rest of the text is ignored. Text that holds no number there (empty
// text, "abc", "-", ".") gives 0. Nothing else is understood: no "inf", "nan",
// hexadecimal or thousands separators, and the point is always ".", whatever
// the locale. A number too large for a double gives plus or minus infinity;
// one too small gives 0. Val never gives NaN.
double Val(const String& text);

// The value as text. With the empty format, an integer gives its plain
// decimal digits ("-" first when negative) and a double its shortest form
// with up to 7 significant digits ("29000", "1.5", "1e+20"). Other formats
// are not supported and raise UnsupportedOperationException.
String Str(int64_t value, const String& format = String());
String Str(double value, const String& format = String());
inline String Str(int value, const String& format = String()) { return Str(static_cast<int64_t>(value), format); }

// The double truncated toward zero to a signed 64-bit whole number: the
// fraction is dropped whatever its sign (2.9 -> 2, -2.9 -> -2). A value whose
// truncation does not fit in 64 bits, an infinity or NaN gives
// INT64_MIN (-9223372036854775808), the processor's "integer indefinite".
int64_t DoubleToInt64(double value);
