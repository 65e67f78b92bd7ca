"""Faults from the network, on real processes.

Copies of Ferrin1 in network namespaces of their own, driven through the X
server at widgets found on the accessibility bus, meet what a real network
does to them: a directory server that is down, a directory entry with no
host behind it, peers that knock and say nothing, a peer that dies in the
middle of a transfer, a peer that lies, and a long session that must not leak
descriptors. Every check prints one line; the run goes on after a failed
check where the copies it needs still run.

The checks come in three parts, each a test of its own with a network of its
own, so that their waits for the program's time limits overlap:
    --part peers      copies 1 to 3 search and download among each other,
                      beside a dead address and a hostile peer
    --part listeners  copy 5's listeners meet peers that say nothing
    --part directory  copies 2 and 5 meet a directory server that is down

The hosts (namespaces ferrin-<run>-p1 and so on):
    p1  copy 1: shares a small file and a 300 MB one
    p2  copy 2: the one that searches and downloads most
    p3  copy 3: knows a dead address and the hostile peer
    p4  no copy: the hostile peer (this file, run as `evil-peer`)
        and the other hosts' clients (e2elib.py)
    p5  copy 5: the one whose listeners are knocked on, and the one started
        while the directory server is down

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

from e2elib import (DIRECTORY_PORT, SEARCH_TITLE, WAIT, Session, entry, peer_address, record, run_test, sockets,
                    wait_for)

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
# a send of its own, the next one only once the asking copy lists the one
# before: names that climb out of Downloads, a name that is all dots, a file
# that never ends, and a name of 30 KB (a longer piece could never be asked
# for, as no peer reads a download request that long, and is not listed).
EVIL_NAMES = ["../escaped-evil.txt", "/../../escaped-evil.txt", "..", "endless-evil.bin",
              "L" * 30_000 + "-evil"]


class Faults(Session):
    def main(self):
        parts = {"peers": self.peers, "listeners": self.listeners, "directory": self.directory_down}
        if self.args.part not in parts:
            raise AssertionError(f"faults.py runs one part: --part {', '.join(parts)}")
        self.passed = self.failed = 0
        self.folders = {}
        self.start_network(5)
        self.start_display()
        parts[self.args.part]()
        print(f"{self.passed} passed, {self.failed} failed")
        return self.failed

    def peers(self):
        self.start_directory()
        self.start_copy(1, {"shared-by-1.txt": b"one\r\n"}, records_before=0, big="big-by-1.bin")
        self.start_copy(2, {"shared-by-2.txt": b"two\r\n"}, records_before=1)
        self.check("50 searches and 20 downloads leak no descriptors", self.long_session)
        self.check("serving peer killed mid-transfer", self.peer_killed_mid_transfer)

        # Copy 3 learns, in this order: an address with no host, copy 1 (dead
        # by now), copy 2 and the hostile peer.
        self.start_evil_peer()
        self.write_directory(b"".join(record(a) for a in (DEAD, peer_address(1), peer_address(2), EVIL)))
        self.start_copy(3, {"shared-by-3.txt": b"three\r\n"}, records_before=4)
        self.check("directory entry without a host", self.dead_directory_entry)
        self.check("hostile peer", self.hostile_peer)

    def listeners(self):
        self.start_directory()
        self.start_copy(5, {"shared-by-5.txt": b"five\r\n"}, records_before=0)
        self.check("silent and vanishing peers at the listeners", self.knocks_at_listeners)

    def directory_down(self):
        self.check("directory down at start", self.directory_down_at_start)
        self.start_directory()
        self.start_copy(2, {"shared-by-2.txt": b"two\r\n"}, records_before=0)
        self.check("directory down at exit", self.directory_down_at_exit)

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
        self.start_peer(n, self.folders[n], records_before)

    def make_big_file(self, path):
        # Random blocks, so that no layer can compress or skip them; the one
        # block is kept to check what arrives.
        self.big_block = os.urandom(1 << 20)
        with open(path, "wb") as f:
            for _ in range(BIG // len(self.big_block)):
                f.write(self.big_block)

    def alive(self, n):
        return self.copies[n].poll() is None

    def target(self, n, address, name):
        return os.path.join(self.folders[n], "Downloads", entry(address, name))

    def search_again(self, n, number):
        """Clicks Search on copy n and waits until the search has been everywhere.

        Copy n asks itself last: once its own host has taken the question,
        the search has been to every peer. The button takes clicks again
        once the search before has ended.
        """
        button = self.widget(n, "Search", SEARCH_TITLE)
        self.wait_for(f"the Search button to take search {number}", lambda: self.enabled(button))
        seen = self.accepted(n)
        self.click(n, button)
        self.wait_for(f"search {number} to reach copy {n} itself", lambda: self.accepted(n) > seen)

    def fetch_by_double_click(self, n, address, name, content):
        """Double-clicks a result of copy n and waits until its file holds content.

        The double click comes once copy n has no download running, which
        would refuse it.
        """
        path = self.target(n, address, name)
        self.wait_for(f"copy {n} to end its download", lambda: not self.downloading(n))
        self.double_click(n, entry(address, name))
        self.wait_for(f"{name} from {address} in copy {n}'s Downloads",
                      lambda: os.path.exists(path) and open(path, "rb").read() == content)
        return path

    def ask(self, host, address, text, until=0):
        return self.client(host, "ask", address, text, "--until", str(until))

    def fetch(self, host, address, name, until=0):
        return self.client(host, "fetch", address, entry(address, name), "--until", str(until))

    def open_fds(self, pid):
        fds = {}
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                fds[fd] = os.readlink(f"/proc/{pid}/fd/{fd}")
            except OSError:
                pass
        return fds

    def connections(self, n):
        """Copy n's connections with peers (the directory server's aside)."""
        return [(state, port, peer) for state, port, peer, mine in sockets(self.copies[n].pid)
                if mine and state not in ("LISTEN", "TIME-WAIT") and not peer.endswith(f":{DIRECTORY_PORT}")]

    def ended_within(self, n, bound):
        """Waits up to bound seconds for copy n to end; returns how long it took."""
        started = time.monotonic()
        try:
            self.wait_for(f"copy {n} to end", lambda: not self.alive(n), timeout=bound)
        except AssertionError:
            raise AssertionError(f"copy {n} still runs {bound} s after File > Exit")
        return time.monotonic() - started

    # --- the checks -------------------------------------------------------

    def directory_down_at_start(self):
        # The copy keeps its local directory between runs; with no server it
        # must still open, with what it knew and itself: its own record goes
        # at the end of the local copy, and nowhere else.
        before = record(peer_address(1))
        self.folders[5] = self.program_folder(5, {"shared-by-5.txt": b"five\r\n"}, local_directory=before)
        started = time.monotonic()
        self.launch(5, self.folders[5])
        self.main_window(5)
        took = time.monotonic() - started
        with open(os.path.join(self.folders[5], "IP.txt"), "rb") as f:
            local = f.read()
        assert local == before + record(peer_address(5)), f"local IP.txt holds {local!r}"
        return f"main window after {took:.1f} s; local IP.txt holds what it held and this copy"

    def knocks_at_listeners(self):
        # Copy 5's listeners, knocked on from p4. A peer that closes at once,
        # politely or with a reset, must not cost the next one anything.
        address = peer_address(5)
        for port in (1050, 1100):
            for mode in ("close", "reset"):
                self.client("p4", "knock", address, str(port), mode)
                if port == 1050:
                    served = self.ask("p4", address, "shared", until=2)
                    assert served.get("text") == "shared-by-5.txt", f"after a {mode} on {port}: {served}"
                else:
                    served = self.fetch("p4", address, "shared-by-5.txt", until=2)
                    assert served.get("sha256") == hashlib.sha256(b"five\r\n").hexdigest(), \
                        f"after a {mode} on {port}: {served}"

        # A peer that connects and stays silent holds a listener until its
        # request bound runs out; the next peer is served then at the latest.
        # Both ports at once, so the run pays the longer bound only once.
        silent = {port: self.client_in_background("p4", "knock", address, str(port), "silent",
                                                  "--hold", str(UPLOAD_REQUEST + 15))
                  for port in (1050, 1100)}
        for port, knock in silent.items():
            assert '"connected"' in knock.stdout.readline(), f"the silent peer could not connect to {port}"
        # The next peers come once copy 5 has taken the silent ones.
        self.wait_for("copy 5 to take the silent peers", lambda: {
            port for state, port, peer, mine in sockets(self.copies[5].pid)
            if mine and state == "ESTAB" and peer.startswith(peer_address(4) + ":")} >= {1050, 1100})
        asker = self.client_in_background("p4", "ask", address, "shared",
                                          "--until", str(SEARCH_REQUEST + SLACK))
        fetcher = self.client_in_background("p4", "fetch", address, entry(address, "shared-by-5.txt"),
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
        # Copy 2 knows copy 1 and itself: "shared" lists copy 1's file and
        # its own. One search and download first, so that the windows and
        # anything made on first use exist before counting.
        pid = self.copies[2].pid
        sources = [(peer_address(1), "shared-by-1.txt", b"one\r\n"), (peer_address(2), "shared-by-2.txt", b"two\r\n")]
        self.open_search(2)
        self.search(2, "shared", expect=[entry(a, name) for a, name, _ in sources])
        self.fetch_by_double_click(2, *sources[0])
        try:
            self.wait_for("copy 2 to close its connections", lambda: not self.connections(2))
        except AssertionError as failure:
            raise AssertionError(f"{failure}: {self.connections(2)}")
        before = self.open_fds(pid)

        asked_1 = self.accepted(1)
        downloads = 0
        for i in range(50):
            self.search_again(2, i + 1)
            if i % 5 < 2:
                # Deleted first, so that only this download can bring it back.
                address, name, content = sources[downloads % 2]
                path = self.target(2, address, name)
                if os.path.exists(path):
                    os.remove(path)
                self.fetch_by_double_click(2, address, name, content)
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
        path = self.target(2, peer_address(1), "big-by-1.bin")
        self.search(2, "big-by-1", expect=[entry(peer_address(1), "big-by-1.bin")])
        self.double_click(2, entry(peer_address(1), "big-by-1.bin"))
        # Killed as soon as bytes arrive, so that most of the file is still to come.
        self.wait_for("the big download to start", lambda: os.path.exists(path) and os.path.getsize(path) > 0,
                      timeout=10, step=0.002)
        os.kill(self.copies[1].pid, signal.SIGKILL)
        self.copies[1].wait(timeout=5)

        # Once copy 2 has let the dead connection go, the file is all it gets.
        self.wait_for("copy 2 to let the dead peer go", lambda: not self.downloading(2))
        size = os.path.getsize(path)
        if size >= BIG:
            raise AssertionError("the whole file arrived before the kill; the check saw no fault")
        block = self.big_block
        with open(path, "rb") as f:
            for offset in range(0, size, len(block)):
                piece = f.read(len(block))
                assert piece == block[:len(piece)], f"the partial file differs from the source after byte {offset}"
        assert self.alive(2), "the downloading copy ended when its peer died"

        # Its listeners answer another host; its own window searches and
        # downloads again (copy 1 now refuses).
        answer = self.ask("p4", peer_address(2), "shared-by-2")
        assert answer.get("text") == "shared-by-2.txt", f"its search listener: {answer}"
        served = self.fetch("p4", peer_address(2), "shared-by-2.txt")
        assert served.get("length") == 5, f"its transfer listener: {served}"
        own = entry(peer_address(2), "shared-by-2.txt")
        self.search(2, "shared", expect=[own])
        os.remove(self.target(2, peer_address(2), "shared-by-2.txt"))
        self.fetch_by_double_click(2, peer_address(2), "shared-by-2.txt", b"two\r\n")
        return f"{size / (1 << 20):.0f} of {BIG >> 20} MB kept; copy 2 answers and downloads again"

    def start_evil_peer(self):
        self.evil_log = os.path.join(self.work, "evil.log")
        self.spawn(*self.netns("p4", "/usr/bin/python3", os.path.abspath(__file__), "evil-peer", EVIL,
                               self.evil_log), log=os.path.join(self.work, "evil-stdout.log"))
        self.wait_for("the hostile peer to listen", lambda: "listening" in self.evil_said())

    def evil_said(self):
        if not os.path.exists(self.evil_log):
            return ""
        with open(self.evil_log, errors="replace") as f:
            return f.read()

    def dead_directory_entry(self):
        # The dead address is asked first; copy 3's own file is the last entry
        # of the search, so its coming shows that the search went on.
        with open(os.path.join(self.folders[3], "IP.txt"), "rb") as f:
            assert f.read().startswith(record(DEAD)), "copy 3 does not know the dead address first"
        self.open_search(3)
        self.type_into(3, self.widget(3, "search text", SEARCH_TITLE), "shared")
        button = self.widget(3, "Search", SEARCH_TITLE)
        started = time.monotonic()
        self.click(3, button)
        own = entry(peer_address(3), "shared-by-3.txt")
        self.wait_for("copy 3's own entry", lambda: own in self.results(3), timeout=SEARCH_CONNECT + 2 * SLACK)
        took = time.monotonic() - started
        assert took <= SEARCH_CONNECT + SLACK, f"the search took {took:.1f} s past a dead address"
        self.fetch_by_double_click(3, peer_address(3), "shared-by-3.txt", b"three\r\n")
        self.fetch_by_double_click(3, peer_address(2), "shared-by-2.txt", b"two\r\n")
        return f"the last peer's entry was listed {took:.1f} s after Search; it and the live peer's downloaded"

    def hostile_peer(self):
        # A directory named like the entries of the hostile peer, so that a
        # "/../" name would really climb out of Downloads if it were opened.
        trap = os.path.join(self.folders[3], "Downloads", entry(EVIL, ""))
        os.mkdir(trap)
        self.type_into(3, self.widget(3, "search text", SEARCH_TITLE), "evil")
        self.click(3, self.widget(3, "Search", SEARCH_TITLE))
        # The hostile peer sends the next name once copy 3 lists the last.
        for i, name in enumerate(EVIL_NAMES[:-1]):
            self.wait_for(f"the hostile peer to send name {i}", lambda: f"sent {i}\n" in self.evil_said(),
                          timeout=SEARCH_CONNECT + SLACK)
            self.result(3, entry(EVIL, name))
            open(os.path.join(self.work, f"evil-go-{i}"), "wb").close()
        # The long name arrives in pieces, and each piece is an entry.
        head = entry(EVIL, "")
        pieces = self.wait_for("the long name in full", lambda: (
            lambda rows: rows if "".join(r[len(head):] for r in rows) == EVIL_NAMES[-1] else None)(
                self.results(3)[len(EVIL_NAMES) - 1:]))

        for e in [entry(EVIL, name) for name in ("../escaped-evil.txt", "/../../escaped-evil.txt", "..")] + pieces:
            self.double_click(3, e)
        # The endless file comes after the refused ones: its download starting
        # shows that the double clicks above have been handled.
        endless = self.target(3, EVIL, "endless-evil.bin")
        self.double_click(3, entry(EVIL, "endless-evil.bin"))
        self.wait_for("the endless download", lambda: os.path.exists(endless) and os.path.getsize(endless) > 1 << 20)
        downloads = os.path.join(self.folders[3], "Downloads")
        escaped = [os.path.join(d, f) for d, _, files in os.walk(self.work) for f in files
                   if "escaped" in f and os.path.commonpath([d, downloads]) != downloads]
        assert not escaped, f"files made outside Downloads from hostile names: {escaped}"
        assert not os.listdir(trap), f"files made inside {trap}: {os.listdir(trap)}"
        assert self.alive(3), "copy 3 ended on the hostile names"

        # While the stream pours in, the copy answers another host and its
        # user can leave.
        answer = self.ask("p5", peer_address(3), "shared")
        assert answer.get("text") == "shared-by-3.txt", f"copy 3's search listener during the stream: {answer}"
        size = os.path.getsize(endless)
        self.wait_for("the stream to go on", lambda: os.path.getsize(endless) > size, timeout=5)
        self.exit(3)
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
        self.exit(2)
        refused = self.ended_within(2, bound)
        self.run("ip", "-n", self.ns("dir"), "link", "set", "eth0", "down")
        self.exit(5)
        unanswered = self.ended_within(5, bound)
        assert self.directory_file() == before, "the central file changed"
        return (f"File > Exit ended the copies in {refused:.1f} s (server stopped) and {unanswered:.1f} s "
                f"(host gone); central file untouched")


# --- the hostile peer -------------------------------------------------------

def evil_peer(address, log_path):
    """Listens like a copy on 1050 and 1100 and answers like none should.

    It sends its names one at a time: the next once the file evil-go-<i>
    beside its log says that the asking copy lists name i (or after a
    while, for a copy that nobody watches). The last, long one arrives in
    as many pieces as TCP makes of it.
    """
    log = open(log_path, "a", buffering=1)
    lock = threading.Lock()
    folder = os.path.dirname(log_path)

    def note(text):
        with lock:
            log.write(text + "\n")

    def answer_search(conn):
        with conn:
            conn.settimeout(10)
            query = conn.recv(4096).decode("cp1252", "replace")
            note(f"query {query[:80]}")
            if "evil" in query:
                for i, name in enumerate(EVIL_NAMES):
                    conn.sendall(name.encode("cp1252"))
                    note(f"sent {i}")
                    go = os.path.join(folder, f"evil-go-{i}")
                    try:
                        if i < len(EVIL_NAMES) - 1:
                            wait_for(f"the go for name {i}", lambda: os.path.exists(go), timeout=WAIT)
                    except AssertionError:
                        note(f"no go for name {i}")
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

    def serve(listener, handler):
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=handler, args=(conn,), daemon=True).start()

    for port, handler in ((1050, answer_search), (1100, answer_request)):
        listener = socket.create_server((address, port))
        threading.Thread(target=serve, args=(listener, handler), daemon=True).start()
    note("listening")
    threading.Event().wait()


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
