"""The road of the program as its users meet it, on real processes.

Three copies of Ferrin1, each in a network namespace of its own, register in
a real FTP directory server in a fourth, find each other's files through the
search window, download one byte-exact, and leave through File > Exit. Every
click and key goes through the X server (xdotool), as a user's would.

Exit status 77 (skipped) where network namespaces cannot be made.
"""

import hashlib
import os
import sys

from e2elib import MENU_FILE, MENU_WINDOW, Session, peer_address, run_test

PEERS = {n: peer_address(n) for n in (1, 2, 3)}


class Road(Session):
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
        answer = self.client("ferrin-p2", "ask", PEERS[3], "shared").get("text")
        assert answer == "shared-by-3.txt", answer
        print("peer 3 still answers peer 2")


def main():
    status = run_test(Road)
    if status == 0:
        print("1 passed, 0 failed")
    return status


if __name__ == "__main__":
    sys.exit(main())
