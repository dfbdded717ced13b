#include "patcher/logging.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace patcher {

namespace {

int32_t s_threshold = LogLevel_DEVEL;

std::vector<LogBase *> &sinks()
{
    static std::vector<LogBase *> s_sinks;
    return s_sinks;
}

std::string currentTimeText()
{
    const boost::posix_time::ptime now = boost::posix_time::microsec_clock::universal_time();
    const boost::gregorian::date d = now.date();
    const boost::posix_time::time_duration t = now.time_of_day();
    const long micro = static_cast<long>(t.total_microseconds() % 1000000);
    return FormatLogTime(static_cast<int>(d.year()), static_cast<int>(d.month()), static_cast<int>(d.day()),
                         static_cast<int>(t.hours()), static_cast<int>(t.minutes()),
                         static_cast<int>(t.seconds()), static_cast<int>(micro));
}

} // namespace

LogBase::LogBase()
{
    sinks().push_back(this);
}

LogBase::~LogBase()
{
    std::vector<LogBase *> &list = sinks();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

const char *LogLevelName(int32_t level)
{
    static const char *const names[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    if (level < 0 || level > LogLevel_DEVEL)
        return "";
    return names[level];
}

int32_t LogThreshold()
{
    return s_threshold;
}

void SetLogThreshold(int32_t level)
{
    s_threshold = level;
}

std::string FormatLogTime(int year, int month, int day, int hour, int minute, int second, int microseconds)
{
    std::string text =
        (boost::format("%04d-%02d-%02d %02d:%02d:%02d") % year % month % day % hour % minute % second).str();
    if (microseconds != 0)
        text += (boost::format(".%06d") % microseconds).str();
    else
        text += ".";
    return (boost::format("%026s") % text).str();
}

std::string FormatLogLine(const std::string &message, int32_t level, const std::string &channel, int32_t id,
                          const std::string &timeText)
{
    const std::string idText = id == 0 ? std::string() : std::to_string(id);
    const std::string header =
        (boost::format("%s|%-8s|%-14s|%-3s|") % timeText % LogLevelName(level) % channel % idText).str();
    const std::string indent = "\n" + std::string(header.size(), ' ');
    std::string line = header;
    line.reserve(header.size() + message.size());
    for (char c : message) {
        if (c == '\n')
            line += indent;
        else
            line += c;
    }
    return line;
}

void Log(const std::string &message, int32_t level, const std::string &channel, int32_t id)
{
    if (level <= s_threshold) {
        const std::string timeText = currentTimeText();
        const std::string line = FormatLogLine(message, level, channel, id, timeText);
        for (LogBase *sink : sinks()) {
            sink->Write(message, level, channel, id, timeText, line);
            if (level == LogLevel_CRITICAL)
                sink->Flush();
        }
    }
    if (level == LogLevel_CRITICAL) {
        // Other threads may still be running: end without running static destructors under them.
        std::fflush(nullptr);
        std::_Exit(1);
    }
}

void LogError(const std::string &message)
{
    Log(message, LogLevel_ERROR, std::string(), 0);
}

void LogWarning(const std::string &message)
{
    Log(message, LogLevel_WARNING, std::string(), 0);
}

void LogDebug(const std::string &message)
{
    Log(message, LogLevel_DEBUG, std::string(), 0);
}

void LogAssertionFailure(const char *condition, const char *file, int line, const std::string &text)
{
    Log(std::string("Assertion \"") + condition + "\" failed at " + file + ":" + std::to_string(line) + "; " +
            text,
        LogLevel_CRITICAL, std::string(), 0);
    std::_Exit(1); // not reached: a CRITICAL entry ends the process
}

} // namespace patcher
