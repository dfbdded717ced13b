#include "exe_builders.h"

#include "testutil.h"

#include <cstdio>
#include <cstring>

namespace exetest {

void Put16(Bytes *b, size_t at, uint16_t v)
{
    if (b->size() < at + 2)
        b->resize(at + 2);
    (*b)[at] = v & 0xFF;
    (*b)[at + 1] = v >> 8;
}

void Put32(Bytes *b, size_t at, uint32_t v)
{
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

void Put64(Bytes *b, size_t at, uint64_t v)
{
    Put32(b, at, static_cast<uint32_t>(v));
    Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

Bytes ReadFixture(const std::string &name)
{
    const QByteArray data = testutil::readFile(testutil::fixture(QString::fromStdString("exe/" + name)));
    return Bytes(data.begin(), data.end());
}

static size_t Align(size_t v, size_t a)
{
    return (v + a - 1) / a * a;
}

uint32_t ElfImage::address(size_t section) const
{
    return loadAddress + offsets[section];
}

ElfImage BuildElf(const ElfLayout &layout)
{
    const size_t headerSize = layout.is64 ? 64 : 52;
    const size_t phSize = layout.is64 ? 56 : 32;
    const size_t shSize = layout.is64 ? 64 : 40;
    ElfImage image;
    image.loadAddress = layout.loadAddress;
    Bytes &b = image.bytes;
    b.assign(Align(headerSize + phSize, 4), 0);
    for (const ElfSectionLayout &s : layout.sections) {
        image.offsets.push_back(static_cast<uint32_t>(b.size()));
        if (s.type != 8)
            b.insert(b.end(), s.data.begin(), s.data.end());
        b.resize(Align(b.size(), 4));
    }
    const size_t shoff = b.size();
    const size_t shnum = layout.sections.size() + 1;
    b.resize(shoff + shnum * shSize);

    b[0] = 0x7F;
    b[1] = 'E';
    b[2] = 'L';
    b[3] = 'F';
    b[4] = layout.is64 ? 2 : 1;
    b[5] = 1;
    b[6] = 1;
    Put16(&b, 16, layout.type);
    Put16(&b, 18, layout.machine);
    Put32(&b, 20, 1);
    const size_t flagsAt = layout.is64 ? 48 : 36;
    if (layout.is64) {
        Put64(&b, 32, headerSize);
        Put64(&b, 40, shoff);
    } else {
        Put32(&b, 28, static_cast<uint32_t>(headerSize));
        Put32(&b, 32, static_cast<uint32_t>(shoff));
    }
    Put16(&b, flagsAt + 4, static_cast<uint16_t>(headerSize));
    Put16(&b, flagsAt + 6, static_cast<uint16_t>(phSize));
    Put16(&b, flagsAt + 8, 1);
    Put16(&b, flagsAt + 10, static_cast<uint16_t>(shSize));
    Put16(&b, flagsAt + 12, static_cast<uint16_t>(shnum));
    Put16(&b, flagsAt + 14, 0);

    const uint64_t fileSize = b.size();
    const uint64_t memSize = layout.loadMemSize ? layout.loadMemSize : fileSize;
    const size_t ph = headerSize;
    Put32(&b, ph, 1); // PT_LOAD
    if (layout.is64) {
        Put32(&b, ph + 4, 5);
        Put64(&b, ph + 8, 0);
        Put64(&b, ph + 16, layout.loadAddress);
        Put64(&b, ph + 24, layout.loadAddress);
        Put64(&b, ph + 32, fileSize);
        Put64(&b, ph + 40, memSize);
    } else {
        Put32(&b, ph + 4, 0);
        Put32(&b, ph + 8, layout.loadAddress);
        Put32(&b, ph + 12, layout.loadAddress);
        Put32(&b, ph + 16, static_cast<uint32_t>(fileSize));
        Put32(&b, ph + 20, static_cast<uint32_t>(memSize));
    }

    for (size_t i = 0; i < layout.sections.size(); ++i) {
        const ElfSectionLayout &s = layout.sections[i];
        const size_t at = shoff + (i + 1) * shSize;
        const uint64_t size = s.size ? s.size : s.data.size();
        Put32(&b, at + 4, s.type);
        if (layout.is64) {
            Put64(&b, at + 16, image.address(i));
            Put64(&b, at + 24, image.offsets[i]);
            Put64(&b, at + 32, size);
            Put64(&b, at + 56, s.entsize);
        } else {
            Put32(&b, at + 12, image.address(i));
            Put32(&b, at + 16, image.offsets[i]);
            Put32(&b, at + 20, static_cast<uint32_t>(size));
            Put32(&b, at + 36, s.entsize);
        }
    }
    return image;
}

PeImage BuildPe(const PeLayout &layout)
{
    PeImage image;
    Bytes &b = image.bytes;
    b.assign(0x200, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(&b, 60, layout.peOffset);
    const size_t pe = layout.peOffset;
    std::memcpy(&b[pe], "PE\0\0", 4);
    const uint16_t optSize = (layout.plus ? 112 : 96) + 16 * 8;
    Put16(&b, pe + 4, layout.plus ? 0x8664 : 0x14C);
    Put16(&b, pe + 6, static_cast<uint16_t>(layout.sections.size()));
    Put16(&b, pe + 20, optSize);
    const size_t opt = pe + 24;
    image.optionalHeader = opt;
    Put16(&b, opt, layout.plus ? 0x20B : 0x10B);
    if (layout.plus)
        Put64(&b, opt + 24, layout.imageBase);
    else
        Put32(&b, opt + 28, static_cast<uint32_t>(layout.imageBase));
    Put32(&b, opt + 32, 0x1000);
    Put32(&b, opt + 36, 0x200);
    Put32(&b, opt + 56, layout.sizeOfImage);
    Put32(&b, opt + 60, 0x200);
    Put32(&b, opt + (layout.plus ? 108 : 92), 16);
    const size_t dirs = opt + (layout.plus ? 112 : 96);
    const size_t table = opt + optSize;

    size_t raw = 0x200;
    for (size_t i = 0; i < layout.sections.size(); ++i) {
        const PeSectionLayout &s = layout.sections[i];
        const size_t at = table + 40 * i;
        std::memcpy(&b[at], s.name.c_str(), std::min<size_t>(8, s.name.size()));
        const uint32_t vsize = s.virtualSize ? s.virtualSize : static_cast<uint32_t>(s.data.size());
        Put32(&b, at + 8, vsize);
        Put32(&b, at + 12, s.virtualAddress);
        Put32(&b, at + 16, static_cast<uint32_t>(s.data.size()));
        Put32(&b, at + 20, static_cast<uint32_t>(raw));
        image.rawOffsets.push_back(static_cast<uint32_t>(raw));
        if (s.name == ".reloc") {
            Put32(&b, dirs + 5 * 8, s.virtualAddress);
            Put32(&b, dirs + 5 * 8 + 4, static_cast<uint32_t>(s.data.size()));
        }
        b.resize(raw);
        b.insert(b.end(), s.data.begin(), s.data.end());
        raw = Align(b.size(), 16);
    }
    return image;
}

Bytes PeRelocBlock(uint32_t page, const std::vector<uint16_t> &entries)
{
    std::vector<uint16_t> padded = entries;
    if (padded.size() % 2 != 0)
        padded.push_back(0);
    Bytes b;
    Put32(&b, 0, page);
    Put32(&b, 4, static_cast<uint32_t>(8 + 2 * padded.size()));
    for (size_t i = 0; i < padded.size(); ++i)
        Put16(&b, 8 + 2 * i, padded[i]);
    return b;
}

Bytes BuildMacho(const MachoLayout &layout)
{
    Bytes b(layout.fileSize, 0);
    Put32(&b, 0, layout.is64 ? 0xFEEDFACF : 0xFEEDFACE);
    Put32(&b, 4, layout.cputype ? layout.cputype : (layout.is64 ? 0x01000007 : 7));
    Put32(&b, 12, layout.filetype);
    Put32(&b, 16, static_cast<uint32_t>(layout.segments.size()));
    size_t at = layout.is64 ? 32 : 28;
    const size_t commandsStart = at;
    for (const MachoSegmentLayout &seg : layout.segments) {
        const size_t headerSize = seg.as64 ? 72 : 56;
        const size_t sectionSize = seg.as64 ? 80 : 68;
        const size_t cmdSize = headerSize + sectionSize * seg.sections.size();
        Put32(&b, at, seg.as64 ? 25 : 1);
        Put32(&b, at + 4, static_cast<uint32_t>(cmdSize));
        if (seg.as64) {
            Put64(&b, at + 24, seg.vmaddr);
            Put64(&b, at + 32, seg.vmsize);
            Put64(&b, at + 40, seg.fileoff);
            Put64(&b, at + 48, seg.filesize);
            Put32(&b, at + 64, static_cast<uint32_t>(seg.sections.size()));
        } else {
            Put32(&b, at + 24, static_cast<uint32_t>(seg.vmaddr));
            Put32(&b, at + 28, static_cast<uint32_t>(seg.vmsize));
            Put32(&b, at + 32, seg.fileoff);
            Put32(&b, at + 36, seg.filesize);
            Put32(&b, at + 48, static_cast<uint32_t>(seg.sections.size()));
        }
        for (size_t i = 0; i < seg.sections.size(); ++i) {
            const MachoSectionLayout &s = seg.sections[i];
            const size_t sa = at + headerSize + sectionSize * i;
            std::memcpy(&b[sa], s.name.c_str(), std::min<size_t>(16, s.name.size()));
            if (seg.as64) {
                Put64(&b, sa + 32, s.addr);
                Put64(&b, sa + 40, s.data.size());
                Put32(&b, sa + 48, s.offset);
                Put32(&b, sa + 64, s.flags);
            } else {
                Put32(&b, sa + 32, static_cast<uint32_t>(s.addr));
                Put32(&b, sa + 36, static_cast<uint32_t>(s.data.size()));
                Put32(&b, sa + 40, s.offset);
                Put32(&b, sa + 56, s.flags);
            }
            std::memcpy(&b[s.offset], s.data.data(), s.data.size());
        }
        at += cmdSize;
    }
    Put32(&b, 20, static_cast<uint32_t>(at - commandsStart));
    return b;
}

std::string Describe(const patcher::ParsedProgram &program)
{
    std::string out;
    char buf[64];
    size_t byteRun = 0;
    auto flushBytes = [&]() {
        if (byteRun) {
            std::snprintf(buf, sizeof buf, " BYTE*%zu", byteRun);
            out += buf;
            byteRun = 0;
        }
    };
    for (const patcher::Instruction *insn : program.instructions()) {
        if (insn->kind == patcher::INSN_BYTE) {
            ++byteRun;
            continue;
        }
        flushBytes();
        switch (insn->kind) {
        case patcher::INSN_ORIGIN:
            std::snprintf(buf, sizeof buf, " ORIGIN(%x)", insn->rva);
            break;
        case patcher::INSN_BYTES:
            std::snprintf(buf, sizeof buf, " BYTES(%u)", insn->size);
            break;
        case patcher::INSN_REL32:
            std::snprintf(buf, sizeof buf, " REL32(%x)", insn->label->rva);
            break;
        case patcher::INSN_ABS32:
            std::snprintf(buf, sizeof buf, " ABS32(%x)", insn->label->rva);
            break;
        case patcher::INSN_ARM_REL32:
            std::snprintf(buf, sizeof buf, " ARM(%x,%x,%u)", insn->op, insn->label->rva, insn->size);
            break;
        case patcher::INSN_PE_RELOCS:
            std::snprintf(buf, sizeof buf, " PE_RELOCS");
            break;
        case patcher::INSN_ELF_RELOCS:
            std::snprintf(buf, sizeof buf, " ELF_RELOCS");
            break;
        case patcher::INSN_ELF_ARM_RELOCS:
            std::snprintf(buf, sizeof buf, " ELF_ARM_RELOCS");
            break;
        default:
            std::snprintf(buf, sizeof buf, " ?");
            break;
        }
        out += buf;
    }
    flushBytes();
    return out.empty() ? out : out.substr(1);
}

} // namespace exetest
