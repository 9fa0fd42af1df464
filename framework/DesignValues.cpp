#include "DesignValues.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

struct ParsedRecord {
    const PropertyInfo* property;
    PropValue value;
};

[[noreturn]] void Fail(const std::string& what, std::string_view name, std::size_t offset) {
    throw InvalidArgumentException("design values: " + what + " '" + std::string(name) + "' at byte " +
                                   std::to_string(offset));
}

uint64_t ReadLE(std::string_view s, std::size_t pos, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v |= uint64_t(static_cast<unsigned char>(s[pos + i])) << (8 * i);
    return v;
}

// Reads every record of the stream against cls; sets nothing.
std::vector<ParsedRecord> Parse(const ClassInfo& cls, std::string_view s) {
    std::vector<ParsedRecord> out;
    std::size_t pos = 0;
    while (pos < s.size()) {
        const std::size_t recordStart = pos;
        const std::size_t blank = s.find(' ', pos);
        if (blank == std::string_view::npos)
            Fail("record without a blank after its name", s.substr(pos, 40), recordStart);
        const std::string_view name = s.substr(pos, blank - pos);
        if (name.empty()) Fail("record with an empty name", name, recordStart);
        const PropertyInfo* p = cls.FindProperty(name);
        if (!p) Fail("unknown property", name, recordStart);
        if (!p->set) Fail("read-only property", name, recordStart);
        pos = blank + 1;
        const std::size_t left = s.size() - pos;
        auto need = [&](std::size_t width) {
            if (left < width) Fail("stream ends inside the value of property", name, recordStart);
        };
        PropValue value;
        switch (p->type) {
            case PropType::Integer:
                need(8);
                value = static_cast<int64_t>(ReadLE(s, pos, 8));
                pos += 8;
                break;
            case PropType::Boolean: {
                need(1);
                const unsigned char b = static_cast<unsigned char>(s[pos]);
                if (b > 1) Fail("Boolean byte other than 00 or 01 for property", name, recordStart);
                value = (b == 1);
                pos += 1;
                break;
            }
            case PropType::String: {
                need(4);
                const uint64_t n = ReadLE(s, pos, 4);
                if (left - 4 < n) Fail("stream ends inside the text of property", name, recordStart);
                value = String::fromUtf8(s.data() + pos + 4, static_cast<qsizetype>(n));
                pos += 4 + n;
                break;
            }
            case PropType::Color:
                need(4);
                value = Color{static_cast<uint32_t>(ReadLE(s, pos, 4))};
                pos += 4;
                break;
            case PropType::Single: {
                need(4);
                const uint32_t bits = static_cast<uint32_t>(ReadLE(s, pos, 4));
                float f;
                std::memcpy(&f, &bits, sizeof f);
                value = f;
                pos += 4;
                break;
            }
            case PropType::FontUnit:
                need(1);
                value = static_cast<FontUnits>(static_cast<unsigned char>(s[pos]));
                pos += 1;
                break;
            default:
                Fail(std::string("property of type ") + PropTypeName(p->type) + " has no stream encoding:", name,
                     recordStart);
        }
        out.push_back({p, std::move(value)});
    }
    return out;
}

}  // namespace

std::string DesignValuesToString(std::span<const DesignRecord> records) {
    std::string out(DesignStreamSize(records), '\0');
    WriteDesignValues(records, out.data());
    return out;
}

void SetProperties(const Ref<Object>& object, std::string_view stream) {
    Object& target = *object;  // raises NilObjectException on nil
    std::vector<ParsedRecord> records = Parse(target.ClassOf(), stream);
    for (const ParsedRecord& r : records) r.property->set(target, r.value);
}

void SetProperties(const Ref<Object>& object, const QByteArray& stream) {
    SetProperties(object, std::string_view(stream.constData(), static_cast<std::size_t>(stream.size())));
}

std::size_t CountDesignRecords(const ClassInfo& cls, std::string_view stream) {
    return Parse(cls, stream).size();
}
