// inspect: what the executable parsers make of a file, and whether its encoding rebuilds it.
#include "command.h"

#include "patcher/disassembler.h"
#include "patcher/encoded_program.h"
#include "patcher/executable_type.h"
#include "patcher/mapped_file.h"
#include "patcher/parsed_program.h"
#include "patcher/program_encoder.h"
#include "patcher/stream_set.h"
#include "patcher/streams.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char *const kName = "inspect";

// How telling a header check's failure is: 0 for a parser that recognised the file's kind but
// found a fault, 1 for a known kind of another architecture or width, 2 for another format.
int Relevance(const std::string &reason)
{
    static const char *const kOtherFormat[] = {"Too small", "Not MZ", "No Magic Number",
                                               "Unknown magic type"};
    static const char *const kOtherMachine[] = {"Not a supported architecture", "unsupported cpu type",
                                                "32 bit executables are not supported by this disassembler",
                                                "64 bit executables are not supported by this disassembler"};
    for (const char *r : kOtherFormat)
        if (reason == r)
            return 2;
    for (const char *r : kOtherMachine)
        if (reason == r)
            return 1;
    return 0;
}

std::string WhyNotExecutable(const uint8_t *bytes, size_t length)
{
    std::vector<std::string> reasons;
    patcher::ExecutableType type;
    size_t detected;
    patcher::DetectExecutable(bytes, length, &type, &detected, &reasons);
    std::string best;
    int bestRelevance = 3;
    for (const std::string &reason : reasons) {
        const int relevance = Relevance(reason);
        if (relevance < bestRelevance) {
            best = reason;
            bestRelevance = relevance;
        }
    }
    return bestRelevance == 2 ? "no executable header found" : best;
}

// Parse, trim, encode, serialise, read back and assemble one element. Returns the failed step's
// description, or "" with the labels counted and `identical` set.
std::string RoundTrip(const uint8_t *bytes, size_t length, size_t *abs32, size_t *rel32, bool *identical)
{
    std::unique_ptr<patcher::ParsedProgram> parsed;
    patcher::PatchStatus status = patcher::DisassembleExecutable(bytes, length, &parsed);
    if (status != patcher::C_OK)
        return "parse failed (status " + std::to_string(status) + ")";
    if ((status = patcher::TrimLabels(parsed.get())) != patcher::C_OK)
        return "trimming failed (status " + std::to_string(status) + ")";
    *abs32 = parsed->abs32_labels().size();
    *rel32 = parsed->rel32_labels().size();
    patcher::EncodedProgram encoded;
    if ((status = patcher::EncodeProgram(*parsed, &encoded)) != patcher::C_OK)
        return "encoding failed (status " + std::to_string(status) + ")";
    parsed.reset();

    patcher::WriteStreamSet streams;
    patcher::WriteStream blob;
    if (patcher::SerializeEncodedProgram(encoded, &streams) != patcher::C_OK || !streams.Serialize(&blob))
        return "serialising failed";
    patcher::ReadStreamSet readBack;
    patcher::EncodedProgram decoded;
    if (!readBack.Parse(blob.Buffer(), blob.Length()) ||
        (status = patcher::DeserializeEncodedProgram(&readBack, &decoded)) != patcher::C_OK)
        return "reading back failed";
    patcher::WriteStream assembled;
    if ((status = patcher::AssembleProgram(decoded, &assembled)) != patcher::C_OK)
        return "assembly failed (status " + std::to_string(status) + ")";
    *identical = assembled.Length() == length && std::memcmp(assembled.Buffer(), bytes, length) == 0;
    return std::string();
}

int runInspect(const std::vector<std::string> &args)
{
    if (args.size() != 1)
        return tools::usageError(kName);
    const char *path = args[0].c_str();
    patcher::MappedFile file;
    static const uint8_t kNothing = 0;
    const uint8_t *bytes = &kNothing;
    size_t length = 0;
    if (file.Open(path)) {
        bytes = file.data();
        length = file.size();
    } else if (!patcher::IsEmptyRegularFile(path)) {
        return tools::failure(kName, std::string("cannot read ") + path);
    }

    std::vector<patcher::ExecutableElement> elements;
    if (!patcher::FindExecutableElements(bytes, length, &elements))
        return tools::failure(kName, "out of memory");
    if (elements.empty()) {
        std::printf("not an executable: %s\n", WhyNotExecutable(bytes, length).c_str());
        return 0;
    }
    int result = 0;
    for (const patcher::ExecutableElement &element : elements) {
        size_t abs32 = 0, rel32 = 0;
        bool identical = false;
        const std::string failed =
            RoundTrip(bytes + element.offset, element.length, &abs32, &rel32, &identical);
        std::printf("%zu %zu %s ", element.offset, element.length, patcher::ExecutableTypeName(element.type));
        if (failed.empty()) {
            std::printf("abs32=%zu rel32=%zu roundtrip=%s\n", abs32, rel32,
                        identical ? "identical" : "differs");
        } else {
            std::printf("%s\n", failed.c_str());
            result = 1;
        }
    }
    return result;
}

const tools::CommandRegistration reg{
    kName, "FILE",
    "Show the executables in a file, their labels and whether their encoding "
    "rebuilds them",
    &runInspect};

} // namespace
