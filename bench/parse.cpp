// Times detection + parse + trim + encode of one executable: bench_parse FILE [RUNS].
// Prints "<bytes> <kind> <detect ms> <parse ms> <trim ms> <encode ms> <total ms>", each the
// median over the runs; total is parse (which detects again) + trim + encode.
#include "patcher/disassembler.h"
#include "patcher/encoded_program.h"
#include "patcher/mapped_file.h"
#include "patcher/parsed_program.h"
#include "patcher/program_encoder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_parse FILE [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    patcher::MappedFile file;
    if (!file.Open(argv[1])) {
        std::fprintf(stderr, "cannot map %s\n", argv[1]);
        return 1;
    }
    std::vector<double> detect, parse, trim, encode, total;
    patcher::ExecutableType kind = patcher::EXE_UNKNOWN;
    for (int run = 0; run < runs; ++run) {
        auto start = std::chrono::steady_clock::now();
        size_t length;
        if (patcher::DetectExecutable(file.data(), file.size(), &kind, &length) != patcher::C_OK) {
            std::fprintf(stderr, "not an executable: %s\n", argv[1]);
            return 1;
        }
        detect.push_back(MsSince(start));

        start = std::chrono::steady_clock::now();
        std::unique_ptr<patcher::ParsedProgram> program;
        if (patcher::DisassembleExecutable(file.data(), length, &program) != patcher::C_OK) {
            std::fprintf(stderr, "parse failed: %s\n", argv[1]);
            return 1;
        }
        parse.push_back(MsSince(start));

        start = std::chrono::steady_clock::now();
        if (patcher::TrimLabels(program.get()) != patcher::C_OK)
            return 1;
        trim.push_back(MsSince(start));

        start = std::chrono::steady_clock::now();
        patcher::EncodedProgram encoded;
        if (patcher::EncodeProgram(*program, &encoded) != patcher::C_OK)
            return 1;
        encode.push_back(MsSince(start));
        total.push_back(parse.back() + trim.back() + encode.back());
    }
    std::printf("%zu %s %.2f %.1f %.2f %.1f %.1f\n", file.size(), patcher::ExecutableTypeName(kind),
                Median(detect), Median(parse), Median(trim), Median(encode), Median(total));
    return 0;
}
