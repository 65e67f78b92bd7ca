"""The road of the program as its users meet it, on real processes.

Three copies of Ferrin1, each in a network namespace of its own, register in
a real FTP directory server in a fourth, find each other's files through the
search window, download one byte-exact, and leave through File > Exit. Every
click and key goes through the X server (xdotool), as a user's would.

Exit status 77 (skipped) where network namespaces cannot be made.
"""

import argparse
import hashlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
DIRECTORY = "10.231.0.1"
PEERS = {1: "10.231.0.11", 2: "10.231.0.12", 3: "10.231.0.13"}
WAIT = 20.0  # seconds any one step may take before the test gives up

# Where things are on screen, in pixels at 96 dpi, relative to the window.
CONNECT_LABEL = (371, 128)
MENU_FILE = (20, 8)
MENU_WINDOW = (65, 8)
SEARCH_TEXT = (100, 91)
SEARCH_BUTTON = (284, 91)
FIRST_RESULT = (60, 114)
RESULT_ROW = 13
SLOTS = {1: (700, 0), 2: (700, 450), 3: (0, 450)}


class Road:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.procs = []
        self.display = None
        self.env = dict(os.environ)

    # --- plumbing ---------------------------------------------------------

    def run(self, *cmd, check=True, capture=True):
        return subprocess.run(cmd, check=check, text=True,
                              stdout=subprocess.PIPE if capture else None,
                              stderr=subprocess.STDOUT if capture else None,
                              env=self.env)

    def spawn(self, *cmd, log):
        proc = subprocess.Popen(cmd, stdout=open(log, "wb"), stderr=subprocess.STDOUT, env=self.env)
        self.procs.append(proc)
        return proc

    def netns(self, ns, *cmd):
        return [self.args.testnet, "exec", ns, *cmd]

    def wait_for(self, what, predicate, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = predicate()
            if value:
                return value
            time.sleep(0.1)
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

    def directory_file(self):
        with open(os.path.join(self.work, "ftp", "IP.txt"), "rb") as f:
            return f.read()

    # --- set-up -----------------------------------------------------------

    def start_network(self):
        result = self.run(self.args.testnet, "up", "3", check=False)
        if result.returncode != 0:
            print("cannot make network namespaces here:", result.stdout)
            sys.exit(SKIP)

    def start_display(self):
        for n in range(90, 100):
            if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"):
                self.display = f":{n}"
                break
        self.spawn("Xvfb", self.display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                   log=os.path.join(self.work, "xvfb.log"))
        self.env["DISPLAY"] = self.display
        self.wait_for("the X server", lambda: self.run("xdpyinfo", check=False).returncode == 0)

    def start_directory(self):
        home = os.path.join(self.work, "ftp")
        os.makedirs(home)
        open(os.path.join(home, "IP.txt"), "wb").close()
        self.spawn(*self.netns("ferrin-dir", "/usr/bin/python3", "-m", "pyftpdlib", "-i", DIRECTORY, "-p", "2121",
                               "-w", "-d", home, "-u", "Ferrin_1", "-P", "Vantor"),
                   log=os.path.join(self.work, "ftp.log"))
        time.sleep(1.0)

    def program_folder(self, n, files):
        folder = os.path.join(self.work, f"peer{n}")
        os.makedirs(os.path.join(folder, "Shared"))
        os.makedirs(os.path.join(folder, "Downloads"))
        shutil.copy(self.args.program, os.path.join(folder, "Ferrin1"))
        shutil.copy(self.args.ambrel, os.path.join(folder, "libAmbrel.so"))
        for name, data in files.items():
            with open(os.path.join(folder, "Shared", name), "wb") as f:
                f.write(data)
        return folder

    def start_peer(self, n, folder, records_before):
        proc = self.spawn(*self.netns(f"ferrin-p{n}", os.path.join(folder, "Ferrin1")),
                          log=os.path.join(self.work, f"peer{n}.log"))
        splash = self.wait_for(f"peer {n}'s start-up window", lambda: self.windows(proc.pid))[0]
        self.click(splash, CONNECT_LABEL)
        self.wait_for(f"peer {n}'s registration",
                      lambda: self.directory_file().count(b"\r\n") >= 2 * (records_before + 1))
        main = self.wait_for(f"peer {n}'s main window",
                             lambda: [w for w in self.windows(proc.pid) if w != splash])[0]
        self.xdo("windowmove", main, str(SLOTS[n][0]), str(SLOTS[n][1]))
        time.sleep(0.3)
        return proc, main

    # --- the road ---------------------------------------------------------

    def download(self, folder, main, row, entry):
        self.click(main, (FIRST_RESULT[0], FIRST_RESULT[1] + row * RESULT_ROW), repeat=2)
        path = os.path.join(folder, "Downloads", entry)
        return path

    def search(self, main, text):
        self.click(main, SEARCH_TEXT)
        self.xdo("key", "ctrl+a")
        self.xdo("type", text)
        self.click(main, SEARCH_BUTTON)
        time.sleep(1.0)

    def main(self):
        self.start_network()
        self.start_display()
        self.start_directory()

        payload = os.urandom(300_000) + bytes(range(256))
        folders, procs, mains = {}, {}, {}
        files = {1: {"shared-by-1.txt": b"one\r\n"},
                 2: {"shared-by-2.txt": b"two\r\n", "payload.bin": payload},
                 3: {"shared-by-3.txt": b"three\r\n"}}
        for n in (1, 2, 3):
            folders[n] = self.program_folder(n, files[n])
            procs[n], mains[n] = self.start_peer(n, folders[n], n - 1)

        expected = b"".join(b'"%s"\r\n0\r\n' % PEERS[n].encode() for n in (1, 2, 3))
        assert self.directory_file() == expected, self.directory_file()
        print("registered: three two-line records in order")

        # Peer 3 knows all three. "shared" matches one file on each; the
        # entries come in table order, peer 3's own last.
        self.menu(mains[3], MENU_WINDOW, 2)
        self.search(mains[3], "shared")
        for row, n in enumerate((1, 2, 3)):
            entry = f"{PEERS[n]}\u00a7shared-by-{n}.txt"
            path = self.download(folders[3], mains[3], row, entry)
            self.wait_for(f"download of {entry}", lambda: os.path.exists(path)
                          and open(path, "rb").read() == files[n][f"shared-by-{n}.txt"])
        print("search from peer 3 listed the files of peers 1, 2 and 3; each downloaded")

        self.search(mains[3], "payload")
        entry = f"{PEERS[2]}\u00a7payload.bin"
        path = self.download(folders[3], mains[3], 0, entry)
        digest = hashlib.sha256(payload).hexdigest()
        self.wait_for("the binary download", lambda: os.path.exists(path)
                      and hashlib.sha256(open(path, "rb").read()).hexdigest() == digest)
        print("binary file downloaded byte-exact from peer 2")

        # Exit on peer 1 removes exactly its records.
        self.menu(mains[1], MENU_FILE, 1)
        self.wait_for("peer 1 to end", lambda: procs[1].poll() is not None)
        rest = b"".join(b'"%s",0\r\n' % PEERS[n].encode() for n in (2, 3))
        assert self.directory_file() == rest, self.directory_file()
        print("exit of peer 1 removed its records; the rest written one per line")

        # Peer 3 still answers peer 2 on the search port.
        answer = self.run(*self.netns("ferrin-p2", "/usr/bin/python3", "-c",
                                      "import socket,sys\n"
                                      f"s=socket.create_connection(('{PEERS[3]}',1050),5)\n"
                                      "s.sendall(b'shared')\n"
                                      "d=b''\n"
                                      "while True:\n"
                                      "  c=s.recv(4096)\n"
                                      "  if not c: break\n"
                                      "  d+=c\n"
                                      "sys.stdout.write(d.decode('cp1252'))")).stdout
        assert answer == "shared-by-3.txt", answer
        print("peer 3 still answers peer 2")

    def close(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.kill()
        for proc in self.procs:
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        subprocess.run([self.args.testnet, "down"], check=False)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--ambrel", required=True)
    parser.add_argument("--testnet", required=True)
    args = parser.parse_args()
    if os.geteuid() != 0 or shutil.which("ip") is None or shutil.which("xdotool") is None:
        print("needs root, ip and xdotool")
        return SKIP
    work = tempfile.mkdtemp(prefix="ferrin-e2e-")
    road = Road(args, work)
    try:
        road.main()
    except AssertionError as failure:
        print("FAILED:", failure)
        shot = os.path.join(work, "failure.png")
        subprocess.run(["import", "-window", "root", shot], env=road.env, check=False)
        print("screen at the failure:", shot)
        for log in sorted(os.listdir(work)):
            if log.endswith(".log"):
                print(f"--- {log}")
                print(open(os.path.join(work, log), errors="replace").read()[-2000:])
        return 1
    finally:
        road.close()
    shutil.rmtree(work, ignore_errors=True)
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
