"""Faults from the network, on real processes.

Copies of Ferrin1 in network namespaces of their own, driven through the X
server, meet what a real network does to them: a directory server that is
down, a directory entry with no host behind it, peers that knock and say
nothing, a peer that dies in the middle of a transfer, a peer that lies, and
a long session that must not leak descriptors. Every check prints one line;
the run goes on after a failed check where the copies it needs still run.

The hosts:
    ferrin-p1  copy 1: shares a small file and a 300 MB one
    ferrin-p2  copy 2: the one that searches and downloads most
    ferrin-p3  copy 3: knows a dead address and the hostile peer
    ferrin-p4  no copy: the hostile peer (this file, run as `evil-peer`)
               and the other hosts' clients (e2elib.py)
    ferrin-p5  copy 5: started while the directory server is down

Exit status 77 (skipped) where network namespaces cannot be made.
"""

import hashlib
import json
import os
import signal
import socket
import sys
import threading
import time

from e2elib import (FIRST_RESULT, RESULT_ROW, SEARCH_BUTTON, SEARCH_TEXT, Session, entry, peer_address, record,
                    run_test)

# The program's own bounds, in seconds, that these checks lean on.
SEARCH_CONNECT = 3
SEARCH_REQUEST = 10
UPLOAD_REQUEST = 30
FTP_CONNECT = 10
FTP_RESPONSE = 10
EXIT_ATTEMPTS = 3
# What a check allows on top of such a bound: process start, a loaded machine.
SLACK = 4

DEAD = "10.231.0.99"  # inside the test network, with no host behind it
EVIL = peer_address(4)
BIG = 300 * (1 << 20)
FD_SLACK = 3

# What the hostile peer answers to any search with "evil" in it, each name in
# a send of its own: names that climb out of Downloads, a name that is all
# dots, a file that never ends, and a name of 100 KB.
EVIL_NAMES = ["../escaped-evil.txt", "/../../escaped-evil.txt", "..", "endless-evil.bin",
              "L" * 100_000 + "-evil"]
EVIL_ROW = {name: row for row, name in enumerate(EVIL_NAMES)}


class Faults(Session):
    def main(self):
        self.passed = self.failed = 0
        self.start_network(5)
        self.start_display()
        self.folders, self.procs_of, self.mains = {}, {}, {}

        self.check("directory down at start", self.directory_down_at_start)

        self.start_directory()
        self.start_copy(1, {"shared-by-1.txt": b"one\r\n"}, records_before=0, big="big-by-1.bin")
        self.start_copy(2, {"shared-by-2.txt": b"two\r\n"}, records_before=1)

        self.check("silent and vanishing peers at the listeners", self.knocks_at_listeners)
        self.check("50 searches and 20 downloads leak no descriptors", self.long_session)
        self.check("serving peer killed mid-transfer", self.peer_killed_mid_transfer)

        # Copy 3 learns, in this order: an address with no host, copy 1 (dead
        # by now), copy 2 and the hostile peer.
        self.start_evil_peer()
        self.write_directory(b"".join(record(a) for a in (DEAD, peer_address(1), peer_address(2), EVIL)))
        self.start_copy(3, {"shared-by-3.txt": b"three\r\n"}, records_before=4)

        self.check("directory entry without a host", self.dead_directory_entry)
        self.check("hostile peer", self.hostile_peer)
        self.check("directory down at exit", self.directory_down_at_exit)
        print(f"{self.passed} passed, {self.failed} failed")
        return self.failed

    # --- running checks ---------------------------------------------------

    def check(self, name, body):
        started = time.monotonic()
        try:
            detail = body()
        except AssertionError as failure:
            self.failed += 1
            print(f"FAILED {name}: {failure}", flush=True)
            return
        except Exception as failure:
            # Whatever broke, the checks after this one may still run.
            self.failed += 1
            print(f"FAILED {name}: {type(failure).__name__}: {failure}", flush=True)
            return
        self.passed += 1
        print(f"ok {name}: {detail} ({time.monotonic() - started:.1f} s)", flush=True)

    # --- helpers ----------------------------------------------------------

    def start_copy(self, n, files, records_before, big=None):
        self.folders[n] = self.program_folder(n, files)
        if big:
            self.make_big_file(os.path.join(self.folders[n], "Shared", big))
        self.procs_of[n], self.mains[n] = self.start_peer(n, self.folders[n], records_before)

    def make_big_file(self, path):
        # Random blocks, so that no layer can compress or skip them; the one
        # block is kept to check what arrives.
        self.big_block = os.urandom(1 << 20)
        with open(path, "wb") as f:
            for _ in range(BIG // len(self.big_block)):
                f.write(self.big_block)

    def alive(self, n):
        return self.procs_of[n].poll() is None

    def target(self, n, address, name):
        return os.path.join(self.folders[n], "Downloads", entry(address, name))

    def tap(self, window, at, repeat=1):
        # Within one window that already has the pointer no detour is needed,
        # which keeps a long series of clicks quick.
        self.xdo("mousemove", "--window", window, str(at[0]), str(at[1]))
        time.sleep(0.05)
        self.xdo("click", "--repeat", str(repeat), "--delay", "80", "1")

    def row(self, row):
        return (FIRST_RESULT[0], FIRST_RESULT[1] + row * RESULT_ROW)

    def search_again(self, main, number):
        """Clicks Search on copy 2 and waits until the search has been everywhere.

        Copy 2 asks itself last: once its own host has taken the question,
        the search has been to every peer. A click that came while the
        button was still disabled is repeated.
        """
        for _ in range(3):
            seen = self.accepted(2)
            self.tap(main, SEARCH_BUTTON)
            try:
                return self.wait_for("the search", lambda: self.accepted(2) > seen, timeout=2, step=0.02)
            except AssertionError:
                pass
        raise AssertionError(f"search {number} never reached copy 2 itself")

    def fetch_by_double_click(self, n, row, path, content, timeout=5.0):
        """Double-clicks a result until its file holds content.

        A double click that lands before the entry has arrived does nothing,
        so it is repeated; one that comes while the same download runs is
        refused by the program and changes nothing either.
        """
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.tap(self.mains[n], self.row(row), repeat=2)
            end = time.monotonic() + 1.0
            while time.monotonic() < end:
                if os.path.exists(path) and open(path, "rb").read() == content:
                    return True
                time.sleep(0.02)
        raise AssertionError(f"double click on row {row} did not bring {os.path.basename(path)!r}")

    def ask(self, ns, host, text, until=0):
        return self.client(ns, "ask", host, text, "--until", str(until))

    def fetch(self, ns, host, name, until=0):
        return self.client(ns, "fetch", host, entry(host, name), "--until", str(until))

    def open_fds(self, pid):
        fds = {}
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                fds[fd] = os.readlink(f"/proc/{pid}/fd/{fd}")
            except OSError:
                pass
        return fds

    def settled_size(self, path, quiet=1.0, timeout=15):
        """The size of path once it has not changed for quiet seconds."""
        deadline = time.monotonic() + timeout
        size, since = os.path.getsize(path), time.monotonic()
        while time.monotonic() < deadline:
            time.sleep(0.1)
            now = os.path.getsize(path)
            if now != size:
                size, since = now, time.monotonic()
            elif time.monotonic() - since >= quiet:
                return size
        raise AssertionError(f"{os.path.basename(path)} still grows after {timeout} s")

    def accepted(self, n):
        """How many connections the host of copy n has accepted so far."""
        lines = self.run(*self.netns(f"ferrin-p{n}", "cat", "/proc/net/snmp")).stdout.splitlines()
        names, values = [line.split() for line in lines if line.startswith("Tcp:")]
        return int(values[names.index("PassiveOpens")])

    def ended_within(self, n, bound):
        """Waits up to bound seconds for copy n to end; returns how long it took."""
        started = time.monotonic()
        try:
            self.wait_for(f"copy {n} to end", lambda: not self.alive(n), timeout=bound, step=0.05)
        except AssertionError:
            raise AssertionError(f"copy {n} still runs {bound} s after File > Exit")
        return time.monotonic() - started

    # --- the checks -------------------------------------------------------

    def directory_down_at_start(self):
        # The copy keeps its local directory between runs; with no server it
        # must still open, with what it knew plus its own record.
        before = record(peer_address(1))
        self.folders[5] = self.program_folder(5, {"shared-by-5.txt": b"five\r\n"}, local_directory=before)
        started = time.monotonic()
        self.procs_of[5], splash = self.launch(5, self.folders[5])
        self.mains[5] = self.main_window(5, self.procs_of[5], splash)
        took = time.monotonic() - started
        with open(os.path.join(self.folders[5], "IP.txt"), "rb") as f:
            local = f.read()
        assert local == before + record(peer_address(5)), f"local IP.txt holds {local!r}"
        return f"main window after {took:.1f} s; local IP.txt grew by its own record"

    def knocks_at_listeners(self):
        # Copy 5's listeners, knocked on from ferrin-p4. A peer that closes at
        # once, politely or with a reset, must not cost the next one anything.
        address = peer_address(5)
        for port in (1050, 1100):
            for mode in ("close", "reset"):
                self.client("ferrin-p4", "knock", address, str(port), mode)
                if port == 1050:
                    served = self.ask("ferrin-p4", address, "shared", until=2)
                    assert served.get("text") == "shared-by-5.txt", f"after a {mode} on {port}: {served}"
                else:
                    served = self.fetch("ferrin-p4", address, "shared-by-5.txt", until=2)
                    assert served.get("sha256") == hashlib.sha256(b"five\r\n").hexdigest(), \
                        f"after a {mode} on {port}: {served}"

        # A peer that connects and stays silent holds a listener until its
        # request bound runs out; the next peer is served then at the latest.
        # Both ports at once, so the run pays the longer bound only once.
        silent = {port: self.client_in_background("ferrin-p4", "knock", address, str(port), "silent",
                                                  "--hold", str(UPLOAD_REQUEST + 15))
                  for port in (1050, 1100)}
        for port, knock in silent.items():
            assert '"connected"' in knock.stdout.readline(), f"the silent peer could not connect to {port}"
        time.sleep(0.3)  # so that the listeners take the silent peers first
        asker = self.client_in_background("ferrin-p4", "ask", address, "shared",
                                          "--until", str(SEARCH_REQUEST + SLACK))
        fetcher = self.client_in_background("ferrin-p4", "fetch", address, entry(address, "shared-by-5.txt"),
                                            "--until", str(UPLOAD_REQUEST + SLACK))
        outcome = {}
        for what, proc in (("ask", asker), ("fetch", fetcher), (1050, silent[1050]), (1100, silent[1100])):
            out, _ = proc.communicate(timeout=UPLOAD_REQUEST + 20)
            outcome[what] = json.loads(out.strip().splitlines()[-1])
        for port, bound in ((1050, SEARCH_REQUEST), (1100, UPLOAD_REQUEST)):
            held = outcome[port]
            assert held["closed"], f"port {port} kept a silent peer for {held['seconds']:.0f} s"
            assert held["seconds"] <= bound + SLACK, f"port {port} dropped a silent peer only after {held}"
        assert outcome["ask"]["ok"] and outcome["ask"]["text"] == "shared-by-5.txt", outcome["ask"]
        assert outcome["fetch"]["ok"] and outcome["fetch"]["length"] == 6, outcome["fetch"]
        assert self.alive(5), "copy 5 ended"
        return (f"closing and resetting peers cost nothing; silent ones dropped after "
                f"{outcome[1050]['seconds']:.1f} s (1050) and {outcome[1100]['seconds']:.1f} s (1100), "
                f"the next peer served after {outcome['ask']['seconds']:.1f} s and "
                f"{outcome['fetch']['seconds']:.1f} s")

    def long_session(self):
        # Copy 2 knows copy 1 and itself: "shared" lists copy 1's file in row
        # 0 and its own in row 1. One search and download first, so that the
        # windows and anything made on first use exist before counting.
        main, pid = self.mains[2], self.procs_of[2].pid
        sources = [(peer_address(1), "shared-by-1.txt", b"one\r\n"), (peer_address(2), "shared-by-2.txt", b"two\r\n")]
        self.open_search(main)
        self.search(main, "shared")
        self.fetch_by_double_click(2, 0, self.target(2, *sources[0][:2]), sources[0][2])
        time.sleep(0.5)
        before = self.open_fds(pid)

        asked_1 = self.accepted(1)
        downloads = 0
        for i in range(50):
            self.search_again(main, i + 1)
            if i % 5 < 2:
                # Deleted first, so that only this download can bring it back.
                row = downloads % 2
                path = self.target(2, *sources[row][:2])
                if os.path.exists(path):
                    os.remove(path)
                self.fetch_by_double_click(2, row, path, sources[row][2])
                downloads += 1
        asked_1 = self.accepted(1) - asked_1
        assert asked_1 >= 50 + 10, f"copy 1 took only {asked_1} connections for 50 searches and 10 downloads"

        # Closed connections may take a moment to be let go.
        def settled():
            fds = self.open_fds(pid)
            return fds if len(fds) <= len(before) + FD_SLACK else None
        try:
            after = self.wait_for("descriptors to settle", settled, timeout=10)
        except AssertionError:
            after = self.open_fds(pid)
            grown = sorted(set(after.values()) - set(before.values()))
            raise AssertionError(f"{len(before)} descriptors before, {len(after)} after; new: {grown[:20]}")
        return f"{len(before)} descriptors before, {len(after)} after; copy 1 took {asked_1} connections"

    def peer_killed_mid_transfer(self):
        main = self.mains[2]
        path = self.target(2, peer_address(1), "big-by-1.bin")
        self.search(main, "big-by-1")
        self.tap(main, self.row(0), repeat=2)
        # Killed as soon as bytes arrive, so that most of the file is still to come.
        self.wait_for("the big download to start", lambda: os.path.exists(path) and os.path.getsize(path) > 0,
                      timeout=10, step=0.002)
        os.kill(self.procs_of[1].pid, signal.SIGKILL)
        self.procs_of[1].wait(timeout=5)

        size = self.settled_size(path)
        if size >= BIG:
            raise AssertionError("the whole file arrived before the kill; the check saw no fault")
        block = self.big_block
        with open(path, "rb") as f:
            for offset in range(0, size, len(block)):
                piece = f.read(len(block))
                assert piece == block[:len(piece)], f"the partial file differs from the source after byte {offset}"
        assert self.alive(2), "the downloading copy ended when its peer died"

        # Its listeners answer another host; its own window searches and
        # downloads again (copy 1 now refuses, so copy 2's file is row 0).
        answer = self.ask("ferrin-p4", peer_address(2), "shared-by-2")
        assert answer.get("text") == "shared-by-2.txt", f"its search listener: {answer}"
        served = self.fetch("ferrin-p4", peer_address(2), "shared-by-2.txt")
        assert served.get("length") == 5, f"its transfer listener: {served}"
        self.search(main, "shared")
        own = self.target(2, peer_address(2), "shared-by-2.txt")
        os.remove(own)
        self.fetch_by_double_click(2, 0, own, b"two\r\n")
        return f"{size / (1 << 20):.0f} of {BIG >> 20} MB kept; copy 2 answers and downloads again"

    def start_evil_peer(self):
        self.evil_log = os.path.join(self.work, "evil.log")
        self.spawn(*self.netns("ferrin-p4", "/usr/bin/python3", os.path.abspath(__file__), "evil-peer", EVIL,
                               self.evil_log), log=os.path.join(self.work, "evil-stdout.log"))
        self.wait_for("the hostile peer to listen", lambda: "listening" in self.evil_said())

    def evil_said(self):
        if not os.path.exists(self.evil_log):
            return ""
        with open(self.evil_log, errors="replace") as f:
            return f.read()

    def dead_directory_entry(self):
        # The dead address is asked first; copy 3's own file is the last entry
        # of the search, so its download shows that the search went on.
        main = self.mains[3]
        with open(os.path.join(self.folders[3], "IP.txt"), "rb") as f:
            assert f.read().startswith(record(DEAD)), "copy 3 does not know the dead address first"
        self.open_search(main)
        self.click(main, SEARCH_TEXT)
        self.xdo("key", "ctrl+a")
        self.xdo("type", "shared")
        started = time.monotonic()
        self.tap(main, SEARCH_BUTTON)
        own = self.target(3, peer_address(3), "shared-by-3.txt")
        self.fetch_by_double_click(3, 1, own, b"three\r\n", timeout=SEARCH_CONNECT + 2 * SLACK)
        took = time.monotonic() - started
        assert took <= SEARCH_CONNECT + SLACK, f"the search took {took:.1f} s past a dead address"
        self.fetch_by_double_click(3, 0, self.target(3, peer_address(2), "shared-by-2.txt"), b"two\r\n")
        return f"the last peer's entry was downloadable {took:.1f} s after Search; the live peer's too"

    def hostile_peer(self):
        main = self.mains[3]
        # A directory named like the entries of the hostile peer, so that a
        # "/../" name would really climb out of Downloads if it were opened.
        trap = os.path.join(self.folders[3], "Downloads", entry(EVIL, ""))
        os.mkdir(trap)
        self.search(main, "evil")
        self.wait_for("the hostile answer", lambda: "answered" in self.evil_said(), timeout=SEARCH_CONNECT + SLACK)
        time.sleep(0.5)

        for name in ("../escaped-evil.txt", "/../../escaped-evil.txt", "..", EVIL_NAMES[-1]):
            self.tap(main, self.row(EVIL_ROW[name]), repeat=2)
            time.sleep(0.3)
        downloads = os.path.join(self.folders[3], "Downloads")
        escaped = [os.path.join(d, f) for d, _, files in os.walk(self.work) for f in files
                   if "escaped" in f and os.path.commonpath([d, downloads]) != downloads]
        assert not escaped, f"files made outside Downloads from hostile names: {escaped}"
        assert not os.listdir(trap), f"files made inside {trap}: {os.listdir(trap)}"
        assert self.alive(3), "copy 3 ended on the hostile names"

        # The endless file is the row right after the refused ones: its
        # download starting shows that the double clicks above met the names
        # they were meant for.
        endless = self.target(3, EVIL, "endless-evil.bin")
        self.tap(main, self.row(EVIL_ROW["endless-evil.bin"]), repeat=2)
        self.wait_for("the endless download", lambda: os.path.exists(endless) and os.path.getsize(endless) > 1 << 20)

        # While the stream pours in, the copy answers another host and its
        # user can leave.
        answer = self.ask("ferrin-p5", peer_address(3), "shared")
        assert answer.get("text") == "shared-by-3.txt", f"copy 3's search listener during the stream: {answer}"
        size = os.path.getsize(endless)
        self.wait_for("the stream to go on", lambda: os.path.getsize(endless) > size, timeout=5)
        self.exit(main)
        took = self.ended_within(3, FTP_CONNECT + FTP_RESPONSE)
        assert peer_address(3).encode() not in self.directory_file(), self.directory_file()
        self.wait_for("the hostile peer to see the end", lambda: "stream ended" in self.evil_said(), timeout=10)
        received = os.path.getsize(endless)
        os.remove(endless)  # gigabytes, no use to anyone
        return (f"no file from '../' names; answered a search during an endless stream "
                f"({received >> 20} MB); File > Exit ended it in {took:.1f} s")

    def directory_down_at_exit(self):
        # Copy 2 registered with a server that has stopped by its exit: its
        # fetches are refused at once. Copy 5 then finds the directory host
        # gone from the network: its fetches get no answer at all. Both must
        # leave within the bounds of the fetch attempts, and the central file
        # stays as it was.
        before = self.directory_file()
        self.stop_directory()
        bound = EXIT_ATTEMPTS * (FTP_CONNECT + FTP_RESPONSE) + SLACK
        self.exit(self.mains[2])
        refused = self.ended_within(2, bound)
        self.run("ip", "-n", "ferrin-dir", "link", "set", "eth0", "down")
        self.exit(self.mains[5])
        unanswered = self.ended_within(5, bound)
        assert self.directory_file() == before, "the central file changed"
        return (f"File > Exit ended the copies in {refused:.1f} s (server stopped) and {unanswered:.1f} s "
                f"(host gone); central file untouched")


# --- the hostile peer -------------------------------------------------------

def evil_peer(address, log_path):
    """Listens like a copy on 1050 and 1100 and answers like none should."""
    log = open(log_path, "a", buffering=1)
    lock = threading.Lock()

    def note(text):
        with lock:
            log.write(text + "\n")

    def answer_search(conn):
        with conn:
            conn.settimeout(10)
            query = conn.recv(4096).decode("cp1252", "replace")
            note(f"query {query[:80]}")
            if "evil" in query:
                for name in EVIL_NAMES:
                    conn.sendall(name.encode("cp1252"))
                    # Apart, so that each arrives as an entry of its own.
                    time.sleep(0.2)
                note("answered")

    def answer_request(conn):
        with conn:
            conn.settimeout(10)
            request = conn.recv(1 << 16).decode("cp1252", "replace")
            note(f"request {request[:80]}")
            if "endless" not in request:
                conn.sendall(b"escaped!\r\n")
                return
            block = os.urandom(1 << 16)
            sent = 0
            conn.settimeout(30)
            try:
                while True:
                    conn.sendall(block)
                    sent += len(block)
            except OSError as error:
                note(f"stream ended after {sent} bytes: {error}")

    def serve(port, handler):
        listener = socket.create_server((address, port))
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=handler, args=(conn,), daemon=True).start()

    for port, handler in ((1050, answer_search), (1100, answer_request)):
        threading.Thread(target=serve, args=(port, handler), daemon=True).start()
    time.sleep(0.2)
    note("listening")
    while True:
        time.sleep(3600)


def remove_big_files(work):
    # A failed run keeps its logs and screen, not its hundreds of megabytes.
    for folder, _, files in os.walk(work):
        for name in files:
            if name.endswith(".bin"):
                os.remove(os.path.join(folder, name))


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "evil-peer":
        evil_peer(sys.argv[2], sys.argv[3])
    sys.exit(run_test(Faults, cleanup=remove_big_files))
