#include "patcher/lzma2.h"

#include "patcher/logging.h"
#include "patcher/streams.h"

#include <lzma.h>

#include <cstdlib>
#include <string>

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

bool WriteStream::WriteLzma2Block(const void *bytes, size_t n)
{
    lzma_options_lzma options;
    const bool presetFailed = lzma_lzma_preset(&options, 9) != 0;
    PATCHER_CHECK(!presetFailed);
    // A dictionary larger than the input buys nothing and costs memory on both sides.
    if (options.dict_size > n) {
        const uint32_t needed = dictionaryFor(n < kMinDictionary ? kMinDictionary : n);
        if (needed < options.dict_size)
            options.dict_size = needed;
    }
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

    uint8_t property = 0;
    if (lzma_properties_encode(&filters[0], &property) != LZMA_OK) {
        LogError("Error Lzma2Enc_SetProps");
        return false;
    }
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

    bool ok = WriteByte(property) && WriteSizeVarint(n);
    // Incompressible data grows by a few bytes per 64 KiB chunk; reserve that once.
    ok = ok && ReserveMore(n + n / 1024 + 64);
    strm.next_in = static_cast<const uint8_t *>(bytes);
    strm.avail_in = n;
    while (ok) {
        if (m_capacity == m_length && !ReserveMore(m_capacity / 2 + 64)) {
            ok = false;
            break;
        }
        strm.next_out = m_data + m_length;
        strm.avail_out = m_capacity - m_length;
        const lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
        m_length = m_capacity - strm.avail_out;
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

} // namespace patcher
