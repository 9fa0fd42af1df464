// Val, Str, the truncation to 64 bits, and variants.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>

#include "TextNumbers.h"
#include "Variant.h"

namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

}  // namespace

TEST(Val, ReadsTheNumberAtTheStartOfTheText) {
    struct Case {
        const char* text;
        double value;
    } cases[] = {
        {"14000", 14000.0},
        {"-14000", -14000.0},
        {"+7", 7.0},
        {"14000.75", 14000.75},
        {"13999.5", 13999.5},
        {"-0.25", -0.25},
        {".5", 0.5},
        {"5.", 5.0},
        {"   29000", 29000.0},   // leading blanks skipped
        {"\t29000", 29000.0},
        {"29000abc", 29000.0},   // stops at the first non-number character
        {"29000 4000", 29000.0},
        {"1e3", 1000.0},
        {"2.5E-1", 0.25},
        {"12e", 12.0},           // an exponent needs a digit
        {"12e+", 12.0},
        {"1,5", 1.0},            // the point is always "."
        {"", 0.0},               // no number at all gives 0
        {"abc", 0.0},
        {"-", 0.0},
        {".", 0.0},
        {"inf", 0.0},
        {"nan", 0.0},
        {"0x10", 0.0},
        {"\n5", 0.0},            // only spaces and tabs are blanks
        {"99999999999999999999", 1e20},
    };
    for (const Case& c : cases) EXPECT_EQ(Val(String::fromUtf8(c.text)), c.value) << '"' << c.text << '"';
}

TEST(Val, HugeAndTinyExponentsGiveInfinityOrZeroNeverNaN) {
    EXPECT_EQ(Val("1e999"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(Val("-1e999"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(Val("1e-999"), 0.0);
}

TEST(Val, IgnoresTheApplicationLocale) {
    // A locale whose decimal separator is a comma. When the system has not
    // generated it, it is compiled from the locale sources (the locales
    // package) into a temporary folder that LOCPATH names for this test.
    const std::string before = std::setlocale(LC_NUMERIC, nullptr);
    QTemporaryDir localeDir;
    const QByteArray savedPath = qgetenv("LOCPATH");
    const bool hadPath = qEnvironmentVariableIsSet("LOCPATH");
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) {
        ASSERT_TRUE(localeDir.isValid());
        QProcess localedef;
        localedef.setProcessChannelMode(QProcess::MergedChannels);
        localedef.start("localedef", {"-i", "de_DE", "-f", "UTF-8", localeDir.filePath("de_DE.UTF-8")});
        ASSERT_TRUE(localedef.waitForFinished(120000)) << "localedef did not run";
        const QByteArray out = localedef.readAll();
        qputenv("LOCPATH", QFile::encodeName(localeDir.path()));
        ASSERT_TRUE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"))
            << "localedef could not make de_DE.UTF-8 (exit " << localedef.exitCode()
            << "; scripts/install-deps installs its sources, the locales package): " << out.toStdString();
    }
    EXPECT_STREQ(std::localeconv()->decimal_point, ",");
    EXPECT_EQ(Val("14000.5"), 14000.5);
    EXPECT_EQ(Str(1.5), "1.5");
    std::setlocale(LC_NUMERIC, before.c_str());
    if (hadPath) qputenv("LOCPATH", savedPath);
    else qunsetenv("LOCPATH");
}

TEST(Str, EmptyFormatGivesPlainDigits) {
    struct Case {
        int64_t value;
        const char* text;
    } cases[] = {{0, "0"}, {29000, "29000"}, {-4000, "-4000"}, {kMax, "9223372036854775807"},
                 {kMin, "-9223372036854775808"}};
    for (const Case& c : cases) EXPECT_EQ(Str(c.value), c.text);
    EXPECT_EQ(Str(int64_t{2}, ""), "2");
    EXPECT_EQ(Str(29000.0), "29000");
    EXPECT_EQ(Str(1.5), "1.5");
    EXPECT_EQ(Str(1e20), "1e+20");
    EXPECT_THROW(Str(int64_t{1}, "#.00"), UnsupportedOperationException);
}

TEST(DoubleToInt64, TruncatesTowardZeroAndMarksWhatDoesNotFit) {
    struct Case {
        double value;
        int64_t result;
    } cases[] = {
        {14000.0, 14000},
        {14000.9, 14000},
        {13999.9, 13999},
        {-2.9, -2},
        {-0.5, 0},
        {-9223372036854775808.0, kMin},
        {9223372036854774784.0, 9223372036854774784},  // the largest double below 2^63
        {9223372036854775808.0, kMin},                 // 2^63: past the range
        {1e20, kMin},
        {-1e20, kMin},
        {std::numeric_limits<double>::infinity(), kMin},
        {std::numeric_limits<double>::quiet_NaN(), kMin},
    };
    for (const Case& c : cases) EXPECT_EQ(DoubleToInt64(c.value), c.result) << c.value;
}

TEST(VariantConversions, HoldSixtyFourBitIntegers) {
    for (int64_t v : {int64_t{0}, int64_t{4000}, int64_t{-59000}, kMin, kMax}) {
        Ref<Variant> tag = Int64ToVariant(v);
        ASSERT_TRUE(tag);
        EXPECT_EQ(VariantToInt64(tag), v);
        EXPECT_EQ(VariantToString(tag), Str(v));
    }
    EXPECT_EQ(VariantToString(Int64ToVariant(29000)), "29000");
    // A nil variant reads as zero and as the empty text.
    EXPECT_EQ(VariantToInt64(nullptr), 0);
    EXPECT_EQ(VariantToString(nullptr), "");
    // Each call makes a variant of its own.
    EXPECT_NE(Int64ToVariant(1).get(), Int64ToVariant(1).get());
}
