// The patcher's own diagnostic log: formatted lines handed to registered sinks.
#ifndef PATCHER_LOGGING_H
#define PATCHER_LOGGING_H

#include <cstdint>
#include <string>

namespace patcher {

// Lower is more severe.
enum LogLevel : int32_t {
    LogLevel_CRITICAL = 0,
    LogLevel_ERROR = 1,
    LogLevel_WARNING = 2,
    LogLevel_DEBUG = 3,
    LogLevel_INFO = 4,
    LogLevel_DEVEL = 5,
};

// Abstract sink. Constructing one registers it, destroying it unregisters it. Sinks must be
// registered before the patcher is used from several threads; each sink guards its own output.
class LogBase {
public:
    LogBase();
    virtual ~LogBase();
    LogBase(const LogBase &) = delete;
    LogBase &operator=(const LogBase &) = delete;

    // Called after a CRITICAL line, just before the process ends.
    virtual void Flush() = 0;
    // Reserved for sinks that can be reopened; the patcher itself never calls it.
    virtual void Reopen() {}
    // `line` is the complete formatted entry; the other arguments are its parts.
    virtual void Write(const std::string &message, int32_t level, const std::string &channel, int32_t id,
                       const std::string &timeText, const std::string &line) = 0;
    virtual void Notify() {}
};

// Writes one entry to every sink when `level` passes the threshold. A CRITICAL entry ends the
// process with exit status 1 and never returns.
void Log(const std::string &message, int32_t level, const std::string &channel, int32_t id);

// Shorthands for the patcher's own call sites: empty channel, id 0.
void LogError(const std::string &message);
void LogWarning(const std::string &message);
void LogDebug(const std::string &message);

// The most verbose level that is written (default LogLevel_DEVEL).
int32_t LogThreshold();
void SetLogThreshold(int32_t level);

// Name of a level ("CRITICAL" ... "DEVELOP"), "" for an unknown value.
const char *LogLevelName(int32_t level);

// The 26-character time column for a UTC time given as its parts.
std::string FormatLogTime(int year, int month, int day, int hour, int minute, int second, int microseconds);

// The complete line as sinks receive it: header, then the message with continuation lines indented
// under the first one.
std::string FormatLogLine(const std::string &message, int32_t level, const std::string &channel, int32_t id,
                          const std::string &timeText);

// Logs an assertion failure at CRITICAL (which ends the process).
[[noreturn]] void LogAssertionFailure(const char *condition, const char *file, int line,
                                      const std::string &text);

} // namespace patcher

// Checks a condition that only a programming error can break; on failure the process ends.
#define PATCHER_CHECK(condition)                                                                             \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            ::patcher::LogAssertionFailure(#condition, __FILE__, __LINE__, std::string());                   \
    } while (0)

#endif
