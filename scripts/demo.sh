#!/usr/bin/env bash
# Sets up, builds and runs the program's main job: a release engineer publishes version 2 of a
# client next to version 1 (packed files, an executable-aware patch, a signed manifest), and the
# updater's own checks accept what was published and turn version 1 into version 2.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
TOOL="$PWD/$BUILD_DIR/tl3-release"
FIX="$PWD/tests/fixtures/ensemble"
KEY="$PWD/keys/demo_private.pem"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tl3-demo.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
step() { printf '\n== %s\n' "$*"; }

step "Two versions of the client: an x86-64 shared library and a PE32 program"
mkdir -p v1 v2
cp "$FIX/elf64_x64.old" v1/libclient.so; cp "$FIX/elf64_x64.new" v2/libclient.so
cp "$FIX/pe32.old" v1/launcher.exe;      cp "$FIX/pe32.new" v2/launcher.exe
ls -l v1 v2

step "What the parsers see in the new files"
"$TOOL" inspect v2/libclient.so
"$TOOL" inspect v2/launcher.exe

step "Packed files for a full download, and patches from version 1"
for f in libclient.so launcher.exe; do
  "$TOOL" pack "v2/$f" "$f._lzma2_"
  "$TOOL" patch "v1/$f" "v2/$f" "$f._patch_"
  "$TOOL" bytediff "v1/$f" "v2/$f" "$f.bytediff"
done
ls -l *._lzma2_ *._patch_ *.bytediff

step "The product ini (manifest): packed downloads and patches with SHA-512 digests and sizes"
digest() { sha512sum "$1" | cut -d' ' -f1; }
size() { stat -c %s "$1"; }
{
  echo "[client]"
  for f in libclient.so launcher.exe; do
    echo "$f._lzma2_=$(digest "$f._lzma2_")::$(size "$f._lzma2_")::$(digest "v2/$f")::$(size "v2/$f")::$f"
    echo "$f._patch_=$(digest "$f._patch_")::$(size "$f._patch_")::$(digest "v1/$f")::$(size "v1/$f")::$f"
  done
} > product.ini
cut -c1-100 product.ini

step "Signed with the demo key (demo and tests only)"
"$TOOL" sign product.ini --key "$KEY"
ls -l product.ini product.ini.sig

step "The updater's checks: the signature with the built-in key"
"$TOOL" verify product.ini
printf 'tampered\n' >> product.ini
if "$TOOL" verify product.ini; then echo "a tampered manifest verified: this must not happen"; exit 1; fi
echo "tampered product.ini: refused"

step "Version 1 patched and unpacked into version 2"
mkdir -p out
for f in libclient.so launcher.exe; do
  "$TOOL" apply "v1/$f" "$f._patch_" "out/$f.patched"
  "$TOOL" unpack "$f._lzma2_" "out/$f.unpacked"
  cmp "out/$f.patched" "v2/$f" && cmp "out/$f.unpacked" "v2/$f" && echo "$f: patched and unpacked files equal version 2"
done
printf '\nDemo finished.\n'
