#!/usr/bin/env bash
# Runs the built program as a user would and checks its standard output,
# standard error and exit status. Usage: end_to_end.sh COMMAND [ARGS...]
# With BYTEHUNT_E2E_PLATFORM=windows (a Windows build run under wine), the
# checks that need POSIX devices and descriptors are left out.
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Every run has a deadline (BYTEHUNT_TEST_DEADLINE seconds, longer under
# sanitizers and emulators; RUN_DEADLINE for one run): a run still going
# then, such as threads waiting for a wake-up they missed, is stopped and
# ends the whole test at once, saying which run, so that a hang fails in
# seconds.
deadline=${BYTEHUNT_TEST_DEADLINE:-60}
cat >"$work/run" <<EOF
#!/usr/bin/env bash
if [[ -n \${BYTEHUNT_PRELOAD:-} ]]; then set -- env LD_PRELOAD="\$BYTEHUNT_PRELOAD" "\$@"; fi
timeout -k 5 \${RUN_DEADLINE:-$deadline} "\$@"
status=\$?
if [[ \$status == 124 || \$status == 137 ]]; then
    echo "\$*" >>"$work/hung"
    kill -TERM $$
fi
exit \$status
EOF
chmod +x "$work/run"
trap 'echo "FAIL still running at its deadline: $(cat "$work/hung")"; exit 1' TERM
program=("$work/run" "$@")
bare=("$@")  # for runs whose limits would also bind the deadline's own shell
passed=0
failed=0

# check NAME STATUS EXPECTED_STDOUT [ARGS...]: stderr must be empty.
check() {
    local name=$1 want_status=$2 want_out=$3
    shift 3
    local out status
    out=$("${program[@]}" "$@" 2>"$work/stderr"; echo "~$?")
    status=${out##*~}
    out=${out%~*}
    out=${out//$'\r'/}  # text-mode runtimes end lines with CR LF
    if [[ $status == "$want_status" && $out == "$want_out" && ! -s $work/stderr ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL %s: status %s (want %s)\n--- got\n%s--- want\n%s--- stderr\n%s\n' \
            "$name" "$status" "$want_status" "$out" "$want_out" "$(cat "$work/stderr")"
    fi
}

# expect NAME CONDITION: a check that needs its own command line.
expect() {
    if eval "$2"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $1: $2"; fi
}

usage=$'Usage: bytehunt string infile\nstring=[[0-9|A-F|a-f][0-9|A-F|a-f]]+\n'
odd=$'String must be a multiple of 2 characters long\n'
invalid=$'Invalid characters in string.\nEach character must be in the range [0-9|A-F|a-f]\n'
too_long=$'Search string can only be upto 128 bytes\n'
header=$'Found at offset\n'

printf 'ab\r\ncd\r\nef' >"$work/crlf"
printf 'AAB' >"$work/aab"
printf 'AAAB' >"$work/aaab"
printf 'ababac' >"$work/ababac"
printf 'AAAA' >"$work/aaaa"
printf '\x00\x1a\x00\x0d\x0a\x1a' >"$work/special"
: >"$work/empty"
pattern128=$(printf '%0256d' 0 | tr 0 7)
{ head -c 1000 /dev/zero; printf '%0128d' 0 | tr 0 w; } >"$work/w128"
mkdir "$work/dir"

# Argument count, whatever the arguments hold.
check "no arguments" 1 "$usage"
check "one argument" 1 "$usage" 41
check "three arguments" 1 "$usage" 41 "$work/crlf" extra
check "options are not special" 1 "$usage" --help
# Search-string messages, checked before the file is looked at.
check "odd length" 1 "$odd" 414 "$work/missing"
check "odd and invalid" 1 "$odd" zzz "$work/missing"
check "prefix" 1 "$invalid" 0x41 "$work/missing"
check "too long" 1 "$too_long" "$(printf '%0258d' 0)" "$work/missing"
check "too long, any characters" 1 "$too_long" "$(printf '%0258d' 0 | tr 0 z)" "$work/missing"
# The file.
check "missing file" 2 "Cannot open $work/missing"$'\n' 41 "$work/missing"
check "directory" 2 "Cannot open $work/dir"$'\n' 41 "$work/dir"
check "empty path" 2 $'Cannot open \n' 41 ""
# Results.
check "crlf" 0 "$header"$'2 (0x2)\n6 (0x6)\n' 0d0a "$work/crlf"
check "upper case" 0 "$header"$'2 (0x2)\n6 (0x6)\n' 0D0A "$work/crlf"
check "not found" 0 "" 0a0d "$work/crlf"
check "empty file" 0 "" 41 "$work/empty"
check "empty pattern" 0 "" "" "$work/crlf"
check "resume inside a partial match" 0 "$header"$'1 (0x1)\n' 4142 "$work/aab"
check "resume inside a longer partial match" 0 "$header"$'1 (0x1)\n' 414142 "$work/aaab"
check "resume inside a periodic match" 0 "$header"$'2 (0x2)\n' 61626163 "$work/ababac"
check "no overlap" 0 "$header"$'0 (0x0)\n2 (0x2)\n' 4141 "$work/aaaa"
check "one byte" 0 "$header"$'0 (0x0)\n1 (0x1)\n2 (0x2)\n3 (0x3)\n' 41 "$work/aaaa"
check "NUL and 1A" 0 "$header"$'0 (0x0)\n2 (0x2)\n' 00 "$work/special"
check "ends on the last byte" 0 "$header"$'4 (0x4)\n' 0a1a "$work/special"
check "128-byte pattern" 0 "$header"$'1000 (0x3e8)\n' "$pattern128" "$work/w128"
printf '%026dA' 0 >"$work/at26"
check "hex is lower case" 0 "$header"$'26 (0x1a)\n' 41 "$work/at26"

if [[ ${BYTEHUNT_E2E_PLATFORM:-posix} == posix ]]; then
    # Pipes and other inputs that cannot seek.
    out=$(cat "$work/crlf" | "${program[@]}" 0d0a /dev/stdin | tr -d '\r')
    expect "pipe through /dev/stdin" '[[ $out == "${header}2 (0x2)"$'"'"'\n'"'"'"6 (0x6)" ]]'
    mkfifo "$work/fifo"
    (cat "$work/crlf" >"$work/fifo" &)
    out=$("${program[@]}" 0a "$work/fifo" | tr -d '\r')
    expect "fifo" '[[ $out == "${header}3 (0x3)"$'"'"'\n'"'"'"7 (0x7)" ]]'

    # Results as they are found: the writer holds back the rest of its input
    # until the first offset has reached the output (or 30 s have passed).
    mkfifo "$work/slow"
    (
        printf 'AB'
        for ((i = 0; i < 300; i++)); do
            [[ -s $work/slow.out ]] && { touch "$work/shown"; break; }
            sleep 0.1
        done
        printf 'xxAB'
    ) >"$work/slow" &
    "${program[@]}" 4142 "$work/slow" >"$work/slow.out"
    wait
    expect "offsets shown while the input pauses" '[[ -e $work/shown ]]'
    expect "paused input searched to its end" \
        '[[ $(tr -d "\r" <"$work/slow.out") == "${header}0 (0x0)"$'"'"'\n'"'"'"4 (0x4)" ]]'

    # Output appended to the input: refused, and the file left as it was.
    # (Under wine a redirected standard output cannot be described, so this
    # is checked on POSIX systems only.)
    printf 'x30y' >"$work/self"
    "${program[@]}" 30 "$work/self" >>"$work/self" 2>"$work/stderr"
    status=$?
    expect "output is the input" '[[ $status == 2 && $(cat "$work/self") == x30y ]]'
    expect "output is the input, said" \
        '[[ $(tr -d "\r" <"$work/stderr") == "Input file $work/self is also the output" ]]'
    "${program[@]}" 30 "$work/self" >/dev/null 2>"$work/stderr"
    status=$?
    expect "output to /dev/null is not the input" '[[ $status == 0 && ! -s $work/stderr ]]'
    "${program[@]}" 41 /dev/null >/dev/null 2>"$work/stderr"
    status=$?
    expect "a device as input and output" '[[ $status == 0 && ! -s $work/stderr ]]'
    # Output that cannot be written.
    if [[ -w /dev/full ]]; then
        "${program[@]}" 0d0a "$work/crlf" >/dev/full 2>"$work/stderr"
        status=$?
        expect "/dev/full status" '[[ $status == 2 ]]'
        expect "/dev/full message" '[[ $(tr -d "\r" <"$work/stderr") == "Error writing output" ]]'
        "${program[@]}" >/dev/full 2>/dev/null
        status=$?
        expect "/dev/full after the usage text" '[[ $status == 2 ]]'
        # A message longer than the output's buffer.
        "${program[@]}" 41 "$work/$(printf '%06000d' 0)" >/dev/full 2>"$work/stderr"
        status=$?
        expect "/dev/full after a long message" \
            '[[ $status == 2 && $(tr -d "\r" <"$work/stderr") == "Error writing output" ]]'
    fi
    # Output that fails from a file searched on one thread, from a pipe, and
    # from one dense enough to be searched in chunks, on one core and on all.
    head -c $((8 * 1024 * 1024)) /dev/zero >"$work/zeros"
    cores=("" "taskset -c 0")
    type taskset >/dev/null 2>&1 || cores=("")
    for on in "${cores[@]}"; do
        for input in crlf zeros pipe; do
            name="$input${on:+, one core}"
            run() { $on "${program[@]}" 0000 "$work/$input" "$@"; }
            [[ $input == pipe ]] && run() { cat "$work/zeros" | $on "${program[@]}" 0000 /dev/stdin "$@"; }
            [[ $input == crlf ]] && run() { $on "${program[@]}" 0d0a "$work/crlf" "$@"; }
            run >&- 2>"$work/stderr"
            status=$?
            expect "closed standard output, $name" \
                '[[ $status == 2 && $(tr -d "\r" <"$work/stderr") == "Error writing output" ]]'
            if [[ -w /dev/full ]]; then
                run >/dev/full 2>"$work/stderr"
                status=$?
                expect "/dev/full, $name" \
                    '[[ $status == 2 && $(tr -d "\r" <"$work/stderr") == "Error writing output" ]]'
            fi
            out=$(run 2>"$work/stderr" | head -c 16)
            expect "reader gone, $name" '[[ $out == "Found at offset" && ! -s $work/stderr ]]'
        done
    done
    "${program[@]}" 7777 "$work/crlf" >&- 2>"$work/stderr"
    status=$?
    expect "closed standard output, nothing to write" '[[ $status == 0 && ! -s $work/stderr ]]'
    out=$("${program[@]}" 0d0a "$work/crlf" <&- 2>&1 | tr -d '\r')
    expect "closed standard input" '[[ $out == "${header}2 (0x2)"$'"'"'\n'"'"'"6 (0x6)" ]]'

    # Under any memory limit a run either searches everything, or prints a
    # prefix of the offsets, says why it stopped and exits with 2: never a
    # silent stop. (Skipped where the program cannot even search an empty
    # file under the tightest limit, as under a sanitizer or an emulator,
    # which need far more memory themselves.)
    plain=false
    "$work/run" bash -c 'ulimit -v $((10 * 1024)) && "$@" 41 /dev/null; exit $?' - "${bare[@]}" 2>/dev/null && plain=true
    if $plain; then
        "${program[@]}" 0000 "$work/zeros" >"$work/all"
        for on in "${cores[@]}"; do
            for limit in 10 12 14 16 18 20 22 24 28 32; do
                "$work/run" bash -c 'ulimit -v $(('$limit' * 1024)) && exec "$@"' - $on "${bare[@]}" 0000 "$work/zeros" \
                    >"$work/some" 2>"$work/stderr"
                status=$?
                said=$(tr -d '\r' <"$work/stderr")
                expect "memory limit $limit MiB${on:+, one core}" '[[ $status == 0 && -z $said && $(cmp "$work/all" "$work/some") == "" ]] ||
                    [[ $status == 2 && $said == "Out of memory" && ( ! -s $work/some || $(cmp "$work/all" "$work/some" 2>&1) == *EOF* ) ]]'
            done
        done
    fi
    (sleep 0.3; "${program[@]}") 2>"$work/stderr" | true
    expect "reader gone before the usage text" '[[ ! -s $work/stderr ]]'

    # Limits the parent set: a stack of 16 KiB (skipped, as memory limits
    # are, where a sanitizer or an emulator needs more itself) and a file
    # size limit, on one core and on all, from a file and from a pipe.
    "${program[@]}" 0000 "$work/zeros" >"$work/all"
    # The limit binds the program alone: the deadline's own shell, started
    # under a stack of 16 KiB, itself crashed now and then. What follows the
    # input is put before the shell: the stack's check runs with an empty
    # environment, whose strings come out of the same 16 KiB, as does a
    # random gap of up to 8 KiB that the system leaves below them (with 7 KiB
    # of environment, a third of the runs stopped in the system's start of
    # the program, before any of its own code ran).
    limited() {
        cat "$work/zeros" | "$work/run" "${@:3}" bash -c "ulimit $1 && exec \"\$@\"" - $on "${bare[@]}" 0000 "$2"
    }
    for on in "${cores[@]}"; do
        for input in "$work/zeros" /dev/stdin; do
            name="${input##*/}${on:+, one core}"
            if $plain; then
                limited "-s 16" $input env -i PATH="$PATH" >"$work/some" 2>"$work/stderr"
                status=$?
                expect "stack of 16 KiB, $name" '[[ $status == 0 && ! -s $work/stderr ]] && cmp -s "$work/all" "$work/some"'
            fi
            limited "-f 10" $input >"$work/some" 2>"$work/stderr"
            status=$?
            expect "file size limit, $name" '[[ $status == 2 && $(tr -d "\r" <"$work/stderr") == "Error writing output" &&
                $(wc -c <"$work/some") == 10240 && $(cmp "$work/all" "$work/some" 2>&1) == *EOF* ]]'
        done
    done
fi

# Paths as given: spaces, and characters outside any single ANSI code page.
cp "$work/crlf" "$work/with space é λ 文.bin"
check "path with a space and non-ASCII" 0 "$header"$'2 (0x2)\n6 (0x6)\n' 0d0a "$work/with space é λ 文.bin"
check "missing non-ASCII path" 2 "Cannot open $work/no such é λ 文"$'\n' 0d0a "$work/no such é λ 文"
# A full-width A is not a hex digit, whatever the code page would make of it.
check "full-width digit" 1 "$invalid" "4Ａ" "$work/crlf"

# A file large enough that its first 256 KiB are searched alone first, with
# an occurrence across their end that overlaps the next one.
if truncate -s $((5 * 1024 * 1024)) "$work/probe" 2>/dev/null; then
    printf 'AAAA' | dd of="$work/probe" bs=1 seek=262143 conv=notrunc status=none
    check "occurrence across the first 256 KiB" 0 "$header"$'262143 (0x3ffff)\n262145 (0x40001)\n' 4141 "$work/probe"
    rm -f "$work/probe"
fi

# Dense output from a file large enough to be searched in chunks, every
# offset checked: none lost, none repeated, none overlapping the last.
head -c $((6 * 1024 * 1024)) /dev/zero | tr '\0' A >"$work/dense"
out=$("${program[@]}" 414141 "$work/dense" | tr -d '\r' |
    awk 'NR > 1 && $0 != (NR - 2) * 3 " (0x" sprintf("%x", (NR - 2) * 3) ")" {bad++} END {print NR, bad + 0}')
expect "dense output in chunks" '[[ $out == "2097153 0" ]]'
rm -f "$work/dense"

# Offsets beyond 4 GiB, from a sparse file, one of them on its last byte.
gib=$((1024 * 1024 * 1024))
if truncate -s $((5 * gib + 2)) "$work/sparse" 2>/dev/null; then
    printf 'Zq' | dd of="$work/sparse" bs=1 seek=$((5 * gib)) conv=notrunc status=none
    printf 'Zq' | dd of="$work/sparse" bs=1 seek=$((4 * gib - 1)) conv=notrunc status=none
    # The first read of a fresh sparse file has taken 6 s on a loaded host.
    RUN_DEADLINE=$((6 * deadline)) check "beyond 4 GiB" 0 "$header"$'4294967295 (0xffffffff)\n5368709120 (0x140000000)\n' 5a71 "$work/sparse"
    rm -f "$work/sparse"
fi

# Holes punched, and data written into holes, while a sparse file is searched,
# on one core and on every core: every offset printed is one whose bytes the
# file held, in order. Data: "Zq" every 4 KiB in the first MiB of every 8 MiB;
# written later into the fifth MiB of each.
mib=$((1024 * 1024))
if command -v fallocate >/dev/null && truncate -s $((512 * mib)) "$work/changing" 2>/dev/null; then
    { printf 'Zq'; head -c 4094 /dev/zero | tr '\0' '\001'; } >"$work/unit"
    for _ in $(seq 256); do cat "$work/unit"; done >"$work/block"
    for k in $(seq 0 63); do
        dd if="$work/block" of="$work/changing" bs=1M seek=$((8 * k)) conv=notrunc status=none
    done
    (for k in $(seq 0 63); do
        fallocate -p -o $((8 * k * mib + 65536)) -l 65536 "$work/changing"
        dd if="$work/block" of="$work/changing" bs=1M seek=$((8 * k + 4)) conv=notrunc status=none
    done) &
    changer=$!
    bad=0
    for cores in 0 all; do
        for _ in 1 2 3 4 5; do
            if [[ $cores == all ]]; then run=("${program[@]}"); else run=(taskset -c 0 "${program[@]}"); fi
            bad=$((bad + $("${run[@]}" 5a71 "$work/changing" | tr -d '\r' | awk -v mib=$mib '
                NR == 1 { next }
                { at = $1 % (8 * mib) }
                $1 % 4096 != 0 || !(at < mib || (at >= 4 * mib && at < 5 * mib)) || (NR > 2 && $1 <= last) { bad++ }
                { last = $1 } END { print bad + 0 }')))
        done
    done
    wait $changer
    expect "holes punched and filled while searched" '[[ $bad == 0 ]]'
    rm -f "$work/changing" "$work/unit" "$work/block"
fi

# A block device is searched as a file of its size: a loop device over an
# image (where one can be made, as root) prints what the image itself does,
# and is refused as its own output.
if [[ ${BYTEHUNT_E2E_PLATFORM:-posix} == posix && -w /dev/loop-control ]] && truncate -s $((160 * mib)) "$work/image"; then
    for at in 0 $((8 * mib + 1)) $((150 * mib)) $((160 * mib - 2)); do
        printf 'Zq' | dd of="$work/image" bs=1 seek=$at conv=notrunc status=none
    done
    head -c $((6 * mib)) /dev/zero | tr '\0' A | dd of="$work/image" bs=1M seek=20 conv=notrunc status=none
    if loop=$(losetup -f --show -r "$work/image" 2>/dev/null); then
        trap 'losetup -d "$loop"; rm -rf "$work"' EXIT
        for needle in 5a71 414141; do
            "${program[@]}" $needle "$work/image" >"$work/all"
            "${program[@]}" $needle "$loop" >"$work/some" 2>"$work/stderr"
            status=$?
            expect "loop device, $needle" '[[ $status == 0 && ! -s $work/stderr ]] && cmp -s "$work/all" "$work/some"'
        done
        "${program[@]}" 5a71 "$loop" >>"$loop" 2>"$work/stderr"
        status=$?
        expect "loop device as its own output" \
            '[[ $status == 2 && $(cat "$work/stderr") == "Input file $loop is also the output" ]]'
        losetup -d "$loop"
        trap 'rm -rf "$work"' EXIT
    fi
    rm -f "$work/image"
fi

# Faults injected into the program's reads, where the platform allows it.
# The library goes to the program alone, not to the shell that keeps its deadline.
inject() { env BYTEHUNT_PRELOAD="$BYTEHUNT_FAULT_INJECTION" ASAN_OPTIONS=verify_asan_link_order=0 "$@"; }
# Injectable where a run cuts its input: told by the file, whatever the
# program under test makes of the cut.
injectable() {
    [[ -n ${BYTEHUNT_FAULT_INJECTION:-} ]] || return 1
    printf 'AAAA' >"$work/cut"
    BYTEHUNT_TEST_RESIZE_AFTER=0 BYTEHUNT_TEST_RESIZE_TO=1 inject "${program[@]}" 41 "$work/cut" >/dev/null 2>&1
    [[ $(wc -c <"$work/cut") -eq 1 ]]
}
if injectable; then
    # A file opened while standard error (and input) are closed moves above
    # them: its reads are the ones that fail.
    for closed in "2>&-" "<&- 2>&-"; do
        out=$(eval 'BYTEHUNT_TEST_FAIL_AFTER=0 inject "${program[@]}" 41 "$work/aaaa"' "$closed")
        expect "read error, $closed" '[[ $out == "Error reading $work/aaaa" ]]'
    done
    # A read error in the middle: what was found stays printed, then the error.
    { head -c 300000 /dev/zero; printf 'Zq'; head -c 300000 /dev/zero; printf 'Zq'; } >"$work/two"
    out=$(BYTEHUNT_TEST_FAIL_AFTER=400000 inject "${program[@]}" 5a71 "$work/two" 2>"$work/stderr")
    status=$?
    expect "read error keeps earlier offsets" \
        '[[ $out == "${header}300000 (0x493e0)"$'"'"'\n'"'"'"Error reading $work/two" && $status == 2 ]]'
    # A bad MiB in the second half of a file large enough to be searched on
    # every core, while the chunks before it are still printing: every offset
    # before the error, none after it, then the error.
    mib=$((1024 * 1024))
    if truncate -s $((160 * mib)) "$work/parts" 2>/dev/null; then
        for at in 8 70 85 95 150; do
            printf 'Zq' | dd of="$work/parts" bs=1 seek=$((at * mib)) conv=notrunc status=none
        done
        # The bad MiB holds data: a hole would be passed over unread.
        dd if=/dev/zero of="$work/parts" bs=1M seek=90 count=1 conv=notrunc status=none
        yes Zq | tr -d '\n' | head -c 400000 |
            dd of="$work/parts" bs=64K oflag=seek_bytes seek=$((20 * mib)) conv=notrunc status=none
        expected=$header$(awk -v mib=$mib 'BEGIN { printf "%d (0x%x)\n", 8 * mib, 8 * mib
            for (at = 20 * mib; at < 20 * mib + 400000; at += 2) printf "%d (0x%x)\n", at, at
            for (at = 70; at <= 85; at += 15) printf "%d (0x%x)\n", at * mib, at * mib }')
        out=$(BYTEHUNT_TEST_FAIL_AT=$((90 * mib)) BYTEHUNT_TEST_FAIL_LENGTH=$mib inject "${program[@]}" 5a71 \
            "$work/parts" 2>"$work/stderr")
        status=$?
        expect "read error in a later part" '[[ $out == "$expected"$'"'"'\n'"'"'"Error reading $work/parts" && $status == 2 ]]'
        # The same while a later chunk is searched again from where an
        # occurrence across its start ended: a run of 41 from the end of the
        # first 256 KiB, which are searched first and alone.
        truncate -s 0 "$work/parts" && truncate -s $((160 * mib)) "$work/parts"
        # Its first MiBs hold data (zeros), read as the rows below count on.
        dd if=/dev/zero of="$work/parts" bs=1M count=2 conv=notrunc status=none
        head -c 100000 /dev/zero | tr '\0' A |
            dd of="$work/parts" bs=64K oflag=seek_bytes seek=$((256 * 1024 - 1)) conv=notrunc status=none
        # The error a few bytes later or earlier cuts the stretch searched
        # again short at each place an occurrence can end.
        for fail_at in $((256 * 1024 + 49998)) $((256 * 1024 + 49999)) $((256 * 1024 + 50000)) \
            $((256 * 1024 + 50001)) $((256 * 1024 + 50002)); do
            expected=$header$(awk -v from=$((256 * 1024 - 1)) -v end=$fail_at 'BEGIN {
                for (at = from; at + 3 <= end; at += 3) printf "%d (0x%x)\n", at, at }')
            out=$(BYTEHUNT_TEST_FAIL_AT=$fail_at inject "${program[@]}" 414141 "$work/parts" 2>"$work/stderr")
            status=$?
            expect "read error at $fail_at in a chunk searched again" \
                '[[ $out == "$expected"$'"'"'\n'"'"'"Error reading $work/parts" && $status == 2 ]]'
        done
        # Memory runs out on the first thread once it searched the first
        # 256 KiB: the chunk searched again past them is lined up by a thread
        # that has memory, and every offset is printed (on one core, the
        # offsets up to where memory ran out, then the message). Four bytes,
        # not three: chunks start on multiples of 4096 and of the needle's
        # repeat step, and the run's occurrences must fall out of step with
        # them, as those of a run that starts anywhere do.
        expected=$header$(awk -v from=$((256 * 1024 - 1)) -v end=$((256 * 1024 + 100000 - 1)) 'BEGIN {
            for (at = from; at + 4 <= end; at += 4) printf "%d (0x%x)\n", at, at }')
        BYTEHUNT_TEST_STARVE_AFTER=350000 inject "${program[@]}" 41414141 "$work/parts" >"$work/out" 2>"$work/stderr"
        status=$?
        out=$(tr -d '\r' <"$work/out")
        expect "out of memory on the first thread, chunk searched again" '[[ ($status == 0 && ! -s $work/stderr &&
            $out == "$expected") || ($status == 2 && $(tr -d "\r" <"$work/stderr") == "Out of memory" &&
            $expected == "$out"* && $(nproc) == 1) ]]'
        rm -f "$work/parts"
    fi
    # A file system that cannot tell holes, or says there are none: the
    # holes are read, and the offsets are the same as where it can.
    if truncate -s $((48 * mib)) "$work/holes" 2>/dev/null; then
        printf 'A' | dd of="$work/holes" bs=1 seek=$((8 * mib - 1)) conv=notrunc status=none
        printf 'A' | dd of="$work/holes" bs=1 seek=$((40 * mib)) conv=notrunc status=none
        for holes in fail none; do
            out=$(BYTEHUNT_TEST_HOLES=$holes inject "${program[@]}" 41000000 "$work/holes")
            expect "holes $holes: occurrences into holes" \
                '[[ $out == "${header}8388607 (0x7fffff)"$'"'"'\n'"'"'"41943040 (0x2800000)" ]]'
            out=$(BYTEHUNT_TEST_HOLES=$holes inject "${program[@]}" 00000041 "$work/holes")
            expect "holes $holes: occurrences out of holes" \
                '[[ $out == "${header}8388604 (0x7ffffc)"$'"'"'\n'"'"'"41943037 (0x27ffffd)" ]]'
        done
        rm -f "$work/holes"
    fi
    # The file shrinks before it is read: no offset beyond its new end.
    out=$(BYTEHUNT_TEST_RESIZE_AFTER=0 BYTEHUNT_TEST_RESIZE_TO=350000 inject "${program[@]}" 5a71 "$work/two")
    status=$?
    expect "file shrinks" '[[ $out == "${header}300000 (0x493e0)" && $status == 0 ]]'
    # Maps refused, reads sound: a file of several stretches is read whole.
    printf 'AAA%097d' $(seq 80000) >"$work/many"
    expected=$header$(awk 'BEGIN { for (at = 0; at < 8000000; at += 100) printf "%d (0x%x)\n", at, at }')
    out=$(BYTEHUNT_TEST_FAIL_AFTER=100000000000 inject "${program[@]}" 4141 "$work/many")
    status=$?
    expect "maps refused" '[[ $out == "$expected" && $status == 0 ]]'
    # The file is cut to an odd size after its first MiB was read, amid
    # thousands of offsets of a needle that overlaps itself: each offset below
    # the new end shows exactly once, none overlapping another.
    printf 'AAA%097d' $(seq 80000) >"$work/many"
    expected=$header$(awk 'BEGIN { for (at = 0; at < 6000000; at += 100) printf "%d (0x%x)\n", at, at }')
    out=$(BYTEHUNT_TEST_RESIZE_AFTER=1 BYTEHUNT_TEST_RESIZE_TO=6000001 inject "${program[@]}" 4141 "$work/many")
    status=$?
    expect "file cut amid many offsets" '[[ $out == "$expected" && $status == 0 ]]'
    # The file grows after its size was taken: the new bytes are searched too.
    { head -c 300000 /dev/zero; printf 'Zq'; } >"$work/grows"
    out=$(BYTEHUNT_TEST_RESIZE_AFTER=0 BYTEHUNT_TEST_RESIZE_TO=600000 inject "${program[@]}" 7100 "$work/grows")
    status=$?
    expect "file grows" '[[ $out == "${header}300001 (0x493e1)" && $status == 0 ]]'
    # Interrupted reads are retried, from a file and from a pipe.
    { head -c 300000 /dev/zero; printf 'Zq'; head -c 300000 /dev/zero; printf 'Zq'; } >"$work/two"
    out=$(BYTEHUNT_TEST_INTERRUPT=1 inject "${program[@]}" 5a71 "$work/two")
    expect "interrupted reads of a file" '[[ $out == "${header}300000 (0x493e0)"$'"'"'\n'"'"'"600002 (0x927c2)" ]]'
    out=$(cat "$work/two" | BYTEHUNT_TEST_INTERRUPT=1 inject "${program[@]}" 5a71 /dev/stdin)
    expect "interrupted reads of a pipe" '[[ $out == "${header}300000 (0x493e0)"$'"'"'\n'"'"'"600002 (0x927c2)" ]]'
    # A SIGBUS that no map caused, raised in the program or sent with kill()
    # as another process sends it, is not taken for a shrinking file: it ends
    # the program as it would any other. The file of 20 MB is searched on one
    # thread, and a copy is tried amid its maps. (Builds that never map the
    # file never see it.)
    head -c 20000000 /dev/zero >"$work/z20"
    for sent in "1 many" "2 z20"; do
        read -r how file <<<"$sent"
        BYTEHUNT_TEST_RAISE_BUS=$how inject "${program[@]}" 5a71 "$work/$file" >/dev/null 2>"$work/stderr"
        status=$?
        if grep -q 'raising SIGBUS' "$work/stderr"; then
            expect "SIGBUS from elsewhere, $sent" '[[ $status -gt 128 && $(kill -l $((status - 128))) == BUS ]]'
        fi
    done
    rm -f "$work/z20"
    # No memory for a block buffer, from a file and from a pipe: said as such.
    for input in file pipe; do
        if [[ $input == file ]]; then
            BYTEHUNT_TEST_STARVE_AFTER=0 inject "${program[@]}" 5a71 "$work/two" >"$work/out" 2>"$work/stderr"
        else
            cat "$work/two" | BYTEHUNT_TEST_STARVE_AFTER=0 inject "${program[@]}" 5a71 /dev/stdin \
                >"$work/out" 2>"$work/stderr"
        fi
        status=$?
        expect "no memory for a block, $input" \
            '[[ $status == 2 && ! -s $work/out && $(tr -d "\r" <"$work/stderr") == "Out of memory" ]]'
    done
    # SIGBUS blocked by the parent: a fault in the map of a file cut under
    # it still reaches the handler, and the rest is read on.
    { head -c 300000 /dev/zero; printf 'Zq'; head -c 600000 /dev/zero; printf 'Zq'; head -c 3000000 /dev/zero; } >"$work/cut"
    if type perl >/dev/null 2>&1; then
        out=$(BYTEHUNT_TEST_RESIZE_AFTER=786432 BYTEHUNT_TEST_RESIZE_TO=1000000 perl -MPOSIX -e \
            'sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGBUS)) or die; exec @ARGV or die' \
            env BYTEHUNT_PRELOAD="$BYTEHUNT_FAULT_INJECTION" ASAN_OPTIONS=verify_asan_link_order=0 "${program[@]}" 5a71 "$work/cut")
        status=$?
        expect "file cut under the map, SIGBUS blocked" \
            '[[ $out == "${header}300000 (0x493e0)"$'"'"'\n'"'"'"900002 (0xdbba2)" && $status == 0 ]]'
    fi
    # Threads that run out of memory at each step, after the search began
    # to wait for them: the rest is searched on, every offset reported once.
    for allowed in 0 1 2 3 4 6 8 12; do
        [[ -f $work/zeros ]] || break
        out=$(BYTEHUNT_TEST_STARVE_THREADS=$allowed inject "${program[@]}" "$(printf '%0256d' 0)" "$work/zeros" |
            tr -d '\r' | awk 'NR > 1 && $1 != (NR - 2) * 128 {bad++} END { print NR, bad + 0 }')
        expect "threads out of memory after $allowed allocations" '[[ $out == "65537 0" ]]'
    done
    # No thread can be started: this one searches it all.
    out=$(BYTEHUNT_TEST_NO_THREADS=1 inject "${program[@]}" 0000 "$work/zeros" | tr -d '\r' |
        awk 'NR > 1 && $1 != (NR - 2) * 2 {bad++} END { print NR, bad + 0 }')
    expect "no thread starts" '[[ $out == "4194305 0" ]]'
else
    echo "end-to-end: read faults not injectable here; those checks skipped"
fi

echo "end-to-end: $passed passed, $failed failed"
[[ $failed == 0 ]]
