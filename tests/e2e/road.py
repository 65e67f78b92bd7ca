"""The road of the program as its users meet it, on real processes.

Three copies of Ferrin1, each in a network namespace of its own, register in
a real FTP directory server in a fourth, find each other's files through the
search window, download one byte-exact, and leave through File > Exit and
through a kill (SIGTERM), which takes a copy out of the directory too and
resets the upload it is still sending. Every
click and key goes through the X server (xdotool), at widgets found on the
accessibility bus by role and name, as a user's pointer would find them.

Exit status 77 (skipped) where network namespaces cannot be made.
"""

import hashlib
import json
import os
import signal
import subprocess
import sys

import e2elib
from e2elib import Session, entry, peer_address, run_test

PEERS = {n: peer_address(n) for n in (1, 2, 3)}
BIG = 256 << 20


class Road(Session):
    def main(self):
        self.start_network()
        self.start_display()
        self.start_directory()

        payload = os.urandom(300_000) + bytes(range(256))
        folders = {}
        files = {1: {"shared-by-1.txt": b"one\r\n"},
                 2: {"shared-by-2.txt": b"two\r\n", "payload.bin": payload},
                 3: {"shared-by-3.txt": b"three\r\n"}}
        for n in (1, 2, 3):
            folders[n] = self.program_folder(n, files[n])
            self.start_peer(n, folders[n], n - 1)
        # Larger than every buffer between two hosts; sparse, so made at once.
        with open(os.path.join(folders[2], "Shared", "big.bin"), "wb") as f:
            f.truncate(BIG)

        expected = b"".join(b'"%s"\r\n0\r\n' % PEERS[n].encode() for n in (1, 2, 3))
        assert self.directory_file() == expected, self.directory_file()
        print("registered: three two-line records in order")

        # Peer 3 knows all three. "shared" matches one file on each; the
        # entries come in table order, peer 3's own last.
        shared = [entry(PEERS[n], f"shared-by-{n}.txt") for n in (1, 2, 3)]
        self.open_search(3)
        self.search(3, "shared", expect=shared)
        assert self.results(3) == shared, self.results(3)
        for n, e in zip((1, 2, 3), shared):
            path = os.path.join(folders[3], "Downloads", e)
            self.double_click(3, e)
            self.wait_for(f"download of {e}", lambda: os.path.exists(path)
                          and open(path, "rb").read() == files[n][f"shared-by-{n}.txt"])
        print("search from peer 3 listed the files of peers 1, 2 and 3, in table order; each downloaded")

        e = entry(PEERS[2], "payload.bin")
        self.search(3, "payload", expect=[e])
        path = os.path.join(folders[3], "Downloads", e)
        self.double_click(3, e)
        digest = hashlib.sha256(payload).hexdigest()
        self.wait_for("the binary download", lambda: os.path.exists(path)
                      and hashlib.sha256(open(path, "rb").read()).hexdigest() == digest)
        print("binary file downloaded byte-exact from peer 2")
        self.check_progress_list(3, payload)

        # Exit on peer 1 removes exactly its records.
        self.exit(1)
        self.wait_for("peer 1 to end", lambda: self.copies[1].poll() is not None)
        rest = b"".join(b'"%s",0\r\n' % PEERS[n].encode() for n in (2, 3))
        assert self.directory_file() == rest, self.directory_file()
        print("exit of peer 1 removed its records; the rest written one per line")

        # Peer 3 still answers peer 2 on the search port.
        answer = self.client("p2", "ask", PEERS[3], "shared").get("text")
        assert answer == "shared-by-3.txt", answer
        print("peer 3 still answers peer 2")

        # A kill ends peer 2 as File > Exit would: its record goes, peer 3's
        # stays. A download from it that is still going on ends in a reset,
        # not in the close that would mark the end of the file.
        stalled = subprocess.Popen(
            self.netns("p3", "/usr/bin/python3", os.path.abspath(e2elib.__file__), "stall", PEERS[2], entry(PEERS[2], "big.bin")),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=self.env)
        assert "receiving" in stalled.stdout.readline(), "the download from peer 2 did not start"
        os.kill(self.copies[2].pid, signal.SIGTERM)
        self.wait_for("peer 2 to end", lambda: self.copies[2].poll() is not None)
        assert self.copies[2].returncode == 0, f"peer 2 ended with {self.copies[2].returncode}"
        only3 = b'"%s",0\r\n' % PEERS[3].encode()
        assert self.directory_file() == only3, self.directory_file()
        cut = json.loads(stalled.communicate("go\n", timeout=60)[0].strip().splitlines()[-1])
        assert cut["end"] == "reset" and 0 < cut["length"] < BIG, f"the download from peer 2 ended so: {cut}"
        print(f"SIGTERM to peer 2 took its record out, peer 3's stayed; its upload ended in a reset "
              f"after {cut['length']} bytes")

        # A second signal while the exit waits for the directory ends the
        # copy at once; the directory is left as it was.
        self.set_faults({"retr_delay": 30})
        asked = self.directory_log().count(b"RETR asked")
        os.kill(self.copies[3].pid, signal.SIGTERM)
        self.wait_for("peer 3's exit to ask for the directory",
                      lambda: self.directory_log().count(b"RETR asked") > asked)
        os.kill(self.copies[3].pid, signal.SIGTERM)
        self.wait_for("peer 3 to end", lambda: self.copies[3].poll() is not None, timeout=5)
        assert self.copies[3].returncode == 128 + signal.SIGTERM, f"peer 3 ended with {self.copies[3].returncode}"
        assert self.directory_file() == only3, self.directory_file()
        print("a second SIGTERM during the exit ended peer 3 at once")

    def check_progress_list(self, n, payload):
        """The "Downloads:" window, as a screen reader reads it, after a download:
        "Connected!", one line per byte with its value, and "Done!"."""
        self.menu(n, "Window", "Download Progress")
        ends = list(range(0, 65)) + list(range(-65, 0))
        count, lines = self.wait_for("the progress list to end with \"Done!\"", lambda: (
            lambda read: read if read[1].get(-1) == "Done!" else None)(self.progress_lines(n, ends)))
        assert count == len(payload) + 2, f"{count} lines for {len(payload)} bytes"
        expected = {i: ("Connected!" if i == 0 else "Done!" if i == -1 else str(payload[i - 1 if i > 0 else i + 1]))
                    for i in ends}
        wrong = {i: (lines.get(i), want) for i, want in expected.items() if lines.get(i) != want}
        assert not wrong, f"progress lines (index: read, expected): {wrong}"
        print(f"the progress list reads {count} lines on the accessibility bus: \"Connected!\", the bytes, \"Done!\"")


def main():
    status = run_test(Road)
    if status == 0:
        print("1 passed, 0 failed")
    return status


if __name__ == "__main__":
    sys.exit(main())
