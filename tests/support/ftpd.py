"""The central directory's FTP server for tests: Debian's pyftpdlib with one
account, on 127.0.0.1 (or --address), on a port the system picks (or --port),
printed once it listens.

Faults are read from a JSON file (--faults) at each command they touch, so a
test can arm them while the server runs. Counters count down as they fire:

    retr_fail      N   the next N downloads are answered "451 local error"
    retr_truncate  N   the next N downloads send half the file, then "226"
    retr_delay     S   every download is held back S seconds, with the file
                       as it was when the download was asked for
    retr_delay_match T only downloads whose name holds the text T are held
                       back by retr_delay
    stor_cut       N   the next N uploads (STOR) stop writing after half the
                       bytes, as on a full disk
    appe_cut       N   the same for appends (APPE)
    drop_sessions  N   close every open session at once, as a restarted
                       server would (checked every 50 ms), and print
                       "dropped N sessions"
    appe_refuse    N   the next N appends are refused before any data, as a
                       server that permits no append: "451 ... Append/Restart
                       not permitted, try again"
    appe_delay     S   every append is held back S seconds before it starts
    rnto_exists    N   the next N renames onto a file that exists are
                       refused, as on servers that never replace a file by a
                       rename: "550 Cannot create a file when that file
                       already exists."
    size_refuse    N   the next N SIZE commands are answered "502", as by a
                       server that does not tell sizes
    stor_short     N   the next N uploads (STOR) keep their first 8 bytes,
                       drop the rest and still answer "226"
    retr_swap      T   right after the next download of IP.txt has been read,
                       the file's bytes become the text T, and its
                       modification time stays as it was: a change of the
                       same size within the same second
    dele_refuse    N   the next N deletes are answered "550"
    hold_226       S   every download (RETR) and upload (STOR, APPE) that
                       ends well has its data sent and its data connection
                       closed as usual, and its "226" reply held back S
                       seconds, as from an overloaded server
    stor_delay     S   every upload (STOR) straight over IP.txt empties the
                       file at once, as any server does when it opens it,
                       and takes its data S seconds later: an upload caught
                       in its middle
    quit_delay     S   the reply to QUIT is held back S seconds

    python3 ftpd.py --home DIR [--address A] [--port P] [--faults FILE]
"""

import argparse
import errno
import io
import json
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, FileProducer
from pyftpdlib.servers import FTPServer

USER = "Ferrin_1"
PASSWORD = "Vantor"


class Faults:
    def __init__(self, path):
        self.path = path

    def _load(self):
        if not self.path or not os.path.exists(self.path):
            return {}
        try:
            with open(self.path) as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    def take(self, name):
        """Whether the counter fires now; counts it down if so."""
        faults = self._load()
        left = int(faults.get(name, 0))
        if left <= 0:
            return False
        faults[name] = left - 1
        with open(self.path + ".new", "w") as f:
            json.dump(faults, f)
        os.replace(self.path + ".new", self.path)
        return True

    def value(self, name):
        return float(self._load().get(name, 0))

    def pop(self, name):
        """The fault's value, once: it is disarmed when read."""
        faults = self._load()
        if name not in faults:
            return None
        value = faults.pop(name)
        with open(self.path + ".new", "w") as f:
            json.dump(faults, f)
        os.replace(self.path + ".new", self.path)
        return value


class FullDisk:
    """A file that takes `room` bytes and then reports a full disk."""

    def __init__(self, fd, room):
        self.fd = fd
        self.room = room
        self.name = fd.name
        self.closed = False

    def write(self, data):
        if len(data) > self.room:
            self.fd.write(data[: self.room])
            self.room = 0
            self.fd.flush()
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        self.room -= len(data)
        return self.fd.write(data)

    def close(self):
        self.closed = True
        self.fd.close()

    def __getattr__(self, name):
        return getattr(self.fd, name)


class ShortFile(FullDisk):
    """A file that keeps `room` bytes and silently drops the rest."""

    def write(self, data):
        kept = data[: self.room]
        self.room -= len(kept)
        if kept:
            self.fd.write(kept)
        return len(data)


class HoldingDTPHandler(DTPHandler):
    """A data channel whose "226" can be held back (hold_226)."""

    def close(self):
        hold = 0.0
        if not self._closed and self._resp and self._resp[0].startswith("226"):
            hold = self.cmd_channel.faults.value("hold_226")
        if hold <= 0:
            return super().close()
        # The data connection and the file close now, as usual; only the
        # reply waits.
        reply, logfun = self._resp
        self._resp = None
        session = self.cmd_channel
        super().close()
        session.log("226 held %g s" % hold)

        def answer():
            if session.connected:
                session.respond(reply, logfun=logfun)

        session.ioloop.call_later(hold, answer, _errback=session.handle_error)
        return None


class Handler(FTPHandler):
    faults = None
    dtp_handler = HoldingDTPHandler

    def _faults_text(self, name):
        value = self.faults._load().get(name)
        return value if isinstance(value, str) else None

    def ftp_QUIT(self, line):
        # Logged, so that a test can tell a goodbye from a dropped connection.
        self.log("QUIT")
        delay = self.faults.value("quit_delay")
        if delay > 0:
            self.ioloop.call_later(delay, lambda: self.connected and super(Handler, self).ftp_QUIT(line),
                                   _errback=self.handle_error)
            return None
        return super().ftp_QUIT(line)

    def ftp_RETR(self, file):
        # Logged when asked, so that a test knows a download is under way.
        self.log("RETR asked")
        if self.faults.take("retr_fail"):
            self.respond("451 Requested action aborted: local error in processing.")
            return None
        try:
            with self.run_as_current_user(self.fs.open, file, "rb") as fd:
                data = fd.read()
        except Exception as err:  # same answer as pyftpdlib's own
            self.respond("550 %s." % getattr(err, "strerror", str(err)))
            return None
        if self.faults.take("retr_truncate"):
            data = data[: len(data) // 2]
        if os.path.basename(file) == "IP.txt":
            swap = self.faults.pop("retr_swap")
            if swap is not None:
                times = os.stat(file)
                with open(file, "wb") as f:
                    f.write(swap.encode("latin-1"))
                os.utime(file, ns=(times.st_atime_ns, times.st_mtime_ns))
        delay = self.faults.value("retr_delay")
        match = self._faults_text("retr_delay_match")
        if match and match not in os.path.basename(file):
            delay = 0

        def send():
            if not self.connected:
                return
            fd = io.BytesIO(data)
            fd.name = file
            self.push_dtp_data(FileProducer(fd, self._current_type), isproducer=True, file=fd, cmd="RETR")

        if delay > 0:
            self.ioloop.call_later(delay, send, _errback=self.handle_error)
        else:
            send()
        return file

    def ftp_APPE(self, file):
        if self.faults.take("appe_refuse"):
            self.respond("451 %s: Append/Restart not permitted, try again" % os.path.basename(file))
            return None
        delay = self.faults.value("appe_delay")
        if delay > 0:
            self.ioloop.call_later(delay, lambda: self.connected and super(Handler, self).ftp_APPE(file),
                                   _errback=self.handle_error)
            return file
        return super().ftp_APPE(file)

    def ftp_RNTO(self, path):
        if os.path.exists(path) and self.faults.take("rnto_exists"):
            self._rnfr = None
            self.respond("550 Cannot create a file when that file already exists.")
            return None
        return super().ftp_RNTO(path)

    def ftp_SIZE(self, path):
        if self.faults.take("size_refuse"):
            self.respond("502 Command not implemented.")
            return None
        return super().ftp_SIZE(path)

    def ftp_DELE(self, path):
        if self.faults.take("dele_refuse"):
            self.respond("550 Permission denied.")
            return None
        return super().ftp_DELE(path)

    def ftp_STOR(self, file, mode="w"):
        delay = self.faults.value("stor_delay")
        if delay > 0 and "a" not in mode and os.path.basename(file) == "IP.txt":
            open(file, "wb").close()
            self.log("STOR held %g s" % delay)
            self.ioloop.call_later(delay, lambda: self.connected and self._store(file, mode),
                                   _errback=self.handle_error)
            return file
        return self._store(file, mode)

    def _store(self, file, mode):
        result = super().ftp_STOR(file, mode)
        if result is None:
            return result
        if "a" not in mode and self.faults.take("stor_short"):
            wrap = ShortFile
        elif self.faults.take("appe_cut" if "a" in mode else "stor_cut"):
            wrap = FullDisk
        else:
            return result
        # Half of what is coming fits; the size is not known in advance, so
        # the cut comes after the first half of the client's first block.
        room = 8
        if self.data_channel is not None and self.data_channel.file_obj is not None:
            self.data_channel.file_obj = wrap(self.data_channel.file_obj, room)
        elif self._in_dtp_queue is not None:
            fd, cmd = self._in_dtp_queue
            self._in_dtp_queue = (wrap(fd, room), cmd)
        return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--home", required=True)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--faults")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user(USER, PASSWORD, args.home, perm="elradfmwMT")
    Handler.authorizer = authorizer
    Handler.faults = Faults(args.faults)
    server = FTPServer((args.address, args.port), Handler)

    def drop_sessions():
        # Closed first, told after: a test that waits for the line finds the
        # sessions gone.
        if not Handler.faults.take("drop_sessions"):
            return
        sessions = [channel for channel in server.ioloop.socket_map.values() if isinstance(channel, FTPHandler)]
        for channel in sessions:
            channel.close()
        print("dropped %d sessions" % len(sessions), flush=True)

    server.ioloop.call_every(0.05, drop_sessions)
    print("listening on %s:%d" % (args.address, server.address[1]), flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
