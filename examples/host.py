#!/usr/bin/env python3
"""A small host for tesmar-recorder, to copy and adapt (standard library only).

It lists the displays and windows, records the one you choose, shows a live
status line (state, elapsed time, output size), and maps keys to commands:

    Ctrl-C  stop          p  pause / resume          c  cancel

When it is over it runs tesmar-inspect on the recording. The protocol it
speaks is described in docs/protocol.md.

    examples/host.py                       # choose from a list
    examples/host.py --window 0x1400007 --seconds 10 --system-audio
    examples/host.py --display 1 --output ~/rec --preview ~/rec.png

With standard input not a terminal (a script, a test), the keys are read as
lines ("p", "c") and without a choice the primary display is recorded.
"""

import argparse
import json
import os
import queue
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

FINAL_EVENTS = ("stopped", "cancelled", "error")


def find_program(name, given):
    """The program to run: the one given, the one beside this script's build, or PATH."""
    if given:
        return given
    here = os.path.dirname(os.path.abspath(__file__))
    built = os.path.join(here, os.pardir, "build", name)
    if os.access(built, os.X_OK):
        return os.path.normpath(built)
    return shutil.which(name) or name


def list_content(agent):
    """The `list` document: displays, windows, microphones, applications."""
    done = subprocess.run([agent, "list"], capture_output=True, text=True, timeout=30)
    document = json.loads(done.stdout)
    if "error" in document:
        print("cannot list the screen: %s" % document["error"], file=sys.stderr)
    return document


def describe_frame(frame):
    return "%d×%d at %d,%d" % (frame["width"], frame["height"], frame["x"], frame["y"])


def choose_target(content, options, interactive):
    """The part of the configuration that says what to record."""
    if options.window is not None:
        return {"mode": "window", "windowId": int(options.window, 0)}
    if options.area:
        x, y, width, height = (float(v) for v in options.area.split(","))
        target = {"mode": "area", "area": {"x": x, "y": y, "width": width, "height": height}}
        if options.display is not None:
            target["displayId"] = options.display
        return target
    if options.display is not None:
        return {"mode": "screen", "displayId": options.display}
    choices = [("display", d) for d in content.get("displays", [])]
    choices += [("window", w) for w in content.get("windows", [])]
    for number, (kind, item) in enumerate(choices, 1):
        if kind == "display":
            print("%2d. display %s: %s (%s)" % (number, item["id"], item["name"], describe_frame(item["frame"])))
        else:
            print("%2d. window  %s: %s (%s)" % (number, item["id"], item["title"] or item["app"],
                                               describe_frame(item["frame"])))
    if not interactive or not choices:
        return {"mode": "screen"}
    while True:
        answer = input("record which? [1] ").strip() or "1"
        if answer.isdigit() and 1 <= int(answer) <= len(choices):
            kind, item = choices[int(answer) - 1]
            if kind == "display":
                return {"mode": "screen", "displayId": item["id"]}
            return {"mode": "window", "windowId": item["id"]}


def folder_size(path):
    total = 0
    for root, _, files in os.walk(path):
        for name in files:
            try:
                total += os.path.getsize(os.path.join(root, name))
            except OSError:
                pass  # a file the agent is replacing right now
    return total


def human_size(count):
    for unit in ("B", "kB", "MB", "GB"):
        if count < 1000 or unit == "GB":
            return ("%d %s" if unit == "B" else "%.1f %s") % (count, unit)
        count /= 1000.0


class Agent:
    """The recorder child process: lines in, events out (read on a thread)."""

    def __init__(self, program, config):
        # A session of its own: Ctrl-C in the terminal must reach this host
        # only, which turns it into "stop"; the agent would die of SIGINT.
        self.process = subprocess.Popen([program, "record"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, bufsize=1, start_new_session=True)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.send(json.dumps(config))

    def _read(self):
        for line in self.process.stdout:
            try:
                self.events.put(json.loads(line))
            except ValueError:
                self.events.put({"event": "garbled", "line": line.rstrip("\n")})
        self.events.put(None)  # end of output

    def send(self, line):
        try:
            self.process.stdin.write(line + "\n")
            self.process.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass  # the agent has ended; its events tell why


class Keys:
    """Single key presses from a terminal, or lines from a pipe."""

    def __init__(self):
        self.tty = sys.stdin.isatty()
        self.saved = None
        self.open = True
        if self.tty:
            import termios
            import tty
            self.saved = termios.tcgetattr(sys.stdin)
            tty.setcbreak(sys.stdin.fileno())  # keys at once; Ctrl-C still signals

    def restore(self):
        if self.saved is not None:
            import termios
            termios.tcsetattr(sys.stdin, termios.TCSADRAIN, self.saved)
            self.saved = None

    def poll(self, timeout):
        """The keys typed within `timeout` seconds."""
        if not self.open:
            time.sleep(timeout)
            return ""
        ready, _, _ = select.select([sys.stdin], [], [], timeout)
        if not ready:
            return ""
        data = os.read(sys.stdin.fileno(), 64).decode(errors="replace")
        if data == "":
            self.open = False  # a pipe closed: no more keys
        return data.replace("\n", "")


class Status:
    """The one status line, redrawn in place on a terminal."""

    def __init__(self):
        self.live = sys.stdout.isatty()
        self.last = ""

    def show(self, text):
        if self.live:
            sys.stdout.write("\r\033[K" + text)
            sys.stdout.flush()
        self.last = text

    def say(self, text):
        """A line of its own above the status line."""
        if self.live:
            sys.stdout.write("\r\033[K")
        print(text, flush=True)
        if self.live and self.last:
            self.show(self.last)


def run_recording(options, config, agent_program):
    """Records until the final event; returns (final event or None, exit status)."""
    agent = Agent(agent_program, config)
    keys = Keys()
    status = Status()
    interrupted = []
    signal.signal(signal.SIGINT, lambda *_: interrupted.append(True))
    state, started_ms, paused_at, paused_total, final = "starting", None, None, 0.0, None
    deadline = time.monotonic() + options.seconds if options.seconds else None
    stop_sent = False
    try:
        while final is None:
            # Commands: Ctrl-C, the keys, the time limit.
            for key in keys.poll(0.25):
                if key == "p" and state in ("recording", "paused"):
                    agent.send("resume" if state == "paused" else "pause")
                elif key == "c":
                    agent.send("cancel")
                elif key == "s":
                    interrupted.append(True)
            if (interrupted or (deadline and time.monotonic() >= deadline)) and not stop_sent:
                agent.send("stop")
                stop_sent = True
                state = "stopping"
            # Events.
            while final is None:
                try:
                    event = agent.events.get_nowait()
                except queue.Empty:
                    break
                if event is None:
                    final = {"event": "ended"}  # output closed without a final event: the agent died
                    break
                name = event.get("event")
                if name == "started":
                    state, started_ms = "recording", event["startedAtUnixMs"]
                    status.say("started: %d×%d pixels, scale %s" % (event["width"], event["height"], event["scale"]))
                elif name == "paused":
                    state, paused_at = "paused", time.time()
                    status.say("paused")
                elif name == "resumed":
                    state, paused_total = "recording", paused_total + time.time() - paused_at
                    paused_at = None
                    status.say("resumed")
                elif name == "warning":
                    status.say("warning: %s%s" % (event["message"],
                                                  " (%s)" % event["code"] if "code" in event else ""))
                elif name in FINAL_EVENTS:
                    final = event
                else:
                    status.say("unexpected line from the agent: %s" % event)
            # The status line.
            elapsed = 0.0
            if started_ms is not None:
                now = paused_at if paused_at is not None else time.time()
                elapsed = max(0.0, now - started_ms / 1000.0 - paused_total)
            status.show("%-9s %6.1f s  %9s   [Ctrl-C stop, p pause/resume, c cancel]"
                        % (state, elapsed, human_size(folder_size(config["outputDir"]))))
    finally:
        keys.restore()
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        if status.live:
            print()
    try:
        code = agent.process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        agent.process.kill()
        code = agent.process.wait()
    return final, code


def report(final, code):
    """Says how the recording ended; returns whether there is a recording to inspect."""
    name = final.get("event")
    if name == "stopped":
        metadata = final["metadata"]
        print("stopped (%s): %.1f s, %d×%d, %d frames%s%s" % (
            final["reason"], metadata["durationMs"] / 1000, metadata["width"], metadata["height"],
            metadata["frames"], ", system audio" if metadata["hasSystemAudio"] else "",
            ", microphone" if metadata["hasMicrophone"] else ""))
        if not metadata.get("finished", True):
            print("  a media file could not be completed")
    elif name == "cancelled":
        print("cancelled: the recording's files were removed")
    elif name == "error":
        print("could not record: %s (%s)" % (final["message"], final["code"]))
    else:
        print("the agent ended without a final event (exit status %s): what it wrote may be cut short" % code)
    expected = {"stopped": 0, "cancelled": 0, "error": 1}.get(name)
    if expected is not None and code != expected:
        print("unexpected exit status %s after %s" % (code, name))
    return name in ("stopped", "ended")


def main():
    sys.stdout.reconfigure(line_buffering=True)  # each line as it comes, also into a pipe
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    target = parser.add_mutually_exclusive_group()
    target.add_argument("--window", help="a window id from the list (decimal or 0x…)")
    target.add_argument("--area", help="x,y,width,height in points")
    parser.add_argument("--display", type=int, help="a display id from the list")
    parser.add_argument("--system-audio", action="store_true")
    parser.add_argument("--microphone", action="store_true")
    parser.add_argument("--seconds", type=float, help="stop after this long")
    parser.add_argument("--output", help="the recording's folder (default: a new one under /tmp)")
    parser.add_argument("--preview", help="also draw the recording's preview into this PNG")
    parser.add_argument("--agent", help="the tesmar-recorder program")
    parser.add_argument("--inspect", help="the tesmar-inspect program")
    options = parser.parse_args()

    agent = find_program("tesmar-recorder", options.agent)
    inspector = find_program("tesmar-inspect", options.inspect)
    content = list_content(agent)
    config = choose_target(content, options, sys.stdin.isatty())
    config["outputDir"] = os.path.abspath(os.path.expanduser(
        options.output or os.path.join(tempfile.mkdtemp(prefix="tesmar-"), "recording")))
    config["systemAudio"] = options.system_audio
    config["microphone"] = options.microphone
    print("recording into %s" % config["outputDir"])

    final, code = run_recording(options, config, agent)
    if not report(final, code):
        return 1 if final.get("event") == "error" else 0
    command = [inspector, config["outputDir"]] + (["--preview", options.preview] if options.preview else [])
    checked = subprocess.run(command)
    if options.preview and checked.returncode in (0, 1):
        print("preview: %s" % options.preview)
    return checked.returncode


if __name__ == "__main__":
    sys.exit(main())
