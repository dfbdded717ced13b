// Encoded programs: a stream set is read back as a program and assembled. A program that reads
// back must serialise to the same streams.
#include "fuzz_options.h"
#include "patcher/encoded_program.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    patcher::ReadStreamSet set;
    if (!set.Parse(data, size))
        return 0;
    patcher::EncodedProgram program;
    if (patcher::DeserializeEncodedProgram(&set, &program) != patcher::C_OK)
        return 0;
    patcher::WriteStream assembled;
    (void)patcher::AssembleProgram(program, &assembled);

    patcher::WriteStreamSet again;
    if (patcher::SerializeEncodedProgram(program, &again) != patcher::C_OK)
        __builtin_trap();
    patcher::ReadStreamSet original;
    original.Parse(data, size);
    for (size_t i = 0; i < 8; ++i) {
        const patcher::ReadStream *a = original.stream(i);
        const patcher::WriteStream *b = again.stream(i);
        // Varints may be written longer than needed in the input, so only the shortest form matches.
        if (b->Length() > a->Remaining())
            __builtin_trap();
    }
    return 0;
}
