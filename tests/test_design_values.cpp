// Design-value streams: the constant encoder and the reader.
#include <gtest/gtest.h>

#include <string>

#include "DesignValues.h"

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

// A class with one property of each stream type, two of them with names in
// mixed case, as the framework's classes declare them.
class Probe : public Object {
    KESTRUNE_CLASS()
public:
    int64_t macProcId = 7;
    bool multiLine = false;
    String text = "unset";
    Color color{0x123456};
    float size = -1.0f;
    FontUnits unit = FontUnits::Inch;
    int64_t readOnly = 0;
};

const ClassInfo& Probe::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Probe";
        c.base = &Object::Class();
        c.factory = [] { return new Probe; };
        c.properties.push_back(MakeFieldProperty("MacProcId", &Probe::macProcId));
        c.properties.push_back(MakeFieldProperty("MultiLine", &Probe::multiLine));
        c.properties.push_back(MakeFieldProperty("Text", &Probe::text));
        c.properties.push_back(MakeFieldProperty("TextColor", &Probe::color));
        c.properties.push_back(MakeFieldProperty("TextSize", &Probe::size));
        c.properties.push_back(MakeFieldProperty("TextUnit", &Probe::unit));
        PropertyInfo ro = MakeFieldProperty("Frozen", &Probe::readOnly);
        ro.set = nullptr;
        c.properties.push_back(ro);
        return c;
    }();
    return info;
}

constexpr DesignRecord kProbeRecords[] = {
    DesignInteger("MacProcID", -2147483648LL),
    DesignBoolean("Multiline", true),
    DesignString("text", "line 1\rline 2 \xC3\xA9"),
    DesignColor("TEXTCOLOR", 0x0000FF),
    DesignSingle("TextSize", 11.0f),
    DesignFontUnit("TextUnit", 0),
};
constexpr auto kProbeStream = KESTRUNE_DESIGN_STREAM(kProbeRecords);

}  // namespace

TEST(DesignEncoder, WritesEachTypeLeastSignificantByteFirst) {
    struct Case {
        DesignRecord record;
        std::string bytes;
    } cases[] = {
        {DesignInteger("Index", -2147483648LL), "Index " + Bytes({0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0xFF})},
        {DesignInteger("Width", 480), "Width " + Bytes({0xE0, 0x01, 0, 0, 0, 0, 0, 0})},
        {DesignInteger("Height", 420), "Height " + Bytes({0xA4, 0x01, 0, 0, 0, 0, 0, 0})},
        {DesignBoolean("Visible", true), "Visible " + Bytes({0x01})},
        {DesignBoolean("Resizeable", false), "Resizeable " + Bytes({0x00})},
        {DesignString("HelpTag", ""), "HelpTag " + Bytes({0, 0, 0, 0})},
        {DesignString("Title", "Kestrune"), "Title " + Bytes({8, 0, 0, 0}) + "Kestrune"},
        {DesignColor("TextColor", 0x0000FF), "TextColor " + Bytes({0xFF, 0x00, 0x00, 0x00})},
        {DesignColor("BackColor", 0xFFFFFF), "BackColor " + Bytes({0xFF, 0xFF, 0xFF, 0x00})},
        {DesignSingle("TextSize", 11.0f), "TextSize " + Bytes({0x00, 0x00, 0x30, 0x41})},
        {DesignSingle("TextSize", 0.0f), "TextSize " + Bytes({0, 0, 0, 0})},
        {DesignFontUnit("TextUnit", 0), "TextUnit " + Bytes({0})},
    };
    for (const Case& c : cases) {
        const DesignRecord one[] = {c.record};
        EXPECT_EQ(DesignValuesToString(one), c.bytes) << c.record.name;
    }
    // The constant encoder's output, checked byte for byte.
    constexpr DesignRecord index[] = {DesignInteger("Index", -2147483648LL)};
    constexpr auto indexStream = KESTRUNE_DESIGN_STREAM(index);
    static_assert(indexStream.size() == 14);
    EXPECT_EQ(std::string(indexStream.View()), cases[0].bytes);

    constexpr DesignRecord several[] = {DesignString("HelpTag", ""), DesignSingle("TextSize", 11.0f),
                                        DesignColor("TextColor", 0x0000FF), DesignBoolean("Visible", true),
                                        DesignString("Title", "Kestrune"), DesignFontUnit("TextUnit", 0)};
    constexpr auto severalStream = KESTRUNE_DESIGN_STREAM(several);
    EXPECT_EQ(std::string(severalStream.View()),
              cases[5].bytes + cases[9].bytes + cases[7].bytes + cases[3].bytes + cases[6].bytes + cases[11].bytes);
}

TEST(DesignReader, SetsEveryTypeMatchingNamesWithoutRegardToCase) {
    Ref<Probe> p(new Probe);
    SetProperties(p, kProbeStream.View());
    EXPECT_EQ(p->macProcId, -2147483648LL);
    EXPECT_TRUE(p->multiLine);
    EXPECT_EQ(p->text, String::fromUtf8("line 1\rline 2 \xC3\xA9"));
    EXPECT_EQ(p->color, Color{0x0000FF});
    EXPECT_EQ(p->color.Blue(), 255);
    EXPECT_FLOAT_EQ(p->size, 11.0f);
    EXPECT_EQ(p->unit, FontUnits::Default);
    EXPECT_EQ(CountDesignRecords(Probe::Class(), kProbeStream.View()), 6u);

    // The QByteArray form reads the same bytes.
    Ref<Probe> q(new Probe);
    SetProperties(q, QByteArray(kProbeStream.View().data(), qsizetype(kProbeStream.size())));
    EXPECT_EQ(q->text, p->text);

    // An empty stream sets nothing and is no error.
    Ref<Probe> r(new Probe);
    SetProperties(r, std::string_view());
    EXPECT_EQ(r->text, "unset");
}

TEST(DesignReader, MalformedStreamsRaiseNamingPropertyAndOffsetAndSetNothing) {
    const std::string good = std::string(kProbeStream.View());
    // Offsets: "MacProcID " + 8 = 18; "Multiline " + 1 = 11 -> the Text record starts at 29.
    struct Case {
        const char* what;
        std::string stream;
        std::string expected;  // part of the message
    } cases[] = {
        {"unknown name", good.substr(0, 29) + "Foo " + Bytes({1}), "unknown property 'Foo' at byte 29"},
        {"integer cut short", good.substr(0, 15), "'MacProcID' at byte 0"},
        {"name without blank at the end", good.substr(0, 18) + "Multi", "at byte 18"},
        {"blank and nothing after it", good.substr(0, 28), "'Multiline' at byte 18"},
        {"string length cut short", good.substr(0, 29 + 5 + 2), "'text' at byte 29"},
        {"string text cut short", good.substr(0, 29 + 5 + 4 + 3), "'text' at byte 29"},
        {"string length past the end", good.substr(0, 29) + "Text " + Bytes({0xFF, 0xFF, 0xFF, 0xFF}) + "abc",
         "'Text' at byte 29"},
        {"Boolean byte 2", good.substr(0, 18) + "Multiline " + Bytes({2}), "Boolean byte"},
        {"read-only property", good.substr(0, 18) + "frozen " + Bytes({1, 0, 0, 0, 0, 0, 0, 0}),
         "read-only property 'frozen' at byte 18"},
    };
    for (const Case& c : cases) {
        Ref<Probe> p(new Probe);
        try {
            SetProperties(p, c.stream);
            ADD_FAILURE() << c.what << ": no exception";
        } catch (const InvalidArgumentException& e) {
            EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << c.what << ": " << e.what();
        }
        // Checked before anything was set.
        EXPECT_EQ(p->macProcId, 7) << c.what;
        EXPECT_FALSE(p->multiLine) << c.what;
    }
}

TEST(DesignReader, NilObjectRaisesNilObjectException) {
    EXPECT_THROW(SetProperties(Ref<Object>(), kProbeStream.View()), NilObjectException);
}
