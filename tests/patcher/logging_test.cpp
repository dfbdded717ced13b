#include "log_capture.h"
#include "patcher/logging.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

using namespace patcher;

TEST(PatcherLog, TimeColumnIs26CharactersWithFractionOrTrailingDot)
{
    EXPECT_EQ(FormatLogTime(2024, 5, 1, 13, 45, 7, 123456), "2024-05-01 13:45:07.123456");
    EXPECT_EQ(FormatLogTime(2024, 5, 1, 13, 45, 7, 42), "2024-05-01 13:45:07.000042");
    // Without microseconds the fraction is dropped, a dot is kept, and the "%026s" column pads it.
    const std::string whole = FormatLogTime(2024, 12, 31, 23, 59, 59, 0);
    EXPECT_EQ(whole.size(), 26u);
    EXPECT_EQ(whole.substr(6), "2024-12-31 23:59:59.");
}

TEST(PatcherLog, HeaderColumnsAndIdText)
{
    const std::string t = "2024-05-01 13:45:07.123456";
    EXPECT_EQ(FormatLogLine("hello", LogLevel_ERROR, "", 0, t),
              "2024-05-01 13:45:07.123456|ERROR   |              |   |hello");
    EXPECT_EQ(FormatLogLine("x", LogLevel_DEVEL, "chan", 7, t),
              "2024-05-01 13:45:07.123456|DEVELOP |chan          |7  |x");
    EXPECT_EQ(FormatLogLine("x", LogLevel_CRITICAL, "", 1234, t),
              "2024-05-01 13:45:07.123456|CRITICAL|              |1234|x");
}

TEST(PatcherLog, ContinuationLinesAlignUnderTheMessage)
{
    const std::string t = "2024-05-01 13:45:07.123456";
    const std::string line = FormatLogLine("first\nsecond\nthird", LogLevel_WARNING, "", 0, t);
    const std::string header = "2024-05-01 13:45:07.123456|WARNING |              |   |";
    const std::string pad(header.size(), ' ');
    EXPECT_EQ(line, header + "first\n" + pad + "second\n" + pad + "third");
}

TEST(PatcherLog, LevelNames)
{
    const char *names[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    for (int32_t level = 0; level <= LogLevel_DEVEL; ++level)
        EXPECT_STREQ(LogLevelName(level), names[level]);
}

TEST(PatcherLog, SinksReceiveEntriesInOrderAndRespectThreshold)
{
    // No sink: an ERROR entry simply returns.
    Log("nobody listens", LogLevel_ERROR, "", 0);

    LogCapture first;
    LogCapture second;
    Log("two\nlines", LogLevel_ERROR, "net", 3);
    ASSERT_EQ(first.entries.size(), 1u);
    ASSERT_EQ(second.entries.size(), 1u);
    const LogCapture::Entry &e = first.entries[0];
    EXPECT_EQ(e.message, "two\nlines");
    EXPECT_EQ(e.level, LogLevel_ERROR);
    EXPECT_EQ(e.channel, "net");
    EXPECT_EQ(e.id, 3);
    EXPECT_EQ(e.line, FormatLogLine(e.message, e.level, e.channel, e.id, e.timeText));
    const std::regex withFraction("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}[.][0-9]{6}");
    const std::regex withoutFraction("0{6}[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}[.]");
    const bool timeOk =
        std::regex_match(e.timeText, withFraction) || std::regex_match(e.timeText, withoutFraction);
    EXPECT_TRUE(timeOk) << e.timeText;
    EXPECT_EQ(first.flushes, 0);

    SetLogThreshold(LogLevel_WARNING);
    Log("too verbose", LogLevel_DEBUG, "", 0);
    Log("severe enough", LogLevel_WARNING, "", 0);
    SetLogThreshold(LogLevel_DEVEL);
    EXPECT_EQ(first.messages(), (std::vector<std::string>{"two\nlines", "severe enough"}));

    {
        LogCapture temporary;
        Log("seen by three", LogLevel_INFO, "", 0);
        EXPECT_EQ(temporary.entries.size(), 1u);
    }
    Log("after removal", LogLevel_INFO, "", 0);
    EXPECT_EQ(second.entries.size(), 4u);
}

namespace {
// Prints what it receives so that the death test can see the line handed over before the exit.
class PrintingSink : public LogBase {
public:
    void Flush() override { std::fputs("<flushed>", stderr); }
    void Write(const std::string &, int32_t, const std::string &, int32_t, const std::string &,
               const std::string &line) override
    {
        std::fputs(line.c_str(), stderr);
    }
};
} // namespace

TEST(PatcherLogDeathTest, CriticalEntryIsWrittenFlushedAndEndsTheProcess)
{
    EXPECT_EXIT(
        {
            PrintingSink sink;
            Log("fatal thing", LogLevel_CRITICAL, "", 0);
        },
        ::testing::ExitedWithCode(1), R"(\|CRITICAL\|              \|   \|fatal thing<flushed>)");
    // Even below the threshold a CRITICAL entry ends the process.
    EXPECT_EXIT(
        {
            SetLogThreshold(-1);
            Log("silent", LogLevel_CRITICAL, "", 0);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST(PatcherLogDeathTest, AssertionMessageForm)
{
    EXPECT_EXIT(
        {
            PrintingSink sink;
            const int value = 1;
            PATCHER_CHECK(value == 2);
        },
        ::testing::ExitedWithCode(1),
        R"(\|Assertion "value == 2" failed at .*logging_test\.cpp:[0-9]+; <flushed>)");
}
