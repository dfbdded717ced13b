// A patcher log sink that keeps every line, for tests that check the patcher's messages.
#pragma once

#include "patcher/logging.h"

#include <string>
#include <vector>

class LogCapture : public patcher::LogBase {
public:
    struct Entry {
        std::string message;
        int32_t level;
        std::string channel;
        int32_t id;
        std::string timeText;
        std::string line;
    };

    void Flush() override { ++flushes; }
    void Write(const std::string &message, int32_t level, const std::string &channel, int32_t id,
               const std::string &timeText, const std::string &line) override
    {
        entries.push_back({message, level, channel, id, timeText, line});
    }

    // The messages only, in order.
    std::vector<std::string> messages() const
    {
        std::vector<std::string> out;
        for (const Entry &e : entries)
            out.push_back(e.message);
        return out;
    }

    std::vector<Entry> entries;
    int flushes = 0;
};
