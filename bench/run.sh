#!/usr/bin/env bash
# Measures bytehunt against cat, GNU grep, ripgrep and a one-getc-per-byte
# baseline, and prints a markdown table of medians and ratios. Data is made
# here (bench/data, never committed). Commands alternate within each round and
# each file is read once right before each command, so every run sees a hot
# page cache. RUNS sets the rounds (default 5). Needs root to drop the page
# cache for the second cache state; without it that state is skipped.
# Usage: run.sh [all|states|device|dense|startup|main|degenerate|sparse]:
# "states" is the rare pattern over a file in each state its pages can be in,
# "device" a loop device against its image and against dd, "dense" dense
# output on every core against one and into a pipe, "startup" a 4 KiB file,
# "main" is targets 1 to 5, "degenerate" the table of uniform, small-alphabet
# and mixed data, "sparse" files mostly of holes; all of it
# by default.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-5}
section=${1:-all}
bash tools/deps.sh g++ cmake make ripgrep grep time hyperfine mount util-linux
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release -j"$(nproc)" >/dev/null
g++ -O2 -o build/release/getc_scan bench/getc_scan.cpp
g++ -O2 -march=native -pthread -o build/release/bare_loop bench/bare_loop.cpp
bytehunt=${BYTEHUNT:-build/release/bytehunt}  # BYTEHUNT times another build instead
getc_scan=build/release/getc_scan
bare_loop=build/release/bare_loop
data=bench/data
mkdir -p "$data"
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

# Printable, so that every peer takes it as a fixed string; in random bytes
# any 8 bytes are equally rare.
rare_bytes=bYtEhUnT
rare_hex=6259744568556e54
random=$data/random-1g.bin
zeros=$data/zeros-64m.bin
letters=$data/a-256m.bin
[[ -f $zeros ]] || head -c 64M /dev/zero >"$zeros"
[[ -f $letters ]] || head -c 256M /dev/zero | tr '\0' A >"$letters"

# The time in microseconds, in now_us: read from the shell itself, since a
# process started for it (date) adds milliseconds to every run timed here.
now_us=0
stamp() { local t=${EPOCHREALTIME/[.,]/}; now_us=$((10#$t)); }
warm() { cat "$1" >/dev/null; }

# timed NAME: runs the command function NAME once and records its time.
timed() {
    local start
    stamp
    start=$now_us
    "$1" >/dev/null 2>"$results/stderr" || [[ $? == 1 ]] || {
        echo "$1 failed: $(cat "$results/stderr")" >&2
        exit 1
    }
    stamp
    echo $((now_us - start)) >>"$results/$1"
}
# round FILE NAME...: one timed run of each command function, file warmed first.
round() {
    local file=$1 name
    shift
    for name in "$@"; do
        warm "$file"
        timed "$name"
    done
}
rounds() { local i; for ((i = 0; i < runs; i++)); do round "$@"; done; }
# Minor page faults | context switches of one more run of the command
# function NAME, outside the timed rounds (counts do not depend on the host
# as times do).
counts_of() {
    /usr/bin/time -f '%R | %w+%c' -o "$results/counts" bash -c "$(declare -p bytehunt random zeros letters \
        rare_hex rare_bytes a31b a15ba16 a128 file hex regex rare getc_scan 2>/dev/null); $(declare -f "$1"); $1" \
        >/dev/null 2>&1 || true
    grep -E '^[0-9]' "$results/counts" | awk -F'[|+]' '{printf "%d | %d", $1, $2 + $3}'
}
# counted NAME: runs ${command[NAME]} (the caller's array of commands as
# words, each run under /usr/bin/time) once: its time is recorded, and its
# faults and switches kept beside those of its other runs.
counted() {
    local start
    stamp
    start=$now_us
    # shellcheck disable=SC2086 # the command's words
    /usr/bin/time -f '%R %w %c' -o "$results/$1.counts" ${command[$1]} >/dev/null 2>"$results/stderr" ||
        [[ $? == 1 ]] || { echo "$1 failed: $(cat "$results/stderr")" >&2; exit 1; }
    stamp
    echo $((now_us - start)) >>"$results/$1"
    cat "$results/$1.counts" >>"$results/$1.all-counts"
}
# Median and spread in seconds of what was recorded for NAME.
spread() {
    sort -n "$results/$1" | awk '{t[NR] = $1} END {printf "%.3f (%.3f-%.3f)", t[int((NR + 1) / 2)] / 1e6, t[1] / 1e6, t[NR] / 1e6}'
}
seconds() { sort -n "$results/$1" | awk '{t[NR] = $1} END {printf "%.3f", t[int((NR + 1) / 2)] / 1e6}'; }
# Median faults, and median voluntary + involuntary switches.
counts() {
    local middle='{t[NR] = $1} END {printf "%d", t[int((NR + 1) / 2)]}'
    # (time's own line for a status other than 0 is left out)
    echo "$(awk '/^[0-9]/ {print $1}' "$results/$1.all-counts" | sort -n | awk "$middle") | $(awk \
        '/^[0-9]/ {print $2 + $3}' "$results/$1.all-counts" | sort -n | awk "$middle")"
}
# Median in seconds of what `rounds` recorded for NAME, then forget it.
median() {
    seconds "$1"
    rm -f "$results/$1"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
row() {
    local line="|" cell
    for cell in "$@"; do line+=" $cell |"; done
    echo "$line"
}

# The rare pattern over 1 GiB of random bytes in each state a user's file can
# be in: just written (not synced), written in 16 MiB writes (its pages
# cached in a mix of sizes), written and synced, copied with cp, read back
# from disk after the page cache was dropped, and cold (the cache dropped
# right before the run). The file is made anew, or the cache dropped, before
# every single run, so no command sees pages another one brought in. The bare
# loops only touch every byte, on one thread or on as many as the machine has
# cores: they are the machine's limit in each state. Beside the tool's own
# choice, each way of reading is forced in turn (on every core). Each row
# shows minor page faults and context switches, which do not depend on the
# host as times do.
states_section() {
    local source=$data/states-source-1g.bin file=$data/states-1g.bin
    [[ -f $source ]] || head -c 1G /dev/urandom >"$source"
    if ! echo 1 2>/dev/null >/proc/sys/vm/drop_caches; then
        echo "states: skipped, the page cache cannot be dropped here (needs root)"
        return
    fi
    drop() { sync; echo 1 >/proc/sys/vm/drop_caches; }
    prepare() {
        case $1 in
            written) rm -f "$file"; cat "$source" >"$file" ;;
            "16 MiB writes") rm -f "$file"; dd if="$source" of="$file" bs=16M status=none ;;
            synced) rm -f "$file"; cat "$source" >"$file"; sync ;;
            copied) rm -f "$file"; cp "$source" "$file" ;;
            "read back") drop; cat "$file" >/dev/null ;;
            cold) drop ;;
        esac
    }
    local cores rare=0102030405060708
    cores=$(nproc)
    cmake --build build/release --target forced_ways >/dev/null
    local forced=build/release/forced_ways
    # Each command as words: run under /usr/bin/time, which counts its faults
    # and switches. The file's path holds no spaces.
    declare -A command=([s_read]="$bare_loop read $file" [s_map]="$bare_loop map $file"
        [s_read_all]="$bare_loop read $file $cores" [s_map_all]="$bare_loop map $file $cores"
        [s_bytehunt]="$bytehunt $rare $file" [s_copy]="$forced copy $rare $file"
        [s_mapped]="$forced map $rare $file" [s_populated]="$forced populated $rare $file"
        [s_rg]="rg --count-matches -a -F $(printf '\x01\x02\x03\x04\x05\x06\x07\x08') $file"
        [s_grep]="env LC_ALL=C grep -c -a -F $(printf '\x01\x02\x03\x04\x05\x06\x07\x08') $file")
    declare -A label=([s_read]="read() loop" [s_map]="map loop" [s_read_all]="read() loop, $cores threads"
        [s_map_all]="map loop, $cores threads" [s_bytehunt]="**bytehunt**" [s_copy]="bytehunt, copy only"
        [s_mapped]="bytehunt, map only" [s_populated]="bytehunt, populated map only" [s_rg]=ripgrep
        [s_grep]="GNU grep")
    local state name i
    local names=(s_read s_map s_read_all s_map_all s_bytehunt s_copy s_mapped s_populated s_rg s_grep)
    echo "States, on $cores cores: seconds, median (fastest-slowest) of $runs runs; faults and switches are medians"
    echo
    echo "| state | command | seconds | / fastest bare loop | / best forced way | minor faults | context switches |"
    echo "| --- | --- | --- | --- | --- | --- | --- |"
    [[ -f $file ]] || cp "$source" "$file"
    for state in written "16 MiB writes" synced copied "read back" cold; do
        for ((i = 0; i < runs; i++)); do
            for name in "${names[@]}"; do
                prepare "$state"
                counted "$name"
            done
        done
        local fastest best
        fastest=$(for name in s_read s_map s_read_all s_map_all; do seconds "$name"; echo; done | sort -n | head -1)
        best=$(for name in s_copy s_mapped s_populated; do seconds "$name"; echo; done | sort -n | head -1)
        for name in "${names[@]}"; do
            local vs_best=""
            [[ $name == s_bytehunt ]] && vs_best=$(ratio "$(seconds "$name")" "$best")
            row "$state" "${label[$name]}" "$(spread "$name")" "$(ratio "$(seconds "$name")" "$fastest")" \
                "$vs_best" "$(counts "$name")"
            rm -f "$results/$name" "$results/$name.counts" "$results/$name.all-counts"
        done
    done
    prepare copied
    echo
    echo "bytehunt peak memory: $(/usr/bin/time -f %M "$bytehunt" "$rare" "$file" 2>&1 >/dev/null | tail -1) KiB"
    rm -f "$file"
}

main_section() {
# Target 1: a rare 8-byte pattern in 1 GiB of random bytes.
t_cat() { cat "$random"; }
t_bytehunt() { "$bytehunt" "$rare_hex" "$random"; }
t_grep() { LC_ALL=C grep -c -a -F "$rare_bytes" "$random"; }
t_rg() { rg --count-matches -a -F "$rare_bytes" "$random"; }
t_rg_mmap() { rg --mmap --count-matches -a -F "$rare_bytes" "$random"; }
t_getc() { "$getc_scan" "$rare_hex" "$random"; }

echo
echo "| target | command | median (s) | ratio | goal | minor faults | context switches |"
echo "| --- | --- | --- | --- | --- | --- | --- |"
bytehunt_per_gib=
for state in fresh dropped; do
    if [[ $state == fresh ]]; then
        head -c 1G /dev/urandom >"$random"
        sync  # the pages stay cached as written; writeback no longer runs beside the timings
    else
        sync
        if ! echo 1 2>/dev/null >/proc/sys/vm/drop_caches; then
            row "1, $state" "(skipped: cannot drop the page cache)" "" "" ""
            continue
        fi
        warm "$random"
    fi
    rounds "$random" t_cat t_bytehunt t_grep t_rg t_rg_mmap
    for ((i = 0; i < (runs < 3 ? runs : 3); i++)); do round "$random" t_getc; done
    cat_s=$(median t_cat)
    bh_s=$(median t_bytehunt)
    grep_s=$(median t_grep)
    rg_s=$(median t_rg)
    rgm_s=$(median t_rg_mmap)
    getc_s=$(median t_getc)
    fastest_peer=$(printf '%s\n' "$grep_s" "$rg_s" "$rgm_s" | sort -n | head -1)
    [[ -n $bytehunt_per_gib ]] || bytehunt_per_gib=$bh_s
    row "1, $state cache" "cat" "$cat_s" "" ""
    row "1, $state cache" "bytehunt" "$bh_s" "$(ratio "$bh_s" "$cat_s") x cat" "<= 1.3 x cat" "$(counts_of t_bytehunt)"
    row "1, $state cache" "grep -F" "$grep_s" "$(ratio "$grep_s" "$bh_s") x bytehunt" ""
    row "1, $state cache" "rg -F" "$rg_s" "$(ratio "$rg_s" "$bh_s") x bytehunt" ""
    row "1, $state cache" "rg --mmap -F" "$rgm_s" "$(ratio "$rgm_s" "$bh_s") x bytehunt" ""
    row "1, $state cache" "fastest peer" "$fastest_peer" "$(ratio "$fastest_peer" "$bh_s") x bytehunt" ">= 1.00"
    row "1, $state cache" "getc baseline" "$getc_s" "$(ratio "$getc_s" "$bh_s") x bytehunt" ">= 20"
done

# Target 2: peak resident memory on 1 GiB and 4 GiB.
peak_kib() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
row "2, memory" "bytehunt, 1 GiB" "" "$(peak_kib "$bytehunt" "$rare_hex" "$random") KiB" "<= 16384 KiB"
big=$data/random-4g.bin
[[ -f $big ]] || for i in 1 2 3 4; do cat "$random"; done >"$big"
row "2, memory" "bytehunt, 4 GiB" "" "$(peak_kib "$bytehunt" "$rare_hex" "$big") KiB" "<= 16384 KiB"
rm -f "$big"

# Target 3: dense output, 32 Mi lines.
d_bytehunt() { "$bytehunt" 0000 "$zeros"; }
d_rg() { rg -obUa --no-unicode '(?-u:\x00\x00)' "$zeros"; }
rounds "$zeros" d_bytehunt d_rg
dense_bh=$(median d_bytehunt)
dense_rg=$(median d_rg)
row "3, dense output" "bytehunt 0000, 64 MiB of zeros" "$dense_bh" "" "" "$(counts_of d_bytehunt)"
row "3, dense output" "rg -obUa" "$dense_rg" "$(ratio "$dense_rg" "$dense_bh") x bytehunt" ">= 10"

# Target 4: worst cases on 256 MiB of 41; time per byte against target 1's.
a31b=$(printf '41%.0s' {1..31})42
a15ba16=$(printf '41%.0s' {1..15})42$(printf '41%.0s' {1..16})
a128=$(printf '41%.0s' {1..128})
w_a31b() { "$bytehunt" "$a31b" "$letters"; }
w_a15ba16() { "$bytehunt" "$a15ba16" "$letters"; }
w_a128() { "$bytehunt" "$a128" "$letters" >/dev/null; }
rounds "$letters" w_a31b w_a15ba16 w_a128
for name in w_a31b w_a15ba16 w_a128; do
    label=${name#w_}
    seconds=$(median "$name")
    row "4, worst case" "bytehunt $label, 256 MiB" "$seconds" \
        "$(ratio "$(ratio "$seconds" 0.25)" "$bytehunt_per_gib") x target 1 per byte" "<= 2" "$(counts_of "$name")"
done

# Target 5: one-byte patterns and pipes.
o_memchr() { "$bytehunt" 42 "$letters"; }
rounds "$letters" o_memchr
one=$(median o_memchr)
row "5, one byte" "bytehunt 42, 256 MiB of 41" "$one" "$(ratio 0.268435456 "$one") GB/s" "memchr speed" "$(counts_of o_memchr)"
p_pipe() { cat "$random" | "$bytehunt" "$rare_hex" /dev/stdin; }
rounds "$random" p_pipe
pipe=$(median p_pipe)
row "5, pipe" "cat 1 GiB \| bytehunt /dev/stdin" "$pipe" "$(ratio 1.073741824 "$pipe") GB/s" ">= 2 GB/s" "$(counts_of p_pipe)"
}

# Degenerate data: uniform fills, mixes of regions, small alphabets, periodic
# data and UTF-16 text, 256 MiB each. Each case is timed against ripgrep on
# the same bytes and against a pattern that never occurs ("rare") on the
# same file; the goal is at most 2 x rare and no slower than ripgrep.
degenerate_section() {
    local mib=256 size=$((256 * 1024 * 1024))
    local exe_bytes="cat /usr/bin/* /usr/lib/x86_64-linux-gnu/*.so* /usr/lib/*/*.so*"
    make_file() {  # make_file NAME COMMAND: the first 256 MiB of what COMMAND prints
        local file=$data/$1-${mib}m.bin
        [[ -f $file ]] || { bash -c "$2" 2>/dev/null || true; } | head -c "$size" >"$file"
        echo "$file"
    }
    local fill='head -c 256M /dev/zero | tr "\\0" "\\377"'
    local ff ffexe ab acgt a period utf16 image
    ff=$(make_file ff "$fill")
    ffexe=$(make_file ff-exe "head -c 128M /dev/zero | tr '\\0' '\\377'; $exe_bytes")
    ab=$(make_file ab "head -c 256M /dev/urandom | tr '\\000-\\377' '[A*128][B*128]'")
    acgt=$(make_file acgt "head -c 256M /dev/urandom | tr '\\000-\\377' '[A*64][C*64][G*64][T*64]'")
    a=$(make_file a "head -c 256M /dev/zero | tr '\\0' A")
    period=$(make_file period "yes abcdefgh | tr -d '\\n'")
    utf16=$(make_file utf16 "for i in \$(seq 16); do cat /usr/share/common-licenses/* /usr/share/doc/*/copyright; done | iconv -f utf-8 -t UTF-16LE -c; yes")
    image=$(make_file image "head -c 64M /dev/zero; $exe_bytes | head -c 64M; head -c 64M /dev/zero | tr '\\0' '\\377'; head -c 32M /dev/zero; cat /usr/bin/* | tail -c 32M")
    local file_size
    for file in "$ff" "$ffexe" "$ab" "$acgt" "$a" "$period" "$utf16" "$image"; do
        file_size=$(stat -c %s "$file")
        [[ $file_size == "$size" ]] || { echo "$file: $file_size bytes, not $size" >&2; exit 1; }
    done

    rep() { local out="" i; for ((i = 0; i < $2; i++)); do out+=$1; done; echo "$out"; }
    utf16_hex() { printf '%s' "$1" | iconv -t UTF-16LE | od -An -tx1 | tr -d ' \n'; }
    # Each case: file, pattern, what the data and pattern are.
    local cases=(
        "$ff|$(rep ff 4)00|all FF (erased flash)|ff x4, 00"
        "$ff|$(rep ff 31)00|all FF|ff x31, 00"
        "$ff|$(rep 00 16)|all FF|00 x16"
        "$ffexe|$(rep ff 8)00|128 MiB FF, then executables|ff x8, 00"
        "$ffexe|ffff0000|same|ff ff 00 00"
        "$ffexe|$(rep ff 4)$(rep 00 4)|same|ff x4, 00 x4"
        "$image|$(rep 00 12)ffffffff|zeros, libraries, FF, zeros, programs|00 x12, ff x4"
        "$image|$(rep ff 6)0000|same|ff x6, 00 00"
        "$ab|41424141414242424142414241414242|random 41/42|random 41/42 needle of 16"
        "$ab|4142414141424242414241424141424242414241414241424241424142414241|same|random 41/42 needle of 32"
        "$acgt|4743544147474341544341434754544741474341|random A/C/G/T|random A/C/G/T needle of 20"
        "$a|$(rep 41 128)|all 41|41 x128 (2 Mi matches)"
        "$a|$(rep 41 31)42|same|41 x31, 42"
        "$a|$(rep 41 15)42$(rep 41 16)|same|41 x15, 42, 41 x16"
        "$period|$(rep 6162636465666768 3)6162636465666867|abcdefgh repeated|near miss: period x3, then abcdefhg"
        "$period|$(rep 6162636465666768 7)61626364656667|same|period x7 less one byte (matches)"
        "$utf16|$(utf16_hex 'the bytehunt license')|UTF-16LE text|\"the bytehunt license\" in UTF-16LE"
        "$utf16|$(utf16_hex 'Software')|same|\"Software\" in UTF-16LE (matches)"
    )
    local rare=0102030405060708
    echo
    echo "| data, $mib MiB | pattern | bytehunt (s) | ripgrep (s) | ripgrep / bytehunt | bytehunt / rare | goal | bytehunt minor faults | bytehunt context switches |"
    echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- |"
    local entry file hex label pattern regex bh rg rare_s
    for entry in "${cases[@]}"; do
        IFS='|' read -r file hex label pattern <<<"$entry"
        regex="(?-u:$(sed 's/../\\x&/g' <<<"$hex"))"
        g_bytehunt() { "$bytehunt" "$hex" "$file" >/dev/null; }
        g_rare() { "$bytehunt" "$rare" "$file"; }
        g_rg() { rg --count-matches -Ua --no-unicode "$regex" "$file"; }
        rounds "$file" g_bytehunt g_rg g_rare
        bh=$(median g_bytehunt)
        rg=$(median g_rg)
        rare_s=$(median g_rare)
        row "$label" "$pattern" "$bh" "$rg" "$(ratio "$rg" "$bh")" "$(ratio "$bh" "$rare_s")" ">= 1, <= 2" \
            "$(counts_of g_bytehunt)"
    done
}

# Dense output on every core against one: `0000` over 16 MiB of zeros (8 Mi
# lines), on all cores, on one (taskset -c 0) and by ripgrep, in alternating
# runs (at least 9), with the minor page faults and context switches of each
# bytehunt run.
dense_section() {
    local file=$data/zeros-16m.bin
    [[ -f $file ]] || head -c 16M /dev/zero >"$file"
    local i name n=$((runs < 9 ? 9 : runs))
    # shellcheck disable=SC2034 # read by counted
    declare -A command=([c_all]="$bytehunt 0000 $file" [c_one]="taskset -c 0 $bytehunt 0000 $file"
        [c_rg]="rg -obUa --no-unicode (?-u:\x00\x00) $file" [c_64]="$bytehunt 0000 $zeros")
    # Into a pipe: bytehunt's lines for 64 MiB of zeros, against cat of the
    # same text into the same pipe (the pipe's own speed).
    local text=$data/zeros-64m.txt
    [[ -s $text ]] || "$bytehunt" 0000 "$zeros" >"$text"
    p_bytehunt() {
        /usr/bin/time -f '%R %w %c' -a -o "$results/p_bytehunt.all-counts" "$bytehunt" 0000 "$zeros" | cat >/dev/null
    }
    p_cat() { cat "$text" | cat >/dev/null; }
    warm "$file"
    for ((i = 0; i < n; i++)); do
        # Every core and one core in turns of either order, so that neither
        # always runs right after the loads of the round before.
        if ((i % 2 == 0)); then counted c_all; counted c_one; else counted c_one; counted c_all; fi
        for name in c_rg c_64; do counted "$name"; done
        warm "$text"
        timed p_cat
        timed p_bytehunt
    done
    local all one rg all_counts one_counts
    all=$(seconds c_all)
    one=$(seconds c_one)
    rg=$(seconds c_rg)
    all_counts=$(counts c_all)
    one_counts=$(counts c_one)
    echo
    echo "Dense output, 0000 over 16 MiB of zeros: medians of $n alternating runs"
    echo
    echo "| command | seconds | minor faults | context switches | measure | goal |"
    echo "| --- | --- | --- | --- | --- | --- |"
    row "bytehunt, $(nproc) cores" "$all" "$all_counts" "$(ratio "$one" "$all") x faster than one core" ">= 1.6"
    row "bytehunt, one core" "$one" "$one_counts" \
        "faults $(ratio "${all_counts%% |*}" "${one_counts%% |*}") x on all cores" "<= 2"
    row "rg -obUa" "$rg" "" "" "bytehunt $(ratio "$all" "$rg") x ripgrep" "<= 0.04"
    row "bytehunt, 64 MiB of zeros, $(nproc) cores" "$(seconds c_64)" "$(counts c_64)" "" "switches <= 1000"
    row "bytehunt, 64 MiB of zeros \| cat" "$(seconds p_bytehunt)" "$(counts p_bytehunt)" \
        "$(ratio "$(seconds p_bytehunt)" "$(seconds p_cat)") x cat of the text" "<= 1.1"
    row "cat of the same text \| cat" "$(seconds p_cat)" "" "" ""
}

# Start-up, as over many small files: a 4 KiB file, by hyperfine -N (no
# shell in between), 1000 runs each, against GNU grep -c -a -F.
startup_section() {
    local file=$data/random-4k.bin
    [[ -f $file ]] || head -c 4096 /dev/urandom >"$file"
    local csv=$results/startup.csv
    hyperfine -N --warmup 50 --runs 1000 -i --export-csv "$csv" \
        "$bytehunt 0102030405060708 $file" "grep -c -a -F bYtEhUnT $file" >/dev/null 2>&1
    # command,mean,stddev,median,user,system,min,max, in seconds
    local bh grep
    bh=$(awk -F, 'NR == 2 {printf "%.3f", $4 * 1000}' "$csv")
    grep=$(awk -F, 'NR == 3 {printf "%.3f", $4 * 1000}' "$csv")
    declare -A command=([u_bytehunt]="$bytehunt 0102030405060708 $file")
    counted u_bytehunt
    echo
    echo "Start-up, a 4 KiB file: medians of 1000 runs (hyperfine -N)"
    echo
    echo "| command | milliseconds | minor faults | context switches | measure | goal |"
    echo "| --- | --- | --- | --- | --- | --- |"
    row "start-up: bytehunt" "$bh" "$(counts u_bytehunt)" "$(ratio "$bh" "$grep") x GNU grep" "<= 0.8"
    row "start-up: GNU grep -c -a -F" "$grep" "" "" "" ""
}

# Sparse files: their holes read as zeros and hold no data. A 16 GiB file
# with 8 MiB of data in 4 extents, a 1 TiB file with data in three places
# (one past 4 GiB, one ending on the last byte), each with the rare pattern
# and with 41 00 00 and 00 00 41 at hole edges; and 00000000 over a 1 GiB hole
# against 1 GiB of written zeros. Each row: the time of one run, its minor
# faults, and how much the page cache grew (Cached in /proc/meminfo), cached
# and right after the page cache was dropped; the file's own pages by
# fincore. Peers are stopped after 30 s.
sparse_section() {
    local s16=$data/sparse-16g.bin s1t=$data/sparse-1t.bin hole=$data/hole-1g.bin zero=$data/zeros-1g.bin
    local mib=$((1024 * 1024)) gib=$((1024 * 1024 * 1024))
    put() { dd if=/dev/urandom of="$1" bs=1M count="$3" oflag=seek_bytes seek="$2" conv=notrunc status=none; }
    poke() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
    if [[ ! -f $s16 ]]; then
        truncate -s 16G "$s16"
        put "$s16" $gib 2; put "$s16" $((9437184777 - mib)) 2; put "$s16" $((12 * gib)) 2
        put "$s16" $((16 * gib - 2 * mib)) 2
        poke "$s16" 9437184777 '\x01\x02\x03\x04\x05\x06\x07\x08'
        poke "$s16" $((gib + 2 * mib - 1)) A; poke "$s16" $((12 * gib)) A
    fi
    if [[ ! -f $s1t ]]; then
        truncate -s 1T "$s1t"
        put "$s1t" 0 1; put "$s1t" $((5 * gib + 12345)) 1; put "$s1t" $((1024 * gib - mib)) 1
        poke "$s1t" $((5 * gib + 12345 + mib / 2)) '\x01\x02\x03\x04\x05\x06\x07\x08'
        poke "$s1t" $((mib - 1)) A; poke "$s1t" $((5 * gib + 12345)) A
    fi
    if [[ ! -f $hole ]]; then
        truncate -s 1G "$hole"; put "$hole" 0 2; put "$hole" $((gib - 2 * mib)) 2
        cp --sparse=never "$hole" "$zero"
    fi
    local can_drop=yes
    echo 1 2>/dev/null >/proc/sys/vm/drop_caches || can_drop=no
    cached_kib() { awk '/^Cached:/ {print $2}' /proc/meminfo; }
    # Bytes of the file in the page cache: Cached also moves with whatever
    # else the machine does.
    file_pages() { fincore -b -n -o RES "$1" 2>/dev/null || echo 0; }
    # one STATE LABEL COMMAND...: one run, as a table row.
    one() {
        local state=$1 label=$2 before after
        shift 2
        [[ $state == dropped ]] && { sync; echo 1 >/proc/sys/vm/drop_caches; }
        local file_before file_after
        before=$(cached_kib)
        file_before=$(file_pages "${@: -1}")
        /usr/bin/time -f '%e %R %M' -o "$results/sparse" timeout 30 "$@" >/dev/null 2>&1 || true
        after=$(cached_kib)
        file_after=$(file_pages "${@: -1}")
        awk -v label="$label" -v state="$state" -v grew=$(((after - before) / 1024)) \
            -v file=$(((file_after - file_before) / 1048576)) \
            '/^[0-9]/ {t = $1; f = $2; m = $3} /exit status 124/ {late = 1}
             END {printf "| %s | %s | %s | %d | %d | %d | %.1f |\n", label, state, late ? "> 30" : t, f, grew,
                  file, m / 1024}' "$results/sparse"
    }
    echo
    echo "Sparse files: one run each; growth of Cached and of the file's own pages in the page cache, in MiB"
    echo
    echo "| command | state | seconds | minor faults | Cached grew | file's pages grew | peak memory, MiB |"
    echo "| --- | --- | --- | --- | --- | --- | --- |"
    local file hex regex state
    for file in "$s16" "$s1t"; do
        for hex in 0102030405060708 410000 000041; do
            regex=$(echo "$hex" | sed 's/../\\x&/g')
            for state in cached dropped; do
                [[ $state == dropped && $can_drop == no ]] && continue
                [[ $state == cached ]] && "$bytehunt" "$hex" "$file" >/dev/null
                one "$state" "bytehunt $hex, $(basename "$file"), $(nproc) cores" "$bytehunt" "$hex" "$file"
                one "$state" "bytehunt $hex, $(basename "$file"), one core" taskset -c 0 "$bytehunt" "$hex" "$file"
                one "$state" "grep binary mode" env LC_ALL=C grep -obUP "$regex" "$file"
                [[ $file == "$s16" ]] || continue
                one "$state" "rg -obUa" rg -obUa --no-unicode "(?-u:$regex)" "$file"
                one "$state" "grep -a" env LC_ALL=C grep -obUaP "$regex" "$file"
            done
        done
    done
    for file in "$hole" "$zero"; do
        cat "$file" >/dev/null
        one cached "bytehunt 00000000, $(basename "$file"), $(nproc) cores" "$bytehunt" 00000000 "$file"
        one cached "bytehunt 00000000, $(basename "$file"), one core" taskset -c 0 "$bytehunt" 00000000 "$file"
    done
}

# A block device: a loop device over a 1 GiB image of random bytes, against
# the image itself with its pages cached. The device's own cache is dropped
# whenever no one holds the device open, so each run reads through the loop
# driver; while it is held open (as a mounted file system holds its disk),
# its pages stay cached. Cold: the page cache dropped and the device's
# buffers flushed before each run, against dd bs=1M of the device. Needs root.
device_section() {
    local image=$data/device-1g.img loop rare=0102030405060708
    [[ -f $image ]] || head -c 1G /dev/urandom >"$image"
    if ! echo 1 2>/dev/null >/proc/sys/vm/drop_caches || ! loop=$(losetup -f --show -r "$image" 2>/dev/null); then
        echo "device: skipped, no loop device can be made here (needs root)"
        return
    fi
    # shellcheck disable=SC2034 # read by counted
    declare -A command=([d_file]="$bytehunt $rare $image" [d_device]="$bytehunt $rare $loop"
        [d_dd]="dd if=$loop of=/dev/null bs=1M status=none" [d_cold]="$bytehunt $rare $loop"
        [d_cold_dd]="dd if=$loop of=/dev/null bs=1M status=none" [d_held]="$bytehunt $rare $loop")
    local i name held
    for ((i = 0; i < runs; i++)); do
        for name in d_file d_device d_dd; do
            warm "$image"
            counted "$name"
        done
        exec {held}<"$loop"
        warm "$loop"
        counted d_held
        exec {held}<&-
        for name in d_cold d_cold_dd; do
            sync
            echo 3 >/proc/sys/vm/drop_caches
            blockdev --flushbufs "$loop"
            counted "$name"
        done
    done
    losetup -d "$loop"
    echo
    echo "Block device, a loop device over 1 GiB of random bytes, on $(nproc) cores: medians of $runs alternating runs"
    echo
    echo "| state | command | seconds | minor faults | context switches | measure | goal |"
    echo "| --- | --- | --- | --- | --- | --- | --- |"
    row "image cached" "bytehunt on the image" "$(spread d_file)" "$(counts d_file)" "" ""
    row "image cached" "**bytehunt on the device**" "$(spread d_device)" "$(counts d_device)" \
        "$(ratio "$(seconds d_device)" "$(seconds d_file)") x the image" "<= 1.2"
    row "image cached" "dd bs=1M of the device" "$(spread d_dd)" "$(counts d_dd)" "" ""
    row "device held open, cached" "**bytehunt on the device**" "$(spread d_held)" "$(counts d_held)" \
        "$(ratio "$(seconds d_held)" "$(seconds d_file)") x the image" "<= 1.2"
    row "cold" "**bytehunt on the device**" "$(spread d_cold)" "$(counts d_cold)" \
        "$(ratio "$(seconds d_cold)" "$(seconds d_cold_dd)") x dd" "<= 1"
    row "cold" "dd bs=1M of the device" "$(spread d_cold_dd)" "$(counts d_cold_dd)" "" ""
}

[[ $section == all || $section == states ]] && states_section
[[ $section == all || $section == device ]] && device_section
[[ $section == all || $section == dense ]] && dense_section
[[ $section == all || $section == startup ]] && startup_section
[[ $section == all || $section == main ]] && main_section
[[ $section == all || $section == degenerate ]] && degenerate_section
[[ $section == all || $section == sparse ]] && sparse_section
exit 0
