#include "patcher/ensemble_generator.h"

#include "patcher/byte_difference.h"
#include "patcher/checksum.h"
#include "patcher/disassembler.h"
#include "patcher/encoded_program.h"
#include "patcher/ensemble.h"
#include "patcher/logging.h"
#include "patcher/lzma2.h"
#include "patcher/mapped_file.h"
#include "patcher/parsed_program.h"
#include "patcher/stream_set.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <set>
#include <tuple>
#include <vector>

namespace patcher {

namespace {

// How the new labels get the indexes of the old ones.
//
// Both programs are flattened into a "shape": their bytes with every reference replaced by a
// placeholder. A byte difference between the two shapes aligns them; a new reference that lands on an
// old reference of the same kind votes for its label to take the old label's index. The labels with
// the most votes are paired first. The shapes are then rebuilt with paired references tagged by their
// common index, and aligned and paired once more, which settles most of the first round's guesses.
// Labels without votes borrow the address shift of their paired neighbours. The rest take free
// indexes between those of their neighbours, or new ones at the end.
const int kAlignmentRounds = 2;
const uint32_t kRel32Placeholder = 0x5A3C9617;
const uint32_t kAbs32Placeholder = 0xC3A55A3C;

struct ShapeRef {
    size_t pos = 0;
    uint32_t size = 0;
    bool abs = false;
    uint16_t op = 0;
    uint32_t rva = 0;
    int32_t index = -1;
};

struct ProgramShape {
    std::vector<uint8_t> bytes;
    std::vector<ShapeRef> refs; // ascending pos
};

// A label of one kind: (abs, rva).
using LabelKey = std::pair<bool, uint32_t>;

struct OldElementInfo {
    ProgramShape shape;
    std::map<LabelKey, int32_t> indexes; // every old label with its index
};

void BuildShape(const ParsedProgram &program, ProgramShape *shape)
{
    for (const Instruction *insn : program.instructions()) {
        switch (insn->kind) {
        case INSN_BYTE:
            shape->bytes.push_back(insn->byte);
            break;
        case INSN_BYTES:
            shape->bytes.insert(shape->bytes.end(), insn->data, insn->data + insn->size);
            break;
        case INSN_REL32:
        case INSN_ABS32:
        case INSN_ARM_REL32: {
            if (!insn->label)
                break;
            ShapeRef ref;
            ref.pos = shape->bytes.size();
            ref.size = insn->kind == INSN_ARM_REL32 ? std::min<uint32_t>(insn->size, 4) : 4;
            ref.abs = insn->kind == INSN_ABS32;
            ref.op = insn->op;
            ref.rva = insn->label->rva;
            ref.index = insn->label->index;
            shape->refs.push_back(ref);
            shape->bytes.resize(shape->bytes.size() + ref.size);
            break;
        }
        default:
            break;
        }
    }
}

uint32_t Tag(const ShapeRef &ref, int32_t paired_index)
{
    if (paired_index < 0)
        return (ref.abs ? kAbs32Placeholder : kRel32Placeholder) ^ ref.op;
    return (static_cast<uint32_t>(paired_index) * 0x9E3779B1u) ^ (ref.abs ? 0x80000001u : 0u);
}

// Writes each reference's placeholder; `paired_index` gives the common index of a paired label or -1.
template <typename PairedIndex> void WritePlaceholders(ProgramShape *shape, PairedIndex paired_index)
{
    for (const ShapeRef &ref : shape->refs) {
        const uint32_t tag = Tag(ref, paired_index(ref));
        for (uint32_t i = 0; i < ref.size; ++i)
            shape->bytes[ref.pos + i] = static_cast<uint8_t>(tag >> (8 * i));
    }
}

struct Segment {
    size_t new_pos;
    size_t old_pos;
    size_t length;
};

// The runs of `new_bytes` that a byte difference copies (with corrections) from `old_bytes`.
bool AlignBytes(const std::vector<uint8_t> &old_bytes, const std::vector<uint8_t> &new_bytes,
                std::vector<Segment> *segments)
{
    WriteStream diff;
    ReadStream old_stream(old_bytes.data(), old_bytes.size());
    ReadStream new_stream(new_bytes.data(), new_bytes.size());
    if (!GenerateByteDifference(old_stream, new_stream, &diff, 0))
        return false;
    ReadStream r = diff.AsReadStream();
    uint8_t method = 0;
    uint32_t new_size = 0, control_length = 0, diff_length = 0, extra_length = 0;
    ReadStream control;
    if (!r.ReadByte(&method) || method != 0 || !r.ReadVarint(&new_size) || !r.ReadVarint(&control_length) ||
        !r.ReadVarint(&diff_length) || !r.ReadVarint(&extra_length) || !r.TakeSlice(control_length, &control))
        return false;
    int64_t old_pos = 0;
    uint64_t new_pos = 0;
    while (new_pos < new_size) {
        int32_t copy = 0, extra = 0, seek = 0;
        if (!control.ReadSignedVarint(&copy) || !control.ReadSignedVarint(&extra) ||
            !control.ReadSignedVarint(&seek) || copy < 0 || extra < 0)
            return false;
        if (copy > 0) {
            if (old_pos < 0 || static_cast<uint64_t>(old_pos) + copy > old_bytes.size() ||
                new_pos + copy > new_bytes.size())
                return false;
            segments->push_back(Segment{static_cast<size_t>(new_pos), static_cast<size_t>(old_pos),
                                        static_cast<size_t>(copy)});
        }
        new_pos += static_cast<uint64_t>(copy) + extra;
        old_pos += static_cast<int64_t>(copy) + seek;
    }
    return true;
}

// Pairs new labels (by key) with old labels (by key).
using LabelPairing = std::map<LabelKey, LabelKey>;

bool VoteAndPair(const ProgramShape &old_shape, const ProgramShape &new_shape, LabelPairing *pairing)
{
    std::vector<Segment> segments;
    if (!AlignBytes(old_shape.bytes, new_shape.bytes, &segments))
        return false;
    std::map<std::tuple<bool, uint32_t, uint32_t>, uint32_t> votes;
    const auto by_pos = [](const ShapeRef &ref, size_t pos) { return ref.pos < pos; };
    for (const Segment &s : segments) {
        auto it = std::lower_bound(new_shape.refs.begin(), new_shape.refs.end(), s.new_pos, by_pos);
        for (; it != new_shape.refs.end() && it->pos < s.new_pos + s.length; ++it) {
            if (it->pos + it->size > s.new_pos + s.length)
                break;
            const size_t old_pos = s.old_pos + (it->pos - s.new_pos);
            auto o = std::lower_bound(old_shape.refs.begin(), old_shape.refs.end(), old_pos, by_pos);
            if (o == old_shape.refs.end() || o->pos != old_pos || o->abs != it->abs || o->size != it->size)
                continue;
            ++votes[std::make_tuple(it->abs, it->rva, o->rva)];
        }
    }
    struct Candidate {
        uint32_t votes;
        bool abs;
        uint32_t new_rva;
        uint32_t old_rva;
    };
    std::vector<Candidate> candidates;
    candidates.reserve(votes.size());
    for (const auto &v : votes)
        candidates.push_back(
            Candidate{v.second, std::get<0>(v.first), std::get<1>(v.first), std::get<2>(v.first)});
    std::sort(candidates.begin(), candidates.end(), [](const Candidate &a, const Candidate &b) {
        return std::make_tuple(b.votes, a.abs, a.new_rva, a.old_rva) <
               std::make_tuple(a.votes, b.abs, b.new_rva, b.old_rva);
    });
    std::set<LabelKey> used_old;
    pairing->clear();
    for (const Candidate &c : candidates) {
        const LabelKey new_key(c.abs, c.new_rva);
        const LabelKey old_key(c.abs, c.old_rva);
        if (pairing->count(new_key) || used_old.count(old_key))
            continue;
        pairing->emplace(new_key, old_key);
        used_old.insert(old_key);
    }
    return true;
}

// A new label without votes whose neighbours moved by some shift probably moved by it too.
void PairByNeighbourShift(const LabelMap &new_labels, bool abs,
                          const std::map<LabelKey, int32_t> &old_indexes, LabelPairing *pairing)
{
    std::vector<std::pair<uint32_t, uint32_t>> anchors; // (new rva, old rva), ascending new rva
    std::set<uint32_t> used_old;
    for (const auto &p : *pairing) {
        if (p.first.first != abs)
            continue;
        anchors.emplace_back(p.first.second, p.second.second);
        used_old.insert(p.second.second);
    }
    if (anchors.empty())
        return;
    for (const auto &entry : new_labels) {
        const uint32_t rva = entry.first;
        if (pairing->count(LabelKey(abs, rva)))
            continue;
        auto next =
            std::upper_bound(anchors.begin(), anchors.end(), std::make_pair(rva, 0u),
                             [](const std::pair<uint32_t, uint32_t> &a,
                                const std::pair<uint32_t, uint32_t> &b) { return a.first < b.first; });
        const std::pair<uint32_t, uint32_t> *neighbours[2] = {
            next != anchors.begin() ? &*(next - 1) : nullptr, next != anchors.end() ? &*next : nullptr};
        for (const auto *n : neighbours) {
            if (!n)
                continue;
            const uint32_t old_rva = rva + (n->second - n->first);
            if (!used_old.count(old_rva) && old_indexes.count(LabelKey(abs, old_rva))) {
                pairing->emplace(LabelKey(abs, rva), LabelKey(abs, old_rva));
                used_old.insert(old_rva);
                break;
            }
        }
    }
}

// Gives every label of `labels` its new index: the paired old label's, else a free one between its
// neighbours' indexes, else one past the old table.
size_t AssignIndexes(LabelMap &labels, bool abs, const std::map<LabelKey, int32_t> &old_indexes,
                     const LabelPairing &pairing)
{
    int32_t table_size = 0;
    for (const auto &o : old_indexes)
        if (o.first.first == abs)
            table_size = std::max(table_size, o.second + 1);
    std::vector<int32_t> paired(labels.size(), -1);
    std::set<int32_t> taken;
    size_t i = 0;
    size_t matched = 0;
    for (auto &entry : labels) {
        auto p = pairing.find(LabelKey(abs, entry.first));
        if (p != pairing.end()) {
            paired[i] = old_indexes.at(p->second);
            taken.insert(paired[i]);
            ++matched;
        }
        ++i;
    }
    std::set<int32_t> free_indexes;
    for (int32_t k = 0; k < table_size; ++k)
        if (!taken.count(k))
            free_indexes.insert(k);
    // The index of the next paired label above each label (the old table's end when none).
    std::vector<int32_t> upper(labels.size(), table_size);
    for (size_t j = labels.size(); j-- > 1;)
        upper[j - 1] = paired[j] >= 0 ? paired[j] : upper[j];
    int32_t next_index = table_size;
    int32_t previous = -1;
    i = 0;
    for (auto it = labels.begin(); it != labels.end(); ++it, ++i) {
        Label &label = it->second;
        if (paired[i] >= 0) {
            label.index = paired[i];
        } else {
            auto slot = free_indexes.lower_bound(previous + 1);
            if (slot != free_indexes.end() && *slot < upper[i]) {
                label.index = *slot;
                free_indexes.erase(slot);
            } else {
                label.index = next_index++;
            }
        }
        previous = label.index;
    }
    return matched;
}

// Renumbers the labels of the new program after those of the old one.
bool NumberLabelsAfter(const OldElementInfo &old_info, ParsedProgram *program,
                       EnsembleGeneratorReport *report)
{
    ProgramShape old_shape = old_info.shape;
    ProgramShape new_shape;
    BuildShape(*program, &new_shape);
    LabelPairing pairing;
    for (int round = 0; round < kAlignmentRounds; ++round) {
        std::map<LabelKey, int32_t> paired_old; // old label -> common index
        std::map<LabelKey, int32_t> paired_new; // new label -> common index
        for (const auto &p : pairing) {
            const int32_t index = old_info.indexes.at(p.second);
            paired_old[p.second] = index;
            paired_new[p.first] = index;
        }
        const auto lookup = [](const std::map<LabelKey, int32_t> &m) {
            return [&m](const ShapeRef &ref) {
                auto it = m.find(LabelKey(ref.abs, ref.rva));
                return it == m.end() ? -1 : it->second;
            };
        };
        WritePlaceholders(&old_shape, lookup(paired_old));
        WritePlaceholders(&new_shape, lookup(paired_new));
        if (!VoteAndPair(old_shape, new_shape, &pairing))
            return false;
    }
    // The maps are the program's own; only the indexes change, never the keys.
    LabelMap &abs32 = const_cast<LabelMap &>(program->abs32_labels());
    LabelMap &rel32 = const_cast<LabelMap &>(program->rel32_labels());
    PairByNeighbourShift(abs32, true, old_info.indexes, &pairing);
    PairByNeighbourShift(rel32, false, old_info.indexes, &pairing);
    const size_t matched = AssignIndexes(abs32, true, old_info.indexes, pairing) +
                           AssignIndexes(rel32, false, old_info.indexes, pairing);
    if (report) {
        report->matched_labels += matched;
        report->new_labels += abs32.size() + rel32.size();
    }
    return true;
}

bool DescribeOldProgram(ParsedProgram *program, OldElementInfo *info)
{
    BuildShape(*program, &info->shape);
    for (const auto &e : program->abs32_labels())
        info->indexes[LabelKey(true, e.first)] = e.second.index;
    for (const auto &e : program->rel32_labels())
        info->indexes[LabelKey(false, e.first)] = e.second.index;
    return true;
}

struct ElementPair {
    ExecutableElement old_element;
    EncodedProgram old_program;
    EncodedProgram new_program;
};

// Pairs each new executable with the first unused old one of the same kind and encodes both.
std::vector<ElementPair> PairElements(ReadStream old, ReadStream new_file, EnsembleGeneratorReport *report)
{
    std::vector<ExecutableElement> old_elements, new_elements;
    std::vector<ElementPair> pairs;
    if (!FindExecutableElements(old.Buffer(), old.Remaining(), &old_elements) ||
        !FindExecutableElements(new_file.Buffer(), new_file.Remaining(), &new_elements))
        return pairs;
    std::vector<bool> used(old_elements.size(), false);
    for (const ExecutableElement &n : new_elements) {
        for (size_t i = 0; i < old_elements.size(); ++i) {
            const ExecutableElement &o = old_elements[i];
            if (used[i] || o.type != n.type || o.offset > std::numeric_limits<uint32_t>::max() ||
                o.length > std::numeric_limits<uint32_t>::max())
                continue;
            ElementPair pair;
            pair.old_element = o;
            OldElementInfo info;
            if (TransformExecutable(
                    old.Buffer() + o.offset, o.length,
                    [&info](ParsedProgram *p) { return DescribeOldProgram(p, &info); },
                    &pair.old_program) != C_OK)
                continue;
            if (TransformExecutable(
                    new_file.Buffer() + n.offset, n.length,
                    [&info, report](ParsedProgram *p) { return NumberLabelsAfter(info, p, report); },
                    &pair.new_program) != C_OK)
                break;
            used[i] = true;
            pairs.push_back(std::move(pair));
            break;
        }
    }
    return pairs;
}

// Corrections of encoded programs are mostly zeros around scattered values: a deep search for long
// matches pays off, and neither the previous byte nor the position predicts the next one.
Lzma2Tuning CorrectionTuning()
{
    Lzma2Tuning tuning = SparseDataTuning();
    tuning.literalContextBits = 0;
    tuning.positionBits = 0;
    tuning.niceLength = 273;
    tuning.depth = 512;
    tuning.splitAbove = SIZE_MAX;
    return tuning;
}

// Differences up to this size stay plain inside the body; larger ones get their own LZMA2 block.
const size_t kPlainDifferenceLimit = 64 * 1024;

bool Diff(const uint8_t *old_bytes, size_t old_size, const uint8_t *new_bytes, size_t new_size,
          WriteStream *out)
{
    ReadStream o(old_bytes, old_size);
    ReadStream n(new_bytes, new_size);
    WriteStream plain;
    if (!GenerateByteDifference(o, n, &plain, BYTE_DIFFERENCE_PLAIN))
        return false;
    if (plain.Length() <= kPlainDifferenceLimit)
        return out->AppendAndFree(&plain);
    // A large difference is mostly zero corrections. Compressed on its own it makes the patch smaller
    // than inside the body, and the applier never holds it uncompressed beside everything else.
    // The same layout inside one LZMA2 block is the compressed method.
    ReadStream r = plain.AsReadStream();
    uint8_t method = 0;
    uint32_t size = 0;
    if (!r.ReadByte(&method) || !r.ReadVarint(&size))
        return false;
    return out->WriteByte(BYTE_DIFFERENCE_LZMA2_ALL) && out->WriteVarint(size) &&
           WriteTunedLzma2Block(out, r.Buffer(), r.Remaining(), CorrectionTuning());
}

bool Serialized(WriteStreamSet *set, WriteStream *blob)
{
    return set->Serialize(blob) && !blob->Failed();
}

// Writes the whole patch for the given pairs (none for a plain byte difference).
bool WritePatch(ReadStream old, ReadStream new_file, std::vector<ElementPair> &pairs, WriteStream *patch)
{
    WriteStreamSet body;
    if (!body.SetCount(4))
        return false;

    WriteStream *list = body.stream(0);
    list->WriteSizeVarint(pairs.size());
    for (const ElementPair &p : pairs)
        list->WriteVarint(p.old_element.type);
    for (const ElementPair &p : pairs) {
        list->WriteSizeVarint(p.old_element.offset);
        list->WriteSizeVarint(p.old_element.length);
    }

    // Element patchers predict no parameters and take none, so the correction is the identity.
    WriteStreamSet predicted_parameters;
    WriteStreamSet transformed, corrected;
    for (ElementPair &p : pairs) {
        WriteStreamSet none, old_set, new_set;
        if (!predicted_parameters.WriteNestedSet(&none) ||
            SerializeEncodedProgram(p.old_program, &old_set) != C_OK ||
            !transformed.WriteNestedSet(&old_set) ||
            SerializeEncodedProgram(p.new_program, &new_set) != C_OK || !corrected.WriteNestedSet(&new_set))
            return false;
    }
    WriteStream parameters_blob, transformed_blob, corrected_blob;
    if (!Serialized(&predicted_parameters, &parameters_blob) ||
        !Serialized(&transformed, &transformed_blob) || !Serialized(&corrected, &corrected_blob))
        return false;
    if (!Diff(parameters_blob.Buffer(), parameters_blob.Length(), parameters_blob.Buffer(),
              parameters_blob.Length(), body.stream(1)) ||
        !Diff(transformed_blob.Buffer(), transformed_blob.Length(), corrected_blob.Buffer(),
              corrected_blob.Length(), body.stream(2)))
        return false;
    transformed_blob.Clear();

    // The rebuilt base exactly as the applier makes it: the old file, then each corrected element
    // read back from the corrected set and assembled.
    WriteStream rebuilt;
    if (!rebuilt.WriteBytes(old.Buffer(), old.Remaining()))
        return false;
    ReadStreamSet corrected_set;
    if (!corrected_set.Parse(corrected_blob.Buffer(), corrected_blob.Length()))
        return false;
    for (size_t i = 0; i < pairs.size(); ++i) {
        ReadStreamSet element;
        EncodedProgram program;
        if (!corrected_set.ReadNestedSet(&element) || DeserializeEncodedProgram(&element, &program) != C_OK ||
            AssembleProgram(program, &rebuilt) != C_OK)
            return false;
    }
    if (rebuilt.Length() > std::numeric_limits<uint32_t>::max())
        return false;
    corrected_blob.Clear();
    if (!Diff(rebuilt.Buffer(), rebuilt.Length(), new_file.Buffer(), new_file.Remaining(), body.stream(3)))
        return false;

    WriteStream body_blob;
    if (!Serialized(&body, &body_blob))
        return false;
    return patch->WriteVarint(kEnsembleMagic) && patch->WriteVarint(kEnsembleVersion) &&
           patch->WriteVarint(PatchChecksum(old.Buffer(), old.Remaining())) &&
           patch->WriteVarint(PatchChecksum(new_file.Buffer(), new_file.Remaining())) &&
           patch->WriteSizeVarint(rebuilt.Length()) &&
           patch->WriteLzma2Block(body_blob.Buffer(), body_blob.Length());
}

bool RebuildsNewFile(ReadStream old, const WriteStream &patch, ReadStream new_file)
{
    WriteStream out;
    return ApplyEnsemblePatch(old, patch.AsReadStream(), &out) == C_OK &&
           out.Length() == new_file.Remaining() &&
           (out.Length() == 0 || std::memcmp(out.Buffer(), new_file.Buffer(), out.Length()) == 0);
}

bool Generate(ReadStream old, ReadStream new_file, WriteStream *patch, EnsembleGeneratorReport *report)
{
    EnsembleGeneratorReport local;
    std::vector<ElementPair> pairs = PairElements(old, new_file, &local);
    local.paired_elements = pairs.size();
    // The plain patch is the fallback, and on small files often the smaller one.
    std::vector<ElementPair> none;
    WriteStream plain;
    const bool plain_ok = WritePatch(old, new_file, none, &plain) && RebuildsNewFile(old, plain, new_file);
    WriteStream *chosen = plain_ok ? &plain : nullptr;
    WriteStream transformed;
    if (!pairs.empty()) {
        if (WritePatch(old, new_file, pairs, &transformed) && RebuildsNewFile(old, transformed, new_file)) {
            if (!chosen || transformed.Length() < chosen->Length()) {
                chosen = &transformed;
                local.elements = pairs.size();
            }
        } else {
            LogWarning("ensemble patch does not rebuild the new file; writing a plain one");
        }
    }
    if (!chosen)
        return false;
    if (report)
        *report = local;
    return patch->AppendAndFree(chosen);
}

} // namespace

bool GenerateEnsemblePatch(ReadStream old, ReadStream new_file, WriteStream *patch,
                           EnsembleGeneratorReport *report)
{
    try {
        return Generate(old, new_file, patch, report);
    } catch (const std::bad_alloc &) {
        LogError("out of memory while generating a patch");
        return false;
    }
}

bool GenerateEnsemblePatch(const char *old_path, const char *new_path, const char *patch_path,
                           EnsembleGeneratorReport *report)
{
    WriteStream patch;
    {
        MappedFile old_file, new_file;
        if (!old_file.Open(old_path)) {
            LogError("could not open old file");
            return false;
        }
        if (!new_file.Open(new_path) && !IsEmptyRegularFile(new_path)) {
            LogError("could not open new file");
            return false;
        }
        if (!GenerateEnsemblePatch(ReadStream(old_file.data(), old_file.size()),
                                   ReadStream(new_file.data(), new_file.size()), &patch, report))
            return false;
    }
    if (!WriteWholeFile(patch_path, patch.Buffer(), patch.Length())) {
        LogError("could not write patch file");
        return false;
    }
    return true;
}

} // namespace patcher
