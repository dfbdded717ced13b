// The patcher's entry points without the release tool around them, so that the bench measures their
// time and memory alone: bench_ensemble make OLD NEW PATCH | apply OLD PATCH NEW | pack SRC DST
#include "patcher/ensemble.h"
#include "patcher/ensemble_generator.h"
#include "patcher/packed_file.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 5 && !(argc == 4 && std::strcmp(argv[1], "pack") == 0)) {
        std::fprintf(stderr,
                     "usage: bench_ensemble make OLD NEW PATCH | apply OLD PATCH NEW | pack SRC DST\n");
        return 2;
    }
    if (std::strcmp(argv[1], "make") == 0)
        return patcher::GenerateEnsemblePatch(argv[2], argv[3], argv[4]) ? 0 : 1;
    if (std::strcmp(argv[1], "apply") == 0) {
        const uint32_t status = patcher::ApplyEnsemblePatch(argv[2], argv[3], argv[4]);
        if (status != patcher::C_OK)
            std::fprintf(stderr, "status %u: %s\n", status, patcher::PatchStatusText(status));
        return status == patcher::C_OK ? 0 : 1;
    }
    if (std::strcmp(argv[1], "pack") == 0)
        return patcher::PackFile(argv[2], argv[3], true) ? 0 : 1;
    return 2;
}
