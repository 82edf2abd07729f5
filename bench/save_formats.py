#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Saving one take of about 1 GiB as FLAC, Ogg Opus and MP3, beside Debian's
own encoders at the same settings on the same take as a WAV.

The take is 16-bit stereo at 44100 Hz, pink noise with a tone in it (about
1.7 hours for 1 GiB), made once by sox. The save is the save's own function
(bench_save_format: the Save button's path without the window, its title
formatted at every step as the Save button's is): it reads the take through
the file channels, encodes it, syncs the file and gives it its name. The
references are `flac -5`, `opusenc --bitrate 96` and `lame -V 2` reading the
take as a WAV; they neither sync nor rename, so each is also timed with a
`sync` of its file after it, the durable work the save does. Each round runs
every format, the save and the tool in turn, the order alternating from
round to round, with `sync` before each run. Medians of wall-clock time and
of CPU time (the process's user and system time, which the machine's other
work does not set), their ratios, the FLAC files' sizes, and each save's
peak resident size against the WAV save's. Everything happens in a
temporary folder of the benchmark's own.

Usage: save_formats.py BENCH_SAVE_FORMAT [ROUNDS [MIB]]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TOOLS = {
    "flac": lambda wav, out: ["flac", "-5", "--silent", "--force", "-o", out, wav],
    "opus": lambda wav, out: ["opusenc", "--quiet", "--bitrate", "96", wav, out],
    "mp3": lambda wav, out: ["lame", "--quiet", "-V", "2", wav, out],
}


def settle():
    subprocess.run(["sync"], check=True)


def timed(command, then_sync=None):
    """Wall-clock seconds (and with the sync of then_sync after it), CPU
    seconds and, for the save, which says it, its peak resident KiB."""
    settle()
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    said = process.stdout.read()
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{command[0]} failed")
    peak = next((int(line.split()[2]) for line in said.splitlines() if line.startswith("peak resident:")), 0)
    synced = seconds
    if then_sync:
        subprocess.run(["sync", then_sync], check=True)
        synced = time.perf_counter() - started
    return seconds, synced, usage.ru_utime + usage.ru_stime, peak


def main():
    program = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    mib = int(sys.argv[3]) if len(sys.argv) > 3 else 1024
    work = tempfile.mkdtemp(prefix="ostrelle-bench-formats.")
    try:
        wav = os.path.join(work, "take.wav")
        take = os.path.join(work, "take.raw")
        seconds = (mib << 20) // (44100 * 4)
        subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth", str(seconds), "pinknoise",
                        "synth", str(seconds), "sine", "mix", "440", "vol", "0.5"], check=True)
        subprocess.run(["sox", wav, "-t", "raw", take], check=True)
        print(f"take: {os.path.getsize(take)} bytes, {seconds} s of 16-bit stereo at 44100 Hz", flush=True)
        ours = {name: [] for name in ["wav", *TOOLS]}
        tools = {name: [] for name in TOOLS}
        sizes = {name: [] for name in ["flac", "tool flac"]}
        for round_number in range(rounds):
            for name in ["wav", *TOOLS]:
                out = os.path.join(work, "saved." + name)
                runs = [("ours", [program, name, take, "2", "16", "44100", out], None)]
                if name in TOOLS:
                    tool_out = os.path.join(work, "tool." + name)
                    runs.append(("tool", TOOLS[name](wav, tool_out), tool_out))
                if round_number % 2:
                    runs.reverse()
                for who, command, then_sync in runs:
                    figures = timed(command, then_sync)
                    (ours if who == "ours" else tools)[name].append(figures)
                    print(f"round {round_number + 1} {name:4} {who}: {figures[0]:.2f} s"
                          + (f" ({figures[1]:.2f} s with sync)" if then_sync else "")
                          + f", CPU {figures[2]:.2f} s" + (f", peak {figures[3] / 1024:.1f} MiB" if figures[3] else ""),
                          flush=True)
                if name == "flac":
                    sizes["flac"].append(os.path.getsize(out))
                    sizes["tool flac"].append(os.path.getsize(os.path.join(work, "tool.flac")))
                for leftover in (out, os.path.join(work, "tool." + name)):
                    if os.path.exists(leftover):
                        os.remove(leftover)

        def median(figures, index):
            return statistics.median(figure[index] for figure in figures)

        wav_peak = median(ours["wav"], 3)
        print(f"WAV save: median {median(ours['wav'], 0):.2f} s, CPU {median(ours['wav'], 2):.2f} s, "
              f"peak {wav_peak / 1024:.1f} MiB")
        for name in TOOLS:
            save, tool = median(ours[name], 0), median(tools[name], 0)
            synced = median(tools[name], 1)
            save_cpu, tool_cpu = median(ours[name], 2), median(tools[name], 2)
            round_ratios = [o[0] / t[0] for o, t in zip(ours[name], tools[name])]
            print(f"{name:4}: save {save:.2f} s, tool {tool:.2f} s ({synced:.2f} s with sync): "
                  f"{save / tool:.3f} × the tool, {save / synced:.3f} × the tool with sync (goal: at most 1.05); "
                  f"round by round, median {statistics.median(round_ratios):.3f}")
            print(f"      CPU: save {save_cpu:.2f} s, tool {tool_cpu:.2f} s: {save_cpu / tool_cpu:.3f} ×")
            print(f"      peak resident {median(ours[name], 3) / 1024:.1f} MiB, "
                  f"{(median(ours[name], 3) - wav_peak) / 1024:+.1f} MiB over the WAV save's (goal: at most +16)")
        ratio = statistics.median(sizes["flac"]) / statistics.median(sizes["tool flac"])
        print(f"FLAC size: {statistics.median(sizes['flac'])} bytes against flac's "
              f"{statistics.median(sizes['tool flac'])}: {ratio:.4f} × (goal: within 1 %)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
