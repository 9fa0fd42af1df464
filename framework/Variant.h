// Variants: counted objects that hold one value; here, a signed 64-bit
// integer (what popup row tags carry).
#pragma once

#include "Object.h"

#include <cstdint>

class Variant : public Object {
    KESTRUNE_CLASS()
public:
    explicit Variant(int64_t value) : value_(value) {}
    int64_t Int64Value() const { return value_; }

private:
    int64_t value_;
};

// A new variant holding the value.
Ref<Variant> Int64ToVariant(int64_t value);
// The variant's integer; a nil variant reads as 0.
int64_t VariantToInt64(const Ref<Variant>& v);
// The variant's value as text: an integer's plain decimal digits; a nil
// variant reads as the empty text.
String VariantToString(const Ref<Variant>& v);
