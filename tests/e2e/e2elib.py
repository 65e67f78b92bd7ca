"""What every end-to-end test of Ferrin1 needs, on real processes.

A private network of network namespaces (scripts/testnet.sh), an X server of
its own (Xvfb), the directory server (pyftpdlib in ferrin-dir), program
folders laid out as `cmake --install` makes them, and the pointer and keys of
a user (xdotool).

Run as a script inside a namespace, this file is also the small client the
tests use to talk to a copy's listeners from another host:

    e2elib.py ask HOST TEXT [--until S]      search HOST on port 1050
    e2elib.py fetch HOST ENTRY [--until S]   download ENTRY from HOST on 1100
    e2elib.py knock HOST PORT MODE [--hold S]
        MODE silent: connect, send nothing, wait for the far side to close
        MODE close:  connect and close at once
        MODE reset:  connect and abort the connection at once (RST)

Each prints one JSON line with what happened ("knock silent" prints a
"connected" line first, so that the caller knows when to go on).
"""

import argparse
import hashlib
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import traceback

SKIP = 77
DIRECTORY = "10.231.0.1"
SEARCH_PORT = 1050
TRANSFER_PORT = 1100
WAIT = 20.0  # seconds any one step may take before a test gives up
SEPARATOR = "\u00a7"

# Where things are on screen, in pixels at 96 dpi, relative to the window.
CONNECT_LABEL = (371, 128)
MENU_FILE = (20, 8)
MENU_WINDOW = (65, 8)
SEARCH_TEXT = (100, 91)
SEARCH_BUTTON = (284, 91)
FIRST_RESULT = (60, 114)
RESULT_ROW = 13
# Where each peer's main window goes, so that no two overlap.
SLOTS = {1: (700, 0), 2: (700, 450), 3: (0, 450), 5: (0, 0)}


def peer_address(n):
    return f"10.231.0.1{n}"


def record(address):
    """One record of IP.txt as a copy writes it at start-up."""
    return b'"%s"\r\n0\r\n' % address.encode()


def entry(address, name):
    """A result entry as the search window lists it."""
    return f"{address}{SEPARATOR}{name}"


class Session:
    """One test's network, display, directory server and program copies.

    Every process it starts is ended by close(), whatever happened before.
    """

    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.procs = []
        self.display = None
        self.directory = None
        self.env = dict(os.environ)

    # --- plumbing ---------------------------------------------------------

    def run(self, *cmd, check=True, capture=True, timeout=None):
        return subprocess.run(cmd, check=check, text=True, timeout=timeout,
                              stdout=subprocess.PIPE if capture else None,
                              stderr=subprocess.STDOUT if capture else None,
                              env=self.env)

    def spawn(self, *cmd, log):
        proc = subprocess.Popen(cmd, stdout=open(log, "wb"), stderr=subprocess.STDOUT, env=self.env)
        self.procs.append(proc)
        return proc

    def netns(self, ns, *cmd):
        return [self.args.testnet, "exec", ns, *cmd]

    def wait_for(self, what, predicate, timeout=WAIT, step=0.1):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = predicate()
            if value:
                return value
            time.sleep(step)
        raise AssertionError(f"timed out waiting for {what}")

    def xdo(self, *args):
        return self.run("xdotool", *args).stdout.strip()

    def windows(self, pid):
        out = self.run("xdotool", "search", "--all", "--onlyvisible", "--pid", str(pid), "--name", "^Ferrin$",
                       check=False).stdout.split()
        return out

    def click(self, window, at, repeat=1):
        # Arrive from elsewhere, so the window sees the pointer enter.
        self.xdo("mousemove", "1279", "1023")
        time.sleep(0.05)
        self.xdo("mousemove", "--window", window, str(at[0]), str(at[1]))
        time.sleep(0.15)
        self.xdo("click", "--repeat", str(repeat), "--delay", "80", "1")
        time.sleep(0.2)

    def menu(self, window, title, downs):
        self.click(window, title)
        for _ in range(downs):
            self.xdo("key", "Down")
        self.xdo("key", "Return")
        time.sleep(0.3)

    def directory_path(self):
        return os.path.join(self.work, "ftp", "IP.txt")

    def directory_file(self):
        with open(self.directory_path(), "rb") as f:
            return f.read()

    def write_directory(self, data):
        """Puts the central file in place by hand, as another copy could have."""
        with open(self.directory_path(), "wb") as f:
            f.write(data)

    # --- set-up -----------------------------------------------------------

    def start_network(self, peers=3):
        result = self.run(self.args.testnet, "up", str(peers), check=False)
        if result.returncode != 0:
            print("cannot make network namespaces here:", result.stdout)
            sys.exit(SKIP)

    def start_display(self):
        # After start_network: the display is tried from inside a namespace.
        # A display of its own with a lock file: an X server started meanwhile
        # by someone else then keeps off it, instead of replacing its socket
        # file (which the copies in the namespaces need: the abstract socket
        # is per network namespace). Xvfb clears locks of dead servers itself.
        for number in range(100, 200):
            if _held(f"/tmp/.X{number}-lock"):
                continue
            xvfb = self.spawn("Xvfb", f":{number}", "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                              log=os.path.join(self.work, "xvfb.log"))
            self.display = f":{number}"
            self.env["DISPLAY"] = self.display
            self.wait_for("the X server", lambda: xvfb.poll() is not None
                          or self.run(*self.netns("ferrin-dir", "xdpyinfo"), check=False).returncode == 0)
            if xvfb.poll() is None:
                return
            # Another server took this display first.
            self.procs.remove(xvfb)
        raise AssertionError("no free X display")

    def start_directory(self):
        home = os.path.join(self.work, "ftp")
        if not os.path.isdir(home):  # a server started again keeps its file
            os.makedirs(home)
            open(os.path.join(home, "IP.txt"), "wb").close()
        self.directory = self.spawn(*self.netns("ferrin-dir", "/usr/bin/python3", "-m", "pyftpdlib", "-i", DIRECTORY,
                                                "-p", "2121", "-w", "-d", home, "-u", "Ferrin_1", "-P", "Vantor"),
                                    log=os.path.join(self.work, "ftp.log"))
        time.sleep(1.0)

    def stop_directory(self):
        self.directory.kill()
        self.directory.wait(timeout=5)
        self.directory = None

    def program_folder(self, n, files, local_directory=None):
        folder = os.path.join(self.work, f"peer{n}")
        os.makedirs(os.path.join(folder, "Shared"))
        os.makedirs(os.path.join(folder, "Downloads"))
        shutil.copy(self.args.program, os.path.join(folder, "Ferrin1"))
        shutil.copy(self.args.ambrel, os.path.join(folder, "libAmbrel.so"))
        for name, data in files.items():
            with open(os.path.join(folder, "Shared", name), "wb") as f:
                f.write(data)
        if local_directory is not None:
            with open(os.path.join(folder, "IP.txt"), "wb") as f:
                f.write(local_directory)
        return folder

    def launch(self, n, folder):
        """Starts copy n and clicks Connect; returns it and its start-up window."""
        proc = self.spawn(*self.netns(f"ferrin-p{n}", os.path.join(folder, "Ferrin1")),
                          log=os.path.join(self.work, f"peer{n}.log"))
        splash = self.wait_for(f"peer {n}'s start-up window", lambda: self.windows(proc.pid))[0]
        self.click(splash, CONNECT_LABEL)
        return proc, splash

    def main_window(self, n, proc, splash):
        main = self.wait_for(f"peer {n}'s main window",
                             lambda: [w for w in self.windows(proc.pid) if w != splash])[0]
        self.xdo("windowmove", main, str(SLOTS[n][0]), str(SLOTS[n][1]))
        time.sleep(0.3)
        return main

    def start_peer(self, n, folder, records_before):
        """Starts copy n, waits for its registration and its main window."""
        proc, splash = self.launch(n, folder)
        self.wait_for(f"peer {n}'s registration",
                      lambda: self.directory_file().count(b"\r\n") >= 2 * (records_before + 1))
        return proc, self.main_window(n, proc, splash)

    # --- what a user does -------------------------------------------------

    def open_search(self, main):
        self.menu(main, MENU_WINDOW, 2)

    def search(self, main, text):
        self.click(main, SEARCH_TEXT)
        self.xdo("key", "ctrl+a")
        self.xdo("type", text)
        self.click(main, SEARCH_BUTTON)
        time.sleep(1.0)

    def download(self, folder, main, row, entry):
        self.click(main, (FIRST_RESULT[0], FIRST_RESULT[1] + row * RESULT_ROW), repeat=2)
        path = os.path.join(folder, "Downloads", entry)
        return path

    def exit(self, main):
        self.menu(main, MENU_FILE, 1)

    # --- another host -----------------------------------------------------

    def client(self, ns, *args, timeout=WAIT + 40):
        """Runs this file's client in namespace ns; returns what it printed."""
        out = self.run(*self.netns(ns, "/usr/bin/python3", os.path.abspath(__file__), *args),
                       timeout=timeout).stdout
        return json.loads(out.strip().splitlines()[-1])

    def client_in_background(self, ns, *args):
        return subprocess.Popen(self.netns(ns, "/usr/bin/python3", os.path.abspath(__file__), *args),
                                stdout=subprocess.PIPE, text=True, env=self.env)

    # --- the end ----------------------------------------------------------

    def close(self):
        # A polite end first: Xvfb removes its lock files only then.
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
        for proc in self.procs:
            try:
                proc.wait(timeout=3)
            except subprocess.TimeoutExpired:
                proc.kill()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    pass
        subprocess.run([self.args.testnet, "down"], check=False)


def _held(lock):
    """Whether an X lock file belongs to a running server."""
    try:
        with open(lock) as f:
            os.kill(int(f.read().strip()), 0)
        return True
    except (FileNotFoundError, ValueError, ProcessLookupError):
        return False
    except OSError:  # a server of another user
        return True


def run_test(session_class, cleanup=None):
    """Runs session_class(args, work).main() with the end-to-end conventions.

    Exit status 77 (skipped) without root, ip or xdotool, and wherever the
    namespaces cannot be made; on a failure the screen and the end of every
    log are printed and the work folder is kept. main() returns how many
    checks failed (None: none).
    """
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--ambrel", required=True)
    parser.add_argument("--testnet", required=True)
    args = parser.parse_args()
    if os.geteuid() != 0 or shutil.which("ip") is None or shutil.which("xdotool") is None:
        print("needs root, ip and xdotool")
        return SKIP
    # Stopped from outside (a test timeout, ^C), it still takes its
    # namespaces and processes down.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    work = tempfile.mkdtemp(prefix="ferrin-e2e-")
    session = session_class(args, work)
    failed = 0
    try:
        failed = session.main() or 0
    except AssertionError as failure:
        print("FAILED:", failure)
        failed = 1
    except Exception:
        # Not a check that failed but the test itself: the whole story.
        traceback.print_exc(file=sys.stdout)
        failed = 1
    finally:
        if failed:
            shot = os.path.join(work, "failure.png")
            subprocess.run(["import", "-window", "root", shot], env=session.env, check=False)
            print("screen at the failure:", shot)
        session.close()
    if failed:
        for log in sorted(os.listdir(work)):
            if log.endswith(".log"):
                print(f"--- {log}")
                print(open(os.path.join(work, log), errors="replace").read()[-2000:])
        if cleanup:
            cleanup(work)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return 0


# --- the client on another host ---------------------------------------------

def _exchange(host, port, request, deadline):
    """Connects, sends request, reads until the far side closes."""
    with socket.create_connection((host, port), timeout=5) as s:
        s.settimeout(max(0.1, deadline - time.monotonic()))
        if request:
            s.sendall(request)
        data = b""
        while True:
            chunk = s.recv(1 << 16)
            if not chunk:
                return data
            data += chunk


def _until_answered(host, port, request, until, describe):
    """Asks again while the listener is busy (it refuses or drops others then).

    An empty answer counts as busy too: every question the tests ask has an
    answer.
    """
    started = time.monotonic()
    deadline = started + until
    tries = 0
    while True:
        tries += 1
        try:
            data = _exchange(host, port, request, deadline + 10)
            if data:
                return dict(ok=True, seconds=time.monotonic() - started, tries=tries, **describe(data))
        except OSError as error:
            last = str(error)
        else:
            last = "empty answer"
        if time.monotonic() >= deadline:
            return dict(ok=False, seconds=time.monotonic() - started, tries=tries, error=last)
        time.sleep(0.1)


def _knock(host, port, mode, hold):
    s = socket.create_connection((host, port), timeout=5)
    if mode == "reset":
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    if mode in ("close", "reset"):
        s.close()
        return dict(ok=True)
    print(json.dumps(dict(connected=True)), flush=True)
    started = time.monotonic()
    s.settimeout(hold)
    try:
        closed = s.recv(1) == b""
    except socket.timeout:
        closed = False
    except OSError:
        closed = True
    s.close()
    return dict(ok=True, closed=closed, seconds=time.monotonic() - started)


def client_main(argv):
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="what", required=True)
    ask = sub.add_parser("ask")
    ask.add_argument("host")
    ask.add_argument("text")
    ask.add_argument("--until", type=float, default=0)
    fetch = sub.add_parser("fetch")
    fetch.add_argument("host")
    fetch.add_argument("entry")
    fetch.add_argument("--until", type=float, default=0)
    knock = sub.add_parser("knock")
    knock.add_argument("host")
    knock.add_argument("port", type=int)
    knock.add_argument("mode", choices=("silent", "close", "reset"))
    knock.add_argument("--hold", type=float, default=60)
    a = parser.parse_args(argv)
    if a.what == "ask":
        result = _until_answered(a.host, SEARCH_PORT, a.text.encode("cp1252"), a.until,
                                 lambda data: dict(text=data.decode("cp1252")))
    elif a.what == "fetch":
        result = _until_answered(a.host, TRANSFER_PORT, a.entry.encode("cp1252"), a.until,
                                 lambda data: dict(length=len(data), sha256=hashlib.sha256(data).hexdigest()))
    else:
        result = _knock(a.host, a.port, a.mode, a.hold)
    print(json.dumps(result), flush=True)
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(client_main(sys.argv[1:]))
