#include "patcher/encoded_program.h"

#include <algorithm>

namespace patcher {

namespace {

bool setAddress(GrowableArray<uint32_t> *table, uint32_t index, uint32_t rva)
{
    if (index >= table->size() && !table->resize(static_cast<size_t>(index) + 1, kUnassignedAddress))
        return false;
    (*table)[index] = rva;
    return true;
}

void fillMarkers(GrowableArray<uint32_t> *table)
{
    uint32_t previous = 0;
    for (uint32_t &slot : *table) {
        if (slot == kUnassignedAddress)
            slot = previous;
        previous = slot;
    }
}

bool writeList(WriteStream *out, const GrowableArray<uint32_t> &list)
{
    bool ok = out->WriteSizeVarint(list.size());
    for (size_t i = 0; ok && i < list.size(); ++i)
        ok = out->WriteSizeVarint(list[i]);
    return ok;
}

bool writeDeltaList(WriteStream *out, const GrowableArray<uint32_t> &list)
{
    bool ok = out->WriteSizeVarint(list.size());
    uint32_t previous = 0;
    for (size_t i = 0; ok && i < list.size(); ++i) {
        ok = out->WriteVarint(list[i] - previous);
        previous = list[i];
    }
    return ok;
}

// Each entry takes at least one byte, so a count above the bytes left is refused before any
// memory is reserved for it.
bool readCount(ReadStream *in, uint32_t *count)
{
    return in->ReadVarint(count) && *count <= in->Remaining();
}

bool readList(ReadStream *in, GrowableArray<uint32_t> *list)
{
    uint32_t count = 0;
    if (!readCount(in, &count) || !list->reserve(count))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t value = 0;
        if (!in->ReadVarint(&value) || !list->push_back(value))
            return false;
    }
    return true;
}

bool readDeltaList(ReadStream *in, GrowableArray<uint32_t> *list)
{
    uint32_t count = 0;
    if (!readCount(in, &count) || !list->reserve(count))
        return false;
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t delta = 0;
        if (!in->ReadVarint(&delta))
            return false;
        value += delta;
        if (!list->push_back(value))
            return false;
    }
    return true;
}

bool readBytes(ReadStream *in, GrowableArray<uint8_t> *list)
{
    uint32_t count = 0;
    if (!readCount(in, &count) || !list->reserve(count))
        return false;
    const bool ok = list->append(in->Buffer(), count);
    return ok && in->SkipBytes(count);
}

bool writeU16(WriteStream *out, uint32_t value)
{
    const uint8_t b[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    return out->WriteBytes(b, 2);
}

bool writeU32(WriteStream *out, uint32_t value)
{
    const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return out->WriteBytes(b, 4);
}

uint32_t bit(uint32_t value, int n)
{
    return (value >> n) & 1u;
}

// Rebuilds the branch instruction of compressed op c with displacement d; false for an unknown kind.
bool writeArmBranch(WriteStream *out, uint32_t c, uint32_t d, uint32_t *size)
{
    switch (c & 0xF000) {
    case THUMB_B8:
        *size = 2;
        return writeU16(out, ((c << 8) & 0xFFF00) | (((d - 4) >> 1) & 0xFF));
    case THUMB_B11:
        *size = 2;
        return writeU16(out, ((c << 11) & 0x7FF800) | (((d - 4) >> 1) & 0x7FF));
    case ARM_B24:
        *size = 4;
        return writeU32(out, ((c & 0xFF) << 24) | (((d - 8) >> 2) & 0xFFFFFF));
    case THUMB2_BL25: {
        const uint32_t e = d - ((c >> 8) & 0xF);
        const uint32_t s = bit(e, 24);
        const uint32_t j1 = bit(e, 23) ^ s ^ 1u;
        const uint32_t j2 = bit(e, 22) ^ s ^ 1u;
        const uint32_t v = ((c & 0xF8) << 24) | ((c & 4) << 13) | ((c & 2) << 13) | ((c & 1) << 12) |
                           (s << 26) | (((e >> 12) & 0x3FF) << 16) | (j1 << 13) | (j2 << 11) |
                           ((e >> 1) & 0x7FF);
        *size = 4;
        // First halfword first.
        return writeU16(out, v >> 16) && writeU16(out, v & 0xFFFF);
    }
    case THUMB2_BCC21: {
        const uint32_t e = d - 4;
        const uint32_t v = 0xF0008000u | ((c & 0xF) << 22) | (bit(e, 20) << 26) | (bit(e, 19) << 13) |
                           (bit(e, 18) << 11) | (((e >> 12) & 0x3F) << 16) | ((e >> 1) & 0x7FF);
        *size = 4;
        return writeU16(out, v >> 16) && writeU16(out, v & 0xFFFF);
    }
    default:
        return false;
    }
}

bool writePeRelocations(WriteStream *out, const GrowableArray<uint32_t> &rvas, uint32_t type)
{
    size_t i = 0;
    while (i < rvas.size()) {
        const uint32_t page = rvas[i] & ~0xFFFu;
        size_t end = i;
        while (end < rvas.size() && (rvas[end] & ~0xFFFu) == page)
            ++end;
        const size_t entries = end - i;
        const size_t padded = entries + (entries & 1);
        if (!writeU32(out, page) || !writeU32(out, static_cast<uint32_t>(8 + 2 * padded)))
            return false;
        for (; i < end; ++i) {
            if (!writeU16(out, (type << 12) | (rvas[i] & 0xFFF)))
                return false;
        }
        if ((entries & 1) && !writeU16(out, 0))
            return false;
    }
    return true;
}

bool writeElfRelocations(WriteStream *out, const GrowableArray<uint32_t> &rvas, uint32_t type)
{
    for (uint32_t rva : rvas) {
        if (!writeU32(out, rva) || !writeU32(out, type))
            return false;
    }
    return true;
}

bool assemble(const EncodedProgram &program, WriteStream *finalOut)
{
    const GrowableArray<uint32_t> &ops = program.ops();
    const GrowableArray<uint32_t> &origins = program.origins();
    const GrowableArray<uint32_t> &copyCounts = program.copy_counts();
    const GrowableArray<uint8_t> &copyBytes = program.copy_bytes();
    const GrowableArray<uint32_t> &abs32Indexes = program.abs32_indexes();
    const GrowableArray<uint32_t> &rel32Indexes = program.rel32_indexes();
    const GrowableArray<uint32_t> &abs32Addresses = program.abs32_addresses();
    const GrowableArray<uint32_t> &rel32Addresses = program.rel32_addresses();
    const uint32_t imageBase = static_cast<uint32_t>(program.image_base());

    // Bytes after a relocation table go to a scratch stream until the table can be written.
    WriteStream scratch;
    WriteStream *out = finalOut;
    GrowableArray<uint32_t> relocations;
    bool pePending = false;
    uint32_t peType = 3;
    bool elfPending = false;
    uint32_t elfType = 8;
    size_t origin = 0, copyCount = 0, copyByte = 0, abs32 = 0, rel32 = 0;
    uint32_t rva = 0;

    for (uint32_t op : ops) {
        switch (op) {
        case OP_ORIGIN:
            if (origin >= origins.size())
                return false;
            rva = origins[origin++];
            break;
        case OP_COPY: {
            if (copyCount >= copyCounts.size())
                return false;
            const uint32_t count = copyCounts[copyCount++];
            if (count > copyBytes.size() - copyByte || !out->WriteBytes(copyBytes.data() + copyByte, count))
                return false;
            copyByte += count;
            rva += count;
            break;
        }
        case OP_COPY_ONE:
            if (copyByte >= copyBytes.size() || !out->WriteByte(copyBytes[copyByte]))
                return false;
            ++copyByte;
            rva += 1;
            break;
        case OP_REL32: {
            if (rel32 >= rel32Indexes.size())
                return false;
            const uint32_t index = rel32Indexes[rel32++];
            if (index >= rel32Addresses.size() || !writeU32(out, rel32Addresses[index] - (rva + 4)))
                return false;
            rva += 4;
            break;
        }
        case OP_ABS32: {
            if (abs32 >= abs32Indexes.size())
                return false;
            const uint32_t index = abs32Indexes[abs32++];
            if (index >= abs32Addresses.size() || !relocations.push_back(rva) ||
                !writeU32(out, abs32Addresses[index] + imageBase))
                return false;
            rva += 4;
            break;
        }
        case OP_PE_RELOCS:
        case OP_PE64_RELOCS:
            if (pePending)
                return false;
            pePending = true;
            peType = op == OP_PE_RELOCS ? 3 : 10;
            out = &scratch;
            break;
        case OP_ELF_RELOCS:
        case OP_ELF_ARM_RELOCS:
            if (elfPending)
                return false;
            elfPending = true;
            elfType = op == OP_ELF_RELOCS ? 8 : 23;
            out = &scratch;
            break;
        default: {
            if (op < 0x1000 || op > 0x5FFF || rel32 >= rel32Indexes.size())
                return false;
            const uint32_t index = rel32Indexes[rel32++];
            if (index >= rel32Addresses.size())
                return false;
            uint32_t size = 0;
            if (!writeArmBranch(out, op, rel32Addresses[index] - rva, &size))
                return false;
            rva += size;
            break;
        }
        }
    }

    if (pePending || elfPending)
        std::sort(relocations.begin(), relocations.end());
    if (pePending && !writePeRelocations(finalOut, relocations, peType))
        return false;
    if (elfPending && !writeElfRelocations(finalOut, relocations, elfType))
        return false;
    if ((pePending || elfPending) && !finalOut->AppendAndFree(&scratch))
        return false;
    return copyCount == copyCounts.size() && copyByte == copyBytes.size() && abs32 == abs32Indexes.size() &&
           rel32 == rel32Indexes.size();
}

} // namespace

bool EncodedProgram::AppendOrigin(uint32_t rva)
{
    return m_ops.push_back(OP_ORIGIN) && m_origins.push_back(rva);
}

bool EncodedProgram::AppendCopy(size_t count, const uint8_t *bytes)
{
    if (!m_ops.empty() && m_ops.back() == OP_COPY_ONE) {
        if (!m_copyCounts.push_back(1))
            return false;
        m_ops.back() = OP_COPY;
    }
    if (!m_ops.empty() && m_ops.back() == OP_COPY) {
        uint32_t &last = m_copyCounts.back();
        if (count > UINT32_MAX - last || !m_copyBytes.append(bytes, count))
            return false;
        last += static_cast<uint32_t>(count);
        return true;
    }
    if (count == 1)
        return m_ops.push_back(OP_COPY_ONE) && m_copyBytes.push_back(bytes[0]);
    if (count > UINT32_MAX)
        return false;
    return m_ops.push_back(OP_COPY) && m_copyCounts.push_back(static_cast<uint32_t>(count)) &&
           m_copyBytes.append(bytes, count);
}

bool EncodedProgram::AppendRel32(uint32_t labelIndex)
{
    return m_ops.push_back(OP_REL32) && m_rel32Indexes.push_back(labelIndex);
}

bool EncodedProgram::AppendAbs32(uint32_t labelIndex)
{
    return m_ops.push_back(OP_ABS32) && m_abs32Indexes.push_back(labelIndex);
}

bool EncodedProgram::AppendArmRel32(uint32_t compressedOp, uint32_t labelIndex)
{
    return m_ops.push_back(compressedOp) && m_rel32Indexes.push_back(labelIndex);
}

bool EncodedProgram::AppendPeRelocTable(ExecutableType type)
{
    return m_ops.push_back(type == EXE_WIN_32_X86 ? OP_PE_RELOCS : OP_PE64_RELOCS);
}

bool EncodedProgram::AppendElfRelocTable()
{
    return m_ops.push_back(OP_ELF_RELOCS);
}

bool EncodedProgram::AppendElfArmRelocTable()
{
    return m_ops.push_back(OP_ELF_ARM_RELOCS);
}

bool EncodedProgram::SetRel32Address(uint32_t index, uint32_t rva)
{
    return setAddress(&m_rel32Addresses, index, rva);
}

bool EncodedProgram::SetAbs32Address(uint32_t index, uint32_t rva)
{
    return setAddress(&m_abs32Addresses, index, rva);
}

void EncodedProgram::FinishAddressTables()
{
    fillMarkers(&m_abs32Addresses);
    fillMarkers(&m_rel32Addresses);
}

void EncodedProgram::Clear()
{
    m_imageBase = 0;
    m_rel32Addresses.Clear();
    m_abs32Addresses.Clear();
    m_ops.Clear();
    m_origins.Clear();
    m_copyCounts.Clear();
    m_copyBytes.Clear();
    m_rel32Indexes.Clear();
    m_abs32Indexes.Clear();
}

PatchStatus SerializeEncodedProgram(const EncodedProgram &program, WriteStreamSet *streams)
{
    WriteStream *s[8];
    for (size_t i = 0; i < 8; ++i) {
        s[i] = streams->stream(i);
        if (s[i] == nullptr)
            return C_STREAM_ERROR;
    }
    bool ok = s[0]->WriteVarint(static_cast<uint32_t>(program.image_base()));
    ok &= writeDeltaList(s[5], program.abs32_addresses());
    ok &= writeDeltaList(s[6], program.rel32_addresses());
    ok &= writeList(s[0], program.origins());
    ok &= s[1]->ReserveMore(program.ops().size() + 5);
    ok &= writeList(s[1], program.ops());
    ok &= writeList(s[7], program.copy_counts());
    const GrowableArray<uint8_t> &bytes = program.copy_bytes();
    ok &= s[2]->WriteSizeVarint(bytes.size()) && s[2]->WriteBytes(bytes.data(), bytes.size());
    ok &= writeList(s[3], program.abs32_indexes());
    ok &= writeList(s[4], program.rel32_indexes());
    return ok ? C_OK : C_STREAM_ERROR;
}

PatchStatus DeserializeEncodedProgram(ReadStreamSet *streams, EncodedProgram *program)
{
    program->Clear();
    if (streams->count() < 8)
        return C_DESERIALIZATION_FAILED;
    ReadStream *s[8];
    for (size_t i = 0; i < 8; ++i)
        s[i] = streams->stream(i);
    uint32_t base = 0;
    bool ok = s[0]->ReadVarint(&base) && readDeltaList(s[5], &program->m_abs32Addresses) &&
              readDeltaList(s[6], &program->m_rel32Addresses) && readList(s[0], &program->m_origins) &&
              readList(s[1], &program->m_ops) && readList(s[7], &program->m_copyCounts) &&
              readBytes(s[2], &program->m_copyBytes) && readList(s[3], &program->m_abs32Indexes) &&
              readList(s[4], &program->m_rel32Indexes);
    for (size_t i = 0; ok && i <= 8; ++i) {
        const ReadStream *stream = streams->stream(i);
        ok = stream == nullptr || stream->Consumed();
    }
    if (!ok) {
        program->Clear();
        return C_DESERIALIZATION_FAILED;
    }
    program->m_imageBase = base;
    return C_OK;
}

PatchStatus AssembleProgram(const EncodedProgram &program, WriteStream *out)
{
    return assemble(program, out) ? C_OK : C_ASSEMBLY_FAILED;
}

} // namespace patcher
