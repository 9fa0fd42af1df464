// Design-value streams: the design values of a window or control, stored as
// one constant byte string of records. A record is a property name, one blank
// (0x20) and the value; the value's width and encoding follow the declared
// type of the property that the name selects (least significant byte first):
//
//   Integer   8 bytes, signed 64-bit two's complement
//   Boolean   1 byte, 00 false or 01 true
//   String    a 32-bit byte count n, then n bytes of UTF-8 (no terminator)
//   Color     4 bytes, 0xRRGGBB in the low three bytes
//   Single    4 bytes, IEEE 754 single precision
//   FontUnit  1 byte, a FontUnits value
//
// There is no header, count, separator or terminator: a stream ends where its
// last record ends.
//
// Writing a stream as a constant of the program:
//
//   constexpr DesignRecord kRecords[] = {
//       DesignString("Name", "Label1"),
//       DesignInteger("Index", -2147483648),
//       DesignBoolean("LockLeft", true),
//       DesignSingle("TextSize", 11.0f),
//   };
//   constexpr auto kStream = EncodeDesignValues<DesignStreamSize(kRecords)>(kRecords);
//   SetProperties(control, kStream.View());
//
// (or, shorter, `constexpr auto kStream = KESTRUNE_DESIGN_STREAM(kRecords);`).
#pragma once

#include "Object.h"

#include <QByteArray>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// One record of a design-value stream, as the program writes it.
struct DesignRecord {
    std::string_view name;
    PropType type = PropType::Integer;
    int64_t integer = 0;      // Integer; Boolean (0/1); Color; FontUnit
    float single = 0.0f;      // Single
    std::string_view text;    // String (UTF-8 bytes as written)
};

constexpr DesignRecord DesignInteger(std::string_view name, int64_t value) {
    return {name, PropType::Integer, value, 0.0f, {}};
}
constexpr DesignRecord DesignBoolean(std::string_view name, bool value) {
    return {name, PropType::Boolean, value ? 1 : 0, 0.0f, {}};
}
constexpr DesignRecord DesignString(std::string_view name, std::string_view value) {
    return {name, PropType::String, 0, 0.0f, value};
}
// value is 0xRRGGBB; the high byte is written as given (0 in every stream).
constexpr DesignRecord DesignColor(std::string_view name, uint32_t value) {
    return {name, PropType::Color, static_cast<int64_t>(value), 0.0f, {}};
}
constexpr DesignRecord DesignSingle(std::string_view name, float value) {
    return {name, PropType::Single, 0, value, {}};
}
constexpr DesignRecord DesignFontUnit(std::string_view name, uint8_t value) {
    return {name, PropType::FontUnit, value, 0.0f, {}};
}

// The width in bytes of a record's value.
constexpr std::size_t DesignValueWidth(const DesignRecord& r) {
    switch (r.type) {
        case PropType::Integer: return 8;
        case PropType::Boolean: return 1;
        case PropType::String: return 4 + r.text.size();
        case PropType::Color: return 4;
        case PropType::Single: return 4;
        case PropType::FontUnit: return 1;
        default: break;
    }
    // Other types have no stream encoding; in a constant expression this
    // makes the compiler reject the record.
    throw InvalidArgumentException("design values: type has no stream encoding");
}

// The length in bytes of the stream that the records make.
constexpr std::size_t DesignStreamSize(std::span<const DesignRecord> records) {
    std::size_t n = 0;
    for (const DesignRecord& r : records) n += r.name.size() + 1 + DesignValueWidth(r);
    return n;
}

// A design-value stream held as a constant array of bytes.
template <std::size_t N>
struct DesignStream {
    std::array<char, N> bytes{};
    constexpr std::string_view View() const { return std::string_view(bytes.data(), N); }
    constexpr std::size_t size() const { return N; }
    operator std::string_view() const { return View(); }
};

namespace design_detail {
constexpr void PutLE(char* out, std::size_t& pos, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out[pos++] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
}  // namespace design_detail

// Writes the records' bytes to out, which has room for DesignStreamSize
// bytes; gives the number written.
constexpr std::size_t WriteDesignValues(std::span<const DesignRecord> records, char* out) {
    std::size_t pos = 0;
    for (const DesignRecord& r : records) {
        for (char c : r.name) out[pos++] = c;
        out[pos++] = ' ';
        switch (r.type) {
            case PropType::Integer:
                design_detail::PutLE(out, pos, static_cast<uint64_t>(r.integer), 8);
                break;
            case PropType::Boolean:
            case PropType::FontUnit:
                design_detail::PutLE(out, pos, static_cast<uint64_t>(r.integer), 1);
                break;
            case PropType::Color:
                design_detail::PutLE(out, pos, static_cast<uint64_t>(r.integer), 4);
                break;
            case PropType::Single:
                design_detail::PutLE(out, pos, std::bit_cast<uint32_t>(r.single), 4);
                break;
            case PropType::String:
                design_detail::PutLE(out, pos, r.text.size(), 4);
                for (char c : r.text) out[pos++] = c;
                break;
            default:
                throw InvalidArgumentException("design values: type has no stream encoding");
        }
    }
    return pos;
}

// Encodes the records as a constant; N must be DesignStreamSize(records).
template <std::size_t N>
constexpr DesignStream<N> EncodeDesignValues(std::span<const DesignRecord> records) {
    if (DesignStreamSize(records) != N)
        throw InvalidArgumentException("design values: stream size does not match its records");
    DesignStream<N> s;
    WriteDesignValues(records, s.bytes.data());
    return s;
}

// The same bytes, made at run time.
std::string DesignValuesToString(std::span<const DesignRecord> records);

#define KESTRUNE_DESIGN_STREAM(records) EncodeDesignValues<DesignStreamSize(records)>(records)

// Applies a design-value stream to the object: starting at the first byte,
// reads each record's name up to the blank, selects the property of the
// object's class (or an ancestor) whose declared name equals it without
// regard to letter case, reads the value of that property's type and sets it.
// The whole stream is read and checked before any property is set, so a
// malformed stream changes nothing: a record whose name selects no property,
// a value that runs past the stream's end, a Boolean byte other than 00/01 or
// a property that cannot be set raise InvalidArgumentException naming the
// property and its byte offset. Nothing is read past the stream's end. An
// exception a setter raises passes to the caller (the properties before it
// stay set). A nil object raises NilObjectException.
void SetProperties(const Ref<Object>& object, std::string_view stream);
void SetProperties(const Ref<Object>& object, const QByteArray& stream);

// The number of records in a stream as the object's class reads it (for
// checks); raises as SetProperties does on a malformed stream.
std::size_t CountDesignRecords(const ClassInfo& cls, std::string_view stream);
