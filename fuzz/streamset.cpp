// Stream sets with nested sets, as every patcher format reads them.
#include "fuzz_options.h"
#include "patcher/stream_set.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    patcher::ReadStreamSet set;
    if (!set.Parse(data, size))
        return 0;
    // Read nested sets until one fails, checking every slice stays inside the input.
    for (int depth = 0; depth < 64; ++depth) {
        patcher::ReadStreamSet child;
        if (!set.ReadNestedSet(&child))
            break;
        for (size_t i = 0; i < child.count(); ++i) {
            patcher::ReadStream *s = child.stream(i);
            if (s->Remaining() != 0 && (s->Buffer() < data || s->Buffer() + s->Remaining() > data + size))
                __builtin_trap();
            uint32_t v = 0;
            while (s->ReadVarint(&v)) {
            }
        }
    }
    (void)set.AllConsumed();
    return 0;
}
