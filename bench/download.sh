#!/usr/bin/env bash
# File downloads from nginx on a loopback port: the updater's download list (6 streams, each file
# checked against its SHA-512) beside curl --parallel --parallel-max 6 fetching the same URLs.
# Defaults: 200 files, 1 GiB, 5 runs each (alternating). A second set of few large files shows
# how the check of big files trails the transfers; one file alone at 64 MiB and at TOTAL_MIB shows
# that memory does not grow with the file size.
# Env: FILES, TOTAL_MIB, LARGE_FILES, RUNS, STREAMS, BUILD_DIR, BENCH_TMP.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build}
FILES=${FILES:-200}
TOTAL_MIB=${TOTAL_MIB:-1024}
LARGE_FILES=${LARGE_FILES:-8}
RUNS=${RUNS:-5}
STREAMS=${STREAMS:-6}
VERSION=100
source "$ROOT/bench/common.sh"
[ -x "$BUILD/bench/bench_download" ] || { echo "build first: $BUILD/bench/bench_download missing" >&2; exit 1; }

WORK=$(mktemp -d "${BENCH_TMP:-/tmp}/tl3bench_download.XXXXXX")
chmod 755 "$WORK"
NGINX_PID=
cleanup() {
    [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null && wait "$NGINX_PID" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

WWW=$WORK/www
DATA=$WWW/updater-images/client/$VERSION
echo "generating $FILES files and $LARGE_FILES large files, $TOTAL_MIB MiB each set ..." >&2
gen_tree "$DATA/small" "$FILES" "$TOTAL_MIB" 2
gen_tree "$DATA/large" "$LARGE_FILES" "$TOTAL_MIB" 3
# one file alone, at two sizes: the updater's peak memory must not follow the file size
gen_tree "$DATA/one_small" 1 64 4
gen_tree "$DATA/one_big" 1 "$TOTAL_MIB" 5
chmod -R a+rX "$WWW"

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$WORK/nginx/logs"
cat > "$WORK/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/logs/error.log;
events { worker_connections 256; }
http {
    access_log off;
    sendfile on;
    client_body_temp_path $WORK/nginx/body;
    proxy_temp_path $WORK/nginx/proxy;
    fastcgi_temp_path $WORK/nginx/fastcgi;
    uwsgi_temp_path $WORK/nginx/uwsgi;
    scgi_temp_path $WORK/nginx/scgi;
    server {
        listen 127.0.0.1:$PORT;
        root $WWW;
    }
}
CONF
nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" &
NGINX_PID=$!
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$PORT/" && break; sleep 0.1; done
BASE="http://127.0.0.1:$PORT/updater-images/client/"

# per set: the list for the updater (SECTION NAME SHA512 SIZE) and a curl config with the same URLs
for set in small large one_small one_big; do
    (cd "$DATA" && find "$set" -type f -printf '%P\n' | sort | while read -r name; do
        sum=$(sha512sum "$set/$name" | cut -c1-128)
        echo "$set $name $sum $(stat -c %s "$set/$name")"
    done) > "$WORK/list_$set"
    awk -v base="$BASE$VERSION/" -v out="$WORK/curl_out" \
        '{printf "url = \"%s%s/%s\"\noutput = \"%s/%s/%s\"\n", base, $1, $2, out, $1, $2}' \
        "$WORK/list_$set" > "$WORK/curl_$set.cfg"
done

run_set() { # SET -> appends "seconds rss_kib" lines to $WORK/r_<tool>_<set>
    local set=$1 out secs ok rss t0 t1
    rm -rf "$WORK/session" "$WORK/curl_out"
    mkdir -p "$WORK/session"
    out=$("$BUILD/bench/bench_download" "$BASE" "$VERSION" "$WORK/list_$set" "$WORK/session" "$STREAMS")
    read -r secs ok rss <<< "$out"
    [ "$ok" = 1 ] || { echo "updater download failed: $out" >&2; exit 1; }
    echo "$secs $rss" >> "$WORK/r_updater_$set"
    rm -rf "$WORK/session"
    mkdir -p "$WORK/session"
    out=$("$BUILD/bench/bench_download" "$BASE" "$VERSION" "$WORK/list_$set" "$WORK/session" "$STREAMS" transfer-only)
    read -r secs ok rss <<< "$out"
    [ "$ok" = 1 ] || { echo "updater transfer failed: $out" >&2; exit 1; }
    echo "$secs $rss" >> "$WORK/r_transfer_$set"
    rm -rf "$WORK/session"
    t0=$(now)
    /usr/bin/time -f '%M' -o "$WORK/curl_rss" \
        curl -s --no-progress-meter --fail --create-dirs --parallel --parallel-max "$STREAMS" -K "$WORK/curl_$set.cfg"
    t1=$(now)
    echo "$(echo "$t1 - $t0" | bc -l) $(cat "$WORK/curl_rss")" >> "$WORK/r_curl_$set"
    [ "$(find "$WORK/curl_out" -type f | wc -l)" = "$(wc -l < "$WORK/list_$set")" ] ||
        { echo "curl fetched too few files" >&2; exit 1; }
}

for i in $(seq "$RUNS"); do
    run_set small
    run_set large
done

printf '\nDownloads from nginx on 127.0.0.1, %s streams, %s MiB per set, median of %s runs\n' "$STREAMS" "$TOTAL_MIB" "$RUNS"
printf '| %-44s | %9s | %8s | %13s | %13s |\n' "tool, file set" "median s" "MiB/s" "ratio to curl" "peak RSS MiB"
printf '|%s|%s|%s|%s|%s|\n' "----------------------------------------------" "-----------" "----------" \
    "---------------" "---------------"
for set in small large; do
    n=$([ "$set" = small ] && echo "$FILES" || echo "$LARGE_FILES")
    c=$(cut -d' ' -f1 "$WORK/r_curl_$set" | median)
    u=$(cut -d' ' -f1 "$WORK/r_updater_$set" | median)
    crss=$(cut -d' ' -f2 "$WORK/r_curl_$set" | sort -n | tail -1)
    urss=$(cut -d' ' -f2 "$WORK/r_updater_$set" | sort -n | tail -1)
    printf '| %-44s | %9.3f | %8.0f | %13s | %13.1f |\n' "curl --parallel-max $STREAMS, $n files" "$c" \
        "$(echo "$TOTAL_MIB / $c" | bc -l)" "1.00" "$(echo "$crss / 1024" | bc -l)"
    printf '| %-44s | %9.3f | %8.0f | %13.2f | %13.1f |\n' "updater (download + SHA-512), $n files" "$u" \
        "$(echo "$TOTAL_MIB / $u" | bc -l)" "$(echo "$c / $u" | bc -l)" "$(echo "$urss / 1024" | bc -l)"
    x=$(cut -d' ' -f1 "$WORK/r_transfer_$set" | median)
    xrss=$(cut -d' ' -f2 "$WORK/r_transfer_$set" | sort -n | tail -1)
    printf '| %-44s | %9.3f | %8.0f | %13.2f | %13.1f |\n' "updater transfers only (no check), $n files" "$x" \
        "$(echo "$TOTAL_MIB / $x" | bc -l)" "$(echo "$c / $x" | bc -l)" "$(echo "$xrss / 1024" | bc -l)"
done
# memory against file size: one file alone, 64 MiB and TOTAL_MIB, with its check
for set in one_small one_big; do
    for i in $(seq "$RUNS"); do
        rm -rf "$WORK/session"
        mkdir -p "$WORK/session"
        out=$("$BUILD/bench/bench_download" "$BASE" "$VERSION" "$WORK/list_$set" "$WORK/session" "$STREAMS")
        read -r secs ok rss <<< "$out"
        [ "$ok" = 1 ] || { echo "updater download failed: $out" >&2; exit 1; }
        echo "$rss" >> "$WORK/m_$set"
    done
done
printf '\nPeak memory of the updater downloading one file alone (with its check), highest over %s runs\n' "$RUNS"
printf '| file size | peak RSS MiB |\n|-----------|--------------|\n'
printf '| %6s MiB | %12.1f |\n' 64 "$(echo "$(sort -n "$WORK/m_one_small" | tail -1) / 1024" | bc -l)"
printf '| %6s MiB | %12.1f |\n' "$TOTAL_MIB" "$(echo "$(sort -n "$WORK/m_one_big" | tail -1) / 1024" | bc -l)"
echo "machine: $(nproc) cores, load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
echo "ratio to curl = curl time / updater time (throughput ratio); peak RSS = highest over the runs"
