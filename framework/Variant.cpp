#include "Variant.h"

#include "TextNumbers.h"

const ClassInfo& Variant::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Variant";
        c.base = &Object::Class();
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

Ref<Variant> Int64ToVariant(int64_t value) { return Ref<Variant>(new Variant(value)); }

int64_t VariantToInt64(const Ref<Variant>& v) { return v ? v->Int64Value() : 0; }

String VariantToString(const Ref<Variant>& v) { return v ? Str(v->Int64Value()) : String(); }
