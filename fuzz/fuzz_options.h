// Shared by the patcher's fuzz targets.
#pragma once

// Hostile sizes legitimately ask for huge buffers that the patcher must survive being refused:
// let large allocations fail (return null) instead of ending the run as an out-of-memory report.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=64";
}
