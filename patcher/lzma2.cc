#include "patcher/lzma2.h"

#include "patcher/logging.h"
#include "patcher/streams.h"

#include <lzma.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace patcher {

namespace {

// The decoder never needs a dictionary larger than what it produces, so a block that claims a huge
// dictionary for little data costs no more memory than the data itself.
const uint32_t kMinDictionary = 4096;

void *lzmaAlloc(void *, size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    return std::malloc(count * size);
}

void lzmaFree(void *, void *address)
{
    std::free(address);
}

const lzma_allocator kAllocator = {&lzmaAlloc, &lzmaFree, nullptr};

int mapDecoderError(lzma_ret ret)
{
    switch (ret) {
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
        return LZMA2_RESULT_MEMORY_ERROR;
    case LZMA_OPTIONS_ERROR:
        return LZMA2_RESULT_UNSUPPORTED;
    case LZMA_BUF_ERROR:
        return LZMA2_RESULT_INPUT_EOF;
    default:
        return LZMA2_RESULT_DATA_ERROR;
    }
}

// Decodes a raw LZMA2 stream into exactly `size` bytes at `out`. Returns -1 on success (with the
// number of input bytes consumed in *consumed), otherwise a result code.
int decodeRaw(uint8_t property, const uint8_t *in, size_t inSize, uint8_t *out, size_t size, size_t *consumed)
{
    if (property > kMaxLzma2Property)
        return LZMA2_RESULT_UNSUPPORTED;
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, 0))
        return LZMA2_RESULT_UNSUPPORTED;
    uint32_t dictionary = Lzma2DictionarySize(property);
    if (dictionary > size)
        dictionary = size < kMinDictionary ? kMinDictionary : static_cast<uint32_t>(size);
    options.dict_size = dictionary;
    options.preset_dict = nullptr;
    options.preset_dict_size = 0;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

    lzma_stream strm = LZMA_STREAM_INIT;
    strm.allocator = &kAllocator;
    lzma_ret ret = lzma_raw_decoder(&strm, filters);
    if (ret != LZMA_OK) {
        lzma_end(&strm);
        return mapDecoderError(ret);
    }
    strm.next_in = in;
    strm.avail_in = inSize;
    strm.next_out = out;
    strm.avail_out = size;
    // Once the declared size is produced, only the end marker may follow: decode on into a spare
    // byte to tell an end marker from surplus data.
    uint8_t spare = 0;
    bool intoSpare = false;
    int result = -1;
    for (;;) {
        if (strm.avail_out == 0) {
            if (intoSpare) {
                result = LZMA2_RESULT_WRONG_SIZE;
                break;
            }
            intoSpare = true;
            strm.next_out = &spare;
            strm.avail_out = 1;
        }
        const size_t inBefore = strm.avail_in;
        const size_t outBefore = strm.avail_out;
        ret = lzma_code(&strm, LZMA_RUN);
        if (ret == LZMA_STREAM_END) {
            if (intoSpare ? strm.avail_out == 0 : strm.avail_out != 0)
                result = LZMA2_RESULT_WRONG_SIZE;
            break;
        }
        if (ret != LZMA_OK) {
            result = mapDecoderError(ret);
            break;
        }
        if (strm.avail_in == 0 && strm.avail_out != 0) {
            result = LZMA2_RESULT_INPUT_EOF;
            break;
        }
        if (strm.avail_in == inBefore && strm.avail_out == outBefore) {
            result = LZMA2_RESULT_INPUT_EOF;
            break;
        }
    }
    *consumed = static_cast<size_t>(strm.total_in);
    lzma_end(&strm);
    return result;
}

// The smallest dictionary size an LZMA2 property byte can express that holds `n` bytes.
uint32_t dictionaryFor(size_t n)
{
    for (uint8_t p = 0; p < kMaxLzma2Property; ++p) {
        if (Lzma2DictionarySize(p) >= n)
            return Lzma2DictionarySize(p);
    }
    return UINT32_MAX;
}

} // namespace

uint32_t Lzma2DictionarySize(uint8_t property)
{
    if (property >= kMaxLzma2Property)
        return UINT32_MAX;
    return (2u | (property & 1u)) << (property / 2 + 11);
}

bool ReadStream::ReadLzma2Block(WriteStream *sink)
{
    ReadStream cursor = *this;
    uint8_t property = 0;
    if (!cursor.ReadByte(&property)) {
        LogError("Error read LZMA2 properties");
        return false;
    }
    uint32_t size = 0;
    if (!cursor.ReadVarint(&size)) {
        LogError("Error read LZMA2 unpack size");
        return false;
    }
    if (!sink->ReserveMore(size)) {
        LogError("unable to allocate sink space");
        return false;
    }
    size_t consumed = 0;
    const int result = decodeRaw(property, cursor.Buffer(), cursor.Remaining(),
                                 sink->MutableBuffer() + sink->Length(), size, &consumed);
    if (result >= 0) {
        LogError("Error uncompressing data " + std::to_string(result));
        return false;
    }
    sink->Commit(size);
    cursor.SkipBytes(consumed);
    *this = cursor;
    return true;
}

namespace {

// Encoder options: level 9 with the dictionary no larger than the input needs.
bool encoderOptions(size_t n, lzma_options_lzma *options)
{
    if (lzma_lzma_preset(options, 9) != 0)
        return false;
    // A dictionary larger than the input buys nothing and costs memory on both sides.
    if (options->dict_size > n) {
        const uint32_t needed = dictionaryFor(n < kMinDictionary ? kMinDictionary : n);
        if (needed < options->dict_size)
            options->dict_size = needed;
    }
    return true;
}

// Appends a raw LZMA2 stream of n bytes, end marker included, to `out`.
bool encodeRaw(const lzma_options_lzma &options, const uint8_t *bytes, size_t n, WriteStream *out)
{
    lzma_options_lzma copy = options;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &copy}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    strm.allocator = &kAllocator;
    const lzma_ret init = lzma_raw_encoder(&strm, filters);
    if (init == LZMA_OPTIONS_ERROR) {
        lzma_end(&strm);
        LogError("Error Lzma2Enc_SetProps");
        return false;
    }
    const bool encHandle = init == LZMA_OK;
    PATCHER_CHECK(encHandle);

    // Incompressible data grows by a few bytes per 64 KiB chunk; reserve that once.
    bool ok = out->ReserveMore(n + n / 1024 + 64);
    strm.next_in = bytes;
    strm.avail_in = n;
    while (ok) {
        if (out->Capacity() == out->Length() && !out->ReserveMore(out->Capacity() / 2 + 64)) {
            ok = false;
            break;
        }
        const size_t room = out->Capacity() - out->Length();
        strm.next_out = out->MutableBuffer() + out->Length();
        strm.avail_out = room;
        const lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
        out->Commit(room - strm.avail_out);
        if (ret == LZMA_STREAM_END)
            break;
        if (ret != LZMA_OK) {
            LogError("Error Lzma2Enc_Encode");
            ok = false;
        }
    }
    lzma_end(&strm);
    return ok;
}

bool writeHeader(WriteStream *out, const lzma_options_lzma &options, size_t n)
{
    lzma_options_lzma copy = options;
    lzma_filter filter = {LZMA_FILTER_LZMA2, &copy};
    uint8_t property = 0;
    if (lzma_properties_encode(&filter, &property) != LZMA_OK) {
        LogError("Error Lzma2Enc_SetProps");
        return false;
    }
    return out->WriteByte(property) && out->WriteSizeVarint(n);
}

} // namespace

bool WriteStream::WriteLzma2Block(const void *bytes, size_t n)
{
    lzma_options_lzma options;
    const bool presetFailed = !encoderOptions(n, &options);
    PATCHER_CHECK(!presetFailed);
    return writeHeader(this, options, n) && encodeRaw(options, static_cast<const uint8_t *>(bytes), n, this);
}

Lzma2Tuning SparseDataTuning()
{
    Lzma2Tuning tuning;
    // Corrections are runs of zeros around short repeated patterns: long matches found by a deep
    // search pay off, the previous byte says little about the next one, and positions are unaligned.
    tuning.literalContextBits = 1;
    tuning.positionBits = 0;
    tuning.niceLength = 273;
    tuning.depth = 32;
    tuning.splitAbove = 512 << 10;
    return tuning;
}

bool WriteTunedLzma2Block(WriteStream *out, const void *bytes, size_t n, const Lzma2Tuning &tuning)
{
    lzma_options_lzma options;
    const bool presetFailed = !encoderOptions(n, &options);
    PATCHER_CHECK(!presetFailed);
    options.lc = tuning.literalContextBits;
    options.lp = 0;
    options.pb = tuning.positionBits;
    options.nice_len = tuning.niceLength;
    options.depth = tuning.depth;
    if (!writeHeader(out, options, n))
        return false;
    const uint8_t *data = static_cast<const uint8_t *>(bytes);
    if (n < tuning.splitAbove)
        return encodeRaw(options, data, n, out);

    const size_t half = n / 2;
    WriteStream second;
    bool secondOk = false;
    std::thread worker;
    try {
        worker = std::thread([&] { secondOk = encodeRaw(options, data + half, n - half, &second); });
    } catch (...) {
        // No thread to be had: do the second half here afterwards.
    }
    bool ok = encodeRaw(options, data, half, out);
    if (worker.joinable())
        worker.join();
    else
        secondOk = encodeRaw(options, data + half, n - half, &second);
    // Drop the first stream's end marker; the second stream starts with a dictionary reset.
    if (!ok || !secondOk || out->Length() == 0 || out->Buffer()[out->Length() - 1] != 0x00)
        return false;
    out->Truncate(out->Length() - 1);
    return out->AppendAndFree(&second);
}

} // namespace patcher
