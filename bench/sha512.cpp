// The reading step of the updater's SHA-512 check (digestFile, the same call the signature task's
// worker makes), for bench/sha512.sh. Usage: bench_sha512 FILE EXPECTED_HEX; exit 0 on a match.
// Only the digest code is linked, so the peak memory shows the check, not the window's libraries.
#include "crypt.h"

#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_sha512 FILE EXPECTED_HEX\n");
        return 2;
    }
    QElapsedTimer timer;
    timer.start();
    QByteArray digest;
    if (digestFile(QString::fromLocal8Bit(argv[1]), DIGEST_SHA512, &digest) != DIGEST_OK) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const bool match =
        QString::fromLatin1(digest.toHex()).compare(QString::fromLatin1(argv[2]), Qt::CaseInsensitive) == 0;
    std::printf("%s %lld ms\n", match ? "match" : "MISMATCH", static_cast<long long>(timer.elapsed()));
    return match ? 0 : 1;
}
