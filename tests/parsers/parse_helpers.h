// Runs one parser over bytes and keeps what the tests look at.
#pragma once

#include "exe_builders.h"
#include "patcher/disassembler.h"

#include <memory>
#include <string>
#include <vector>

namespace exetest {

struct ParseResult {
    bool headerOk = false;
    bool parseOk = false;
    std::string reason;      // after the header check
    std::string parseReason; // after the parse
    uint64_t length = 0;
    std::unique_ptr<patcher::ParsedProgram> program;

    std::vector<uint32_t> rel32Rvas() const;
    std::vector<uint32_t> abs32Rvas() const;
    std::string text() const { return program ? Describe(*program) : std::string(); }
};

template <class Parser> ParseResult Parse(const Bytes &bytes)
{
    ParseResult result;
    Parser parser(bytes.data(), bytes.size());
    result.headerOk = parser.CheckHeader();
    result.reason = parser.failure_reason();
    result.length = parser.length();
    if (result.headerOk) {
        result.program.reset(new patcher::ParsedProgram(parser.GetKind()));
        result.parseOk = parser.ParseProgram(result.program.get());
        result.parseReason = parser.failure_reason();
    }
    return result;
}

inline std::vector<uint32_t> RvasOf(const patcher::LabelMap &labels)
{
    std::vector<uint32_t> out;
    for (const auto &entry : labels)
        out.push_back(entry.first);
    return out;
}

inline std::vector<uint32_t> ParseResult::rel32Rvas() const
{
    return program ? RvasOf(program->rel32_labels()) : std::vector<uint32_t>();
}

inline std::vector<uint32_t> ParseResult::abs32Rvas() const
{
    return program ? RvasOf(program->abs32_labels()) : std::vector<uint32_t>();
}

} // namespace exetest
