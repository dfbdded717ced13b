// Fuzzes executable detection, parsing, label trimming and encoding (and, for what encodes,
// serialisation, reading back and assembly) over arbitrary bytes.
#include "patcher/disassembler.h"
#include "patcher/encoded_program.h"
#include "patcher/parsed_program.h"
#include "patcher/program_encoder.h"
#include "patcher/stream_set.h"
#include "patcher/streams.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<patcher::ExecutableElement> elements;
    if (!patcher::FindExecutableElements(data, size, &elements))
        return 0;
    for (const patcher::ExecutableElement &element : elements) {
        if (element.offset > size || element.length > size - element.offset)
            abort(); // an element must lie inside the input
        std::unique_ptr<patcher::ParsedProgram> program;
        if (patcher::DisassembleExecutable(data + element.offset, element.length, &program) != patcher::C_OK)
            continue;
        if (patcher::TrimLabels(program.get()) != patcher::C_OK)
            continue;
        patcher::EncodedProgram encoded;
        if (patcher::EncodeProgram(*program, &encoded) != patcher::C_OK)
            continue;
        patcher::WriteStreamSet streams;
        patcher::WriteStream blob;
        if (patcher::SerializeEncodedProgram(encoded, &streams) != patcher::C_OK || !streams.Serialize(&blob))
            continue;
        patcher::ReadStreamSet readBack;
        patcher::EncodedProgram decoded;
        if (!readBack.Parse(blob.Buffer(), blob.Length()) ||
            patcher::DeserializeEncodedProgram(&readBack, &decoded) != patcher::C_OK)
            abort(); // what was just written must read back
        patcher::WriteStream assembled;
        patcher::AssembleProgram(decoded, &assembled);
    }
    return 0;
}
