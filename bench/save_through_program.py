#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Saving a take of about 1 GiB through the whole program, beside cp.

Each round starts the real binary under a private Xvfb, records at full
device speed from an ALSA file device fed through a FIFO until
"pelvar.temp" holds the take size, stops, settles the page cache, then
saves. The FIFO then runs dry, so the capture thread sleeps during the
save as it would behind a real device instead of spinning. The time runs from Return
in the save dialog to the "Done!" box. The reference copies the same
"pelvar.temp" with cp and syncs the copy, which is the durable work the
save does (it syncs its file before renaming it into place). Beside them
runs bench_save_loop, the same copy as the save's own design as a bare
loop (two bytes a pass, 4096-byte reads, 4094-byte writes, fsync): the floor
the program is held to. Rounds alternate the save and references; medians and their ratio are printed, with
the growth of the program's peak memory during the save and its final
title. Everything happens in a temporary folder of the benchmark's own.

A take past 4 GiB is saved as RF64; its data is then compared with
"pelvar.temp" byte for byte.

Usage: save_through_program.py OSTRELLE CLOSE_REQUEST SAVE_LOOP [ROUNDS [MIB]]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "program"))
from desktop import Desktop  # noqa: E402
from rig import LAUNCHER  # noqa: E402



def settle():
    subprocess.run(["sync"], check=True)


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def wait_for_size(path, size, process, timeout=300):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if os.path.exists(path) and os.path.getsize(path) >= size:
            return
        if process.poll() is not None:
            raise SystemExit("the recorder ended while recording")
        time.sleep(0.02)
    raise SystemExit("the take never reached its size")


def dismiss_if_shown(desktop, name, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if desktop.find_windows(name):
            desktop.keys("Return")
            return True
        time.sleep(0.05)
    return False


def cpu_seconds(pid):
    """User and system time the process has used so far, all its threads."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def bare_loop(program, folder, take):
    """Wall-clock seconds and the CPU seconds the loop itself used."""
    copy = os.path.join(folder, "loop.wav")
    settle()
    started = time.perf_counter()
    process = subprocess.Popen([program, take, copy])
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"the bare loop exited {process.returncode}")
    os.remove(copy)
    settle()
    return seconds, usage.ru_utime + usage.ru_stime


def reference(folder, take):
    copy = os.path.join(folder, "copy.raw")
    settle()
    started = time.perf_counter()
    subprocess.run(["cp", take, copy], check=True)
    copied = time.perf_counter() - started
    subprocess.run(["sync", copy], check=True)
    synced = time.perf_counter() - started
    os.remove(copy)
    settle()
    return copied, synced


def feed(fifo, take, take_bytes, done):
    """Writes into the device until the take holds its size, or stops growing
    (the recorder ends a take whose device stops delivering for a second,
    which a loaded machine can make this feeder do)."""
    block = bytes(range(256)) * 4096
    held, grown = 0, time.monotonic()
    while not done.is_set():
        os.write(fifo, block)
        size = os.path.getsize(take) if os.path.exists(take) else 0
        if size > held:
            held, grown = size, time.monotonic()
        if size >= take_bytes or (held > 0 and time.monotonic() - grown > 10):
            done.set()


def save_round(desktop, folder, home, take_bytes):
    take = os.path.join(folder, "pelvar.temp")
    # Held open for writing, so the device never sees the end of its input.
    fifo = os.open(os.path.join(home, "device.fifo"), os.O_RDWR)
    desktop.start(folder, home)
    desktop.choose("device", 1)
    desktop.click("accept")
    time.sleep(1)
    desktop.click("record")
    done = threading.Event()
    feeder = threading.Thread(target=feed, args=(fifo, take, take_bytes, done))
    feeder.start()
    feeder.join(timeout=600)
    done.set()
    desktop.click("stop")
    # At full device speed the writer may fall behind; the take is what it is.
    dismiss_if_shown(desktop, "^Error$", 1.5)
    size = os.path.getsize(take)
    settle()
    desktop.click("save")
    desktop.wait_for_window("Select a file")
    desktop.type_text("save")
    settle()
    before = peak_kib(desktop.process.pid)
    cpu_before = cpu_seconds(desktop.process.pid)
    started = time.perf_counter()
    desktop.run("xdotool", "key", "Return")
    while not desktop.find_windows("^Done!$"):
        time.sleep(0.01)
    seconds = time.perf_counter() - started
    cpu = cpu_seconds(desktop.process.pid) - cpu_before
    after = peak_kib(desktop.process.pid)
    title = desktop.run("xdotool", "getwindowname", desktop.window).stdout.rstrip("\n")
    desktop.keys("Return")
    desktop.wait_for_window("All Done!")
    desktop.keys("Return")
    # The end of the input lets the capture thread leave its read and stop.
    os.close(fifo)
    desktop.request_close()
    desktop.finish()
    wav = os.path.join(folder, "save.wav")
    # Data past what a RIFF header can describe goes out as RF64.
    header = 46 if size <= 4294967295 - 38 else 82
    saved = os.path.getsize(wav)
    if saved != size + header:
        raise SystemExit(f"the WAV holds {saved} bytes, not {size + header}")
    if header == 82:
        with open(wav, "rb") as start:
            print(f"RF64 header: {start.read(4)!r}; data compared with pelvar.temp: ", end="", flush=True)
        subprocess.run(["cmp", "-i", f"{header}:0", wav, take], check=True)
        print("identical", flush=True)
    passes = (size + 1) // 2
    expected = f" Wait...Memory Decode : {974 + passes // 1025}"
    os.remove(os.path.join(folder, "save.wav"))
    settle()
    return seconds, cpu, size, after - before, title, expected


def main():
    program, close_request, loop = (os.path.abspath(argument) for argument in sys.argv[1:4])
    rounds = int(sys.argv[4]) if len(sys.argv) > 4 else 5
    take_bytes = (int(sys.argv[5]) if len(sys.argv) > 5 else 1024) << 20
    work = tempfile.mkdtemp(prefix="ostrelle-bench-save.")
    rig = os.path.join(work, "rig")
    home = os.path.join(work, "home")
    folder = os.path.join(work, "take")
    os.makedirs(home)
    os.makedirs(folder)
    try:
        subprocess.run([LAUNCHER, "sound", "start", rig], check=True)
        # A device that hands out what is written into a FIFO, as fast as it is read.
        os.mkfifo(os.path.join(home, "device.fifo"))
        with open(os.path.join(home, ".asoundrc"), "w") as config:
            config.write('pcm.ostrelle_fast {\n type file\n slave.pcm "null"\n file "/dev/null"\n'
                         f' infile "{home}/device.fifo"\n format "raw"\n}}\n')
        copies, references, saves, growths, loops = [], [], [], [], []
        save_cpus, loop_cpus, pair_ratios, cpu_ratios = [], [], [], []
        with Desktop(program, close_request, rig) as desktop:
            for round_number in range(rounds):
                seconds, save_cpu, size, growth, title, expected = save_round(desktop, folder, home, take_bytes)
                take = os.path.join(folder, "pelvar.temp")
                looped, loop_cpu = bare_loop(loop, folder, take)
                loops.append(looped)
                save_cpus.append(save_cpu)
                loop_cpus.append(loop_cpu)
                pair_ratios.append(seconds / looped)
                cpu_ratios.append(save_cpu / loop_cpu)
                copied, synced = reference(folder, take)
                copies.append(copied)
                references.append(synced)
                saves.append(seconds)
                growths.append(growth / 1024)
                print(f"round {round_number + 1}: take {size} bytes; save {seconds:.2f} s; cp {copied:.2f} s; "
                      f"cp + sync {synced:.2f} s; bare loop {looped:.2f} s; CPU: save {save_cpu:.2f} s, bare loop {loop_cpu:.2f} s; peak memory +{growth / 1024:.1f} MiB; title {title!r}"
                      + ("" if title == expected else f" (expected {expected!r})"), flush=True)
                os.remove(take)
        save_median = statistics.median(saves)
        reference_median = statistics.median(references)
        print(f"median save            {save_median:.2f} s")
        print(f"median cp + sync       {reference_median:.2f} s")
        print(f"median cp              {statistics.median(copies):.2f} s")
        print(f"median bare loop       {statistics.median(loops):.2f} s")
        print(f"save / bare loop       {save_median / statistics.median(loops):.2f} (goal: at most 1.3); "
              f"round by round, median {statistics.median(pair_ratios):.2f}")
        # The machine sets the wall clock (other work, the disk); the CPU
        # time the two copies use is what the code controls.
        print(f"CPU: save / bare loop  {statistics.median(save_cpus) / statistics.median(loop_cpus):.2f}; "
              f"round by round, median {statistics.median(cpu_ratios):.2f} "
              f"(medians {statistics.median(save_cpus):.2f} s and {statistics.median(loop_cpus):.2f} s, "
              "the program's every thread against the loop's)")
        print(f"save / (cp + sync)     {save_median / reference_median:.2f} (goal: at most 4)")
        print(f"save / cp              {save_median / statistics.median(copies):.2f}")
        print(f"peak memory growth     median {statistics.median(growths):.1f} MiB, most {max(growths):.1f} MiB (goal: under 10)")
    finally:
        subprocess.run([LAUNCHER, "stop", rig])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
