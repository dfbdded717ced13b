#!/usr/bin/env bash
# Prepares old/new pairs of real x86-64 shared libraries: the installed file (old) and the same file
# from the newer Debian package that `apt-get download` fetches (new). Cached outside the repository
# (TL3_BENCH_PAIRS, default /var/tmp/tl3-bench-pairs); prints one line per pair: NAME OLD NEW.
# Usage: bench/pairs.sh            (prepare if needed, then list)
set -euo pipefail
CACHE=${TL3_BENCH_PAIRS:-/var/tmp/tl3-bench-pairs}
# package, then the library's name as installed (a symlink is resolved on both sides). Most are
# security rebuilds with small changes; libapt-pkg is an upstream point release and libexpat spans
# four security updates.
PAIRS=(
  "libcurl4 /usr/lib/x86_64-linux-gnu/libcurl.so.4"
  "libarchive13 /usr/lib/x86_64-linux-gnu/libarchive.so.13"
  "libglib2.0-0 /usr/lib/x86_64-linux-gnu/libglib-2.0.so.0"
  "libc6 /lib/x86_64-linux-gnu/libc.so.6"
  "libssl3 /usr/lib/x86_64-linux-gnu/libssl.so.3"
  "libapt-pkg6.0 /usr/lib/x86_64-linux-gnu/libapt-pkg.so.6.0"
  "libexpat1 /lib/x86_64-linux-gnu/libexpat.so.1"
)
mkdir -p "$CACHE"
for entry in "${PAIRS[@]}"; do
  read -r pkg lib <<<"$entry"
  name=$(basename "$lib")
  dir="$CACHE/$name"
  if [ ! -s "$dir/old" ] || [ ! -s "$dir/new" ]; then
    installed=$(dpkg-query -W -f='${Version}' "$pkg" 2>/dev/null || true)
    candidate=$(apt-cache policy "$pkg" | awk '/Candidate:/ {print $2}')
    if [ -z "$installed" ] || [ -z "$candidate" ] || [ "$installed" = "$candidate" ]; then
      echo "skip $pkg: installed '$installed', candidate '$candidate' (no newer version)" >&2
      continue
    fi
    rm -rf "$dir" && mkdir -p "$dir/deb"
    # /usr/lib and /lib are one directory on merged-/usr systems; resolve the real file.
    old=$(readlink -f "$lib")
    (cd "$dir/deb" && apt-get download "$pkg=$candidate" >/dev/null 2>&1) || {
      echo "skip $pkg: apt-get download failed" >&2; continue; }
    dpkg-deb -x "$dir"/deb/*.deb "$dir/tree"
    rel=${lib#/}
    new=""
    for base in "$dir/tree/$rel" "$dir/tree/usr/$rel" "$dir/tree/${rel#usr/}"; do
      if [ -e "$base" ]; then
        target=$(readlink "$base" || true)
        if [ -n "$target" ]; then new="$(dirname "$base")/$target"; else new="$base"; fi
        break
      fi
    done
    if [ -z "$new" ] || [ ! -f "$new" ]; then
      echo "skip $pkg: $lib not found in the package" >&2; continue
    fi
    cp "$old" "$dir/old"
    cp "$new" "$dir/new"
    echo "$pkg $installed -> $candidate" >"$dir/versions"
    rm -rf "$dir/deb" "$dir/tree"
  fi
  echo "$name $dir/old $dir/new"
done
