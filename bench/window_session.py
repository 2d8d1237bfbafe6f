#!/usr/bin/env python3
"""Starts and ends the real windows that window_encrypt.sh presses Encrypt in.

  window_session.py start FOLDER PROGRAM INPUT OUTPUT KEY
  window_session.py stop STATE

start runs Xvfb and PROGRAM with INPUT as its FILE, waits for the page, types OUTPUT and KEY into
the page with the keyboard, leaves the focus on Encrypt and writes FOLDER/vars (shell variables:
the display, the window, the process and the values typed). stop ends every window and display
whose vars lie in a folder under STATE.
"""

import os
import shlex
import signal
import subprocess
import sys
import time

TIMEOUT = 120  # seconds for the page to show


def xdotool(display, *args):
    return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display),
                          capture_output=True, text=True, check=True).stdout


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except OSError:
        return False


def end(pid):
    """Ends the process group that pid leads."""
    if not alive(pid):
        return
    os.killpg(pid, signal.SIGTERM)
    deadline = time.monotonic() + 10
    while alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    if alive(pid):
        os.killpg(pid, signal.SIGKILL)


def read_vars(path):
    values = {}
    for line in open(path):
        name, _, value = line.strip().partition("=")
        values[name] = shlex.split(value)[0] if value else ""
    return values


def stop(state):
    for name in os.listdir(state):
        path = os.path.join(state, name, "vars")
        if os.path.exists(path):
            values = read_vars(path)
            for pid in (values.get("PROGRAM_PID"), values.get("XVFB_PID")):
                if pid:
                    end(int(pid))
            os.remove(path)


def start(folder, program, input_path, output, key):
    runtime = os.path.join(folder, "runtime")  # a desktop session has one
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    # -noreset: a server that resets when its last client leaves drops one that connects meanwhile.
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-noreset", "-screen",
                             "0", "1024x768x24", "-dpi", "96"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    display = ":" + xvfb.stdout.readline().decode().strip()
    errors = os.path.join(folder, "stderr")
    environment = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb",
                       XDG_RUNTIME_DIR=runtime, VYX_DIAGNOSTICS="1")
    with open(errors, "wb") as sink:
        window = subprocess.Popen([program, input_path], env=environment,
                                  stdout=subprocess.DEVNULL, stderr=sink, start_new_session=True)
    try:
        deadline = time.monotonic() + TIMEOUT
        while b"page shown" not in open(errors, "rb").read():
            if time.monotonic() > deadline or window.poll() is not None:
                raise SystemExit("window_session: the page did not show")
            time.sleep(0.05)
        found = xdotool(display, "search", "--sync", "--onlyvisible", "--name",
                        "^VYX Encryption$").split()[0]
        xdotool(display, "windowfocus", "--sync", found)
        # Tab order: the six buttons, the input path, the output path, the key.
        xdotool(display, "key", "--delay", "0", *["Tab"] * 8, "ctrl+a")
        xdotool(display, "type", "--delay", "0", output)
        xdotool(display, "key", "--delay", "0", "Tab", "ctrl+a")
        xdotool(display, "type", "--delay", "0", key)
        # Back over the input path, Exit and Decrypt to Encrypt.
        xdotool(display, "key", "--delay", "0", *["shift+Tab"] * 5)
    except BaseException:
        end(window.pid)
        end(xvfb.pid)
        raise
    values = dict(DISPLAY=display, WINDOW=found, PROGRAM_PID=window.pid, XVFB_PID=xvfb.pid,
                  INPUT=input_path, OUTPUT=output, KEY=key)
    with open(os.path.join(folder, "vars"), "w") as sink:
        for name, value in values.items():
            sink.write("%s=%s\n" % (name, shlex.quote(str(value))))


def main():
    if len(sys.argv) == 7 and sys.argv[1] == "start":
        start(*sys.argv[2:])
    elif len(sys.argv) == 3 and sys.argv[1] == "stop":
        stop(sys.argv[2])
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main())
