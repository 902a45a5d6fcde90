#!/bin/bash
# Benchmark: a 64 KiB raw image and the same image as Intel HEX with 16-byte records,
# each programmed by zuva-flash into zuva-devsim running in real time (115200 8E1 on its
# wire, datasheet programming and erase times), and its first 4 KiB at 1200 baud, the
# slowest rate (about 40 s). Prints figures only; nothing is asserted.
#
#   wall       the zuva-flash process from start to exit
#   cpu        its user + system time, and that as a share of wall
#   limit      what the wire and the device need at the least: every byte both ways at
#              11 bits and the run's rate (115200 unless --baud), the half-words programmed, the erases, the option
#              byte rewrites and start-ups after resets, and the 100 ms pause of each sync
#   ratio      wall / limit
#   client     the host's own time: from each last answer byte of the device to the host's
#              next byte on the wire, summed over the run, less the 100 ms sync pauses
#              (from the simulator's transcript timestamps), and its share of wall; this
#              includes both processes' wake-ups and the pty's hand-over each way
#   inside     the same gaps measured inside zuva-flash (preloaded client_gaps.so, in a
#              run of its own): from the read that brought the answer to the next write,
#              less sleeps; and where the rest of each gap goes: host write to simulator
#              read, and an answer's due time to the client's read
#
# Then the same .bin over rfc2217:// through a real ser2net on loopback (chardelay off, as
# a board server for this tool should be set up), and its wall time against the pty run's.
#
# Usage: bench/bench_flash.sh [BUILD_DIR]   (default: build/linux)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/devsim/wait-pty.sh"
build=${1:-$root/build/linux}
flash=$build/cli/zuva-flash
devsim=$build/tools/devsim/zuva-devsim
gaps_module=$build/bench/zuva_client_gaps.so
work=$(mktemp -d "${TMPDIR:-/tmp}/zuva-bench.XXXXXX")
sim_pid=
. "$root/tests/e2e/ser2net.sh"
fail() { echo "$*" >&2; exit 1; }
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; s2n_stop_all; rm -rf "$work"' EXIT
# How the runs reach the simulator: its pty, or rfc2217 through ser2net.
port_via=pty

# The images: 64 KiB of noise, and its Intel HEX form with 16-byte records at 0x08000000.
head -c 65536 /dev/urandom >"$work/fw.bin"
od -An -v -tx1 -w16 "$work/fw.bin" | awk '
    function hex(t) { return (index(d, substr(t, 1, 1)) - 1) * 16 + index(d, substr(t, 2, 1)) - 1 }
    BEGIN { d = "0123456789abcdef"; print ":020000040800F2" }
    {
        n = NF; sum = n + int(addr / 256) + addr % 256
        line = sprintf(":%02X%04X00", n, addr)
        for (i = 1; i <= n; i++) { v = hex($i); sum += v; line = line toupper($i) }
        printf "%s%02X\n", line, (256 - sum % 256) % 256
        addr += n
    }
    END { print ":00000001FF" }' >"$work/fw.hex"
head -c 4096 "$work/fw.bin" >"$work/fw4k.bin"

# Figures from one transcript: bytes each way, client gaps and the syncs among them.
analyse() { # transcript
    awk -v bt="$byte_ms" '
        $3 == "D>H" || $3 == "H>D" {
            line = $0
            sub(/^ *[0-9.]+ ms (H>D|D>H) /, "", line)
            split(line, parts, "  ")
            n = split(parts[1], bytes, " ")
            if ($3 == "D>H") { out += n; answered = $1; pending = 1; next }
            in_ += n
            if (pending) {
                gap = ($1 - n * bt) - answered
                gaps += gap; count++
                if (parts[2] == "sync") syncs++
                else if (gap > worst) worst = gap
                pending = 0
            }
        }
        END { printf "%d %d %.3f %d %d %.3f\n", in_, out, gaps, count, syncs, worst }' "$1"
}

# Where the rest of each gap goes, from the client's own log of its reads and writes set
# against the transcript (the two clocks differ by an offset: taken as the smallest
# write-to-arrival difference, so the figures are above the fastest one-way trip):
# "in" = client write to the simulator taking the bytes, "out" = an answer's due time to
# the client's read returning it. Means in microseconds.
delivery() { # client_log transcript
    awk -v bt="$byte_ms" '
        FNR == NR { kind[NR] = $1; at[NR] = $2 / 1000; size[NR] = $3; events = NR; next }
        $3 == "D>H" || $3 == "H>D" {
            line = $0
            sub(/^ *[0-9.]+ ms (H>D|D>H) /, "", line)
            split(line, parts, "  ")
            n = split(parts[1], bytes, " ")
            if ($3 == "H>D") {
                while (wi < events && kind[wi + 1] != "W") wi++
                first = at[wi + 1]
                for (need = n; need > 0 && wi < events;) { wi++; if (kind[wi] == "W") need -= size[wi] }
                ins[++nin] = ($1 - n * bt) - first
                if (nin == 1 || ins[nin] < off) off = ins[nin]
            } else {
                for (need = n; need > 0 && ri < events;) {
                    ri++
                    if (kind[ri] == "R") { need -= size[ri]; last = at[ri] }
                }
                outs[++nout] = last - $1
            }
        }
        END {
            for (i = 1; i <= nin; i++) sumIn += ins[i] - off
            for (i = 1; i <= nout; i++) sumOut += outs[i] + off
            printf "%.1f %.1f\n", sumIn * 1000 / nin, sumOut * 1000 / nout
        }' "$1" "$2"
}

# Options of the run in hand (--verify, --baud N): words for zuva-flash, and the byte
# time on the wire in ms that the figures use.
run_options=()
byte_ms=0.095486

# flash_once IMAGE TRANSCRIPT [PRELOAD]: one run against a fresh real-time simulator;
# sets wall (us), cpu ("user sys" in s) and summary.
flash_once() {
    local name=$1 transcript=$2 preload=${3:-} pty t0 t1
    "$devsim" --timing --once --transcript "$transcript" >"$work/devsim.out" &
    sim_pid=$!
    pty=$(devsim_wait_pty "$work/devsim.out") || { echo "zuva-devsim did not come up" >&2; exit 1; }
    local port=$pty
    if [ "$port_via" = rfc2217 ]; then
        s2n_start bench "$pty"
        port=${rfc2217[0]}
    fi
    local TIMEFORMAT='%3U %3S'
    t0=$(date +%s%N)
    { time ZUVA_GAPS_OUT="$work/gaps.txt" ZUVA_GAPS_LOG="$work/events.txt" LD_PRELOAD=$preload \
        "$flash" --port "$port" "${run_options[@]}" "$work/$name" >"$work/flash.out" 2>&1; } 2>"$work/time.txt"
    t1=$(date +%s%N)
    [ "$port_via" = pty ] || s2n_stop "$s2n_pid"
    wait "$sim_pid" || true
    sim_pid=
    [ "$(tail -1 "$work/flash.out")" = "Finished OK" ] || { cat "$work/flash.out"; exit 1; }
    wall=$(((t1 - t0) / 1000))
    cpu=$(awk '{ printf "%.3f %.3f", $1, $2 }' "$work/time.txt")
    summary=$(tail -1 "$work/devsim.out")
}

run_one() { # image [zuva-flash options]
    local name=$1
    run_options=("${@:2}")
    byte_ms=0.095486
    if [ "${run_options[0]:-}" = --baud ]; then
        byte_ms=$(awk -v baud="${run_options[1]}" 'BEGIN { printf "%.6f", 11000 / baud }')
    fi
    rm -f "$work/gaps.txt" "$work/events.txt"
    # The client's own gaps come from a second run with the measuring module preloaded:
    # it costs CPU of its own, so the figures above come from a plain run.
    if [ -f "$gaps_module" ] && [ "$port_via" = pty ]; then
        flash_once "$name" "$work/t-inside.txt" "$gaps_module"
    fi
    flash_once "$name" "$work/t.txt"
    report "$name${run_options[*]:+ ${run_options[*]}}" "$wall" "$cpu" "$(analyse "$work/t.txt")" "$summary"
}

report() { # name wall_us "user_s sys_s" analysis summary
    local name=$1 wall_us=$2 cpu=$3 analysis=$4 summary=$5
    read -r in_ out gaps count syncs worst <<<"$analysis"
    awk -v name="$name" -v bt="$byte_ms" -v wall=$((wall_us)) -v times="$cpu" -v in_="$in_" -v out="$out" \
        -v gaps="$gaps" -v count="$count" -v syncs="$syncs" -v worst="$worst" -v s="$summary" \
        -v inside="$(cat "$work/gaps.txt" 2>/dev/null)" \
        -v delivery="$([ -s "$work/events.txt" ] && delivery "$work/events.txt" "$work/t-inside.txt")" '
    function field(pattern,   t) { t = s; sub(".*" pattern, "", t); return t + 0 }
    BEGIN {
        wallms = wall / 1000
        split(times, ut, " "); cpu = ut[1] + ut[2]
        bytes = field("blocks written: [0-9]+ [(]"); erases = field("erases: ")
        resets = field("resets: "); allsyncs = field("syncs: ")
        wire = (in_ + out) * bt
        device = bytes / 2 * 0.0525 + erases * 30 + resets * (31 + 1.2)
        pauses = allsyncs * 100
        limit = wire + device + pauses
        client = gaps - syncs * 100
        printf "%-7s wall %8.1f ms  cpu %6.1f ms (%.2f%%; user %.0f, sys %.0f)  limit %8.1f ms (wire %.1f, device %.1f, pauses %.0f)  ratio %.3f\n",
            name, wallms, cpu * 1000, cpu * 100000 / wallms, ut[1] * 1000, ut[2] * 1000, limit, wire, device, pauses, wallms / limit
        printf "        client %7.1f ms (%.2f%% of wall) over %d answers, worst gap %.3f ms; %d bytes out, %d in\n",
            client, client * 100 / wallms, count, worst, in_, out
        if (inside != "") {
            split(inside, g, " ")
            printf "        inside the client: %.1f ms (%.3f%% of wall) over %d answers, worst %.3f ms\n",
                g[2] / 1000, g[2] / 10 / wallms, g[1], g[3] / 1000
        }
        if (delivery != "") {
            split(delivery, d, " ")
            printf "        the rest: host write to simulator read %.1f us, answer due to client read %.1f us (means)\n",
                d[1], d[2]
        }
    }'
}

echo "zuva-flash against zuva-devsim --timing: 64 KiB images"
run_one fw.bin
pty_wall=$wall
run_one fw.hex
run_one fw.bin --verify
run_one fw.bin --baud 57600
run_one fw4k.bin --baud 1200
if command -v ser2net >/dev/null; then
    echo "the same over rfc2217:// through ser2net on 127.0.0.1 (chardelay off):"
    port_via=rfc2217
    run_one fw.bin
    port_via=pty
    awk -v net="$wall" -v pty="$pty_wall" \
        'BEGIN { printf "rfc2217 against the pty: %.1f ms against %.1f ms, %+.2f%%\n", net / 1000, pty / 1000, (net - pty) * 100 / pty }'
fi
if [ -x "$build/bench/zuva_pty_rtt" ]; then
    read -r median mean < <("$build/bench/zuva_pty_rtt")
    echo "pty round trip between two processes (the floor under each answer's gap):" \
        "median $median us, mean $mean us; load average $(cut -d' ' -f1-3 /proc/loadavg)"
fi
