"""What every end-to-end test of Ferrin1 needs, on real processes.

A private network of network namespaces (scripts/testnet.sh), an X server
(Xvfb) with a session bus and an accessibility bus of its own, the directory
server (pyftpdlib on the directory host), program folders laid out as
`cmake --install` makes them, and the pointer and keys of a user (xdotool),
aimed at widgets that the accessibility bus finds by role and name.

Everything a run makes is its own: namespaces named after the run's process
id (ferrin-<pid>-dir, ferrin-<pid>-p1, ...), a display and buses that no other
run uses, and at its end it ends the processes it started, by their ids, and
deletes its namespaces. Runs side by side, of one checkout or of several, do
not meet.

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
import ctypes
import hashlib
import importlib.util
import json
import os
import select
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
DIRECTORY_PORT = 2121
SEARCH_PORT = 1050
TRANSFER_PORT = 1100
WAIT = 20.0  # seconds any one step may take before a test gives up
POLL = 0.02  # seconds between two looks at a condition
SEPARATOR = "\u00a7"

# The widgets the tests touch, by the accessible role and name the program
# gives them: a contract between the windows and these tests. The lookup by
# role and name is find(); a widget that is to change its name or role
# changes here.
WIDGETS = {
    "Connect": ("push button", "Connect"),
    "search text": ("text", "Search text"),
    "Search": ("push button", "Search"),
    "search results": ("list", "Search results"),
    "download progress": ("list", "Download progress"),
}
# The windows they live in, by title: the main window and its children.
MAIN_TITLE = "Ferrin"
SEARCH_TITLE = "Search"
PROGRESS_TITLE = "Downloads:"
# Roles whose children are rows, not widgets: a lookup of a widget never
# walks into them.
ROW_HOLDERS = {"list", "list box", "table", "tree", "tree table"}

# Where each peer's main window goes, so that no two overlap.
SLOTS = {1: (700, 0), 2: (700, 450), 3: (0, 450), 5: (0, 0)}
SCREEN = (1280, 1024)
AT_SPI_BUS_LAUNCHERS = ("/usr/libexec/at-spi-bus-launcher", "/usr/lib/at-spi2-core/at-spi-bus-launcher")


def peer_address(n):
    return f"10.231.0.1{n}"


def record(address):
    """One record of IP.txt as a copy writes it at start-up."""
    return b'"%s"\r\n0\r\n' % address.encode()


def entry(address, name):
    """A result entry as the search window lists it."""
    return f"{address}{SEPARATOR}{name}"


def wait_for(what, predicate, timeout=WAIT, step=POLL):
    """Polls predicate until it returns something true, for at most timeout s."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(step)


class Session:
    """One test's network, display, buses, directory server and program copies.

    Every process it starts is ended by close(), whatever happened before.
    """

    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.run_id = str(os.getpid())
        self.procs = []
        self.copies = {}
        self.display = None
        self.directory = None
        self.desktop = None
        self.env = dict(os.environ)
        # Copies run on the X server of this run, whatever the caller's
        # environment says.
        self.env.pop("QT_QPA_PLATFORM", None)
        self.env["XDG_RUNTIME_DIR"] = work

    # --- plumbing ---------------------------------------------------------

    def run(self, *cmd, check=True, capture=True, timeout=None):
        return subprocess.run(cmd, check=check, text=True, timeout=timeout,
                              stdout=subprocess.PIPE if capture else None,
                              stderr=subprocess.STDOUT if capture else None,
                              env=self.env)

    def spawn(self, *cmd, log, stdout=None):
        """Starts a process of this run; what it says goes to log (its
        standard output to stdout, where that is given)."""
        out = open(log, "wb")
        proc = subprocess.Popen(cmd, stdout=stdout or out, stderr=out, env=self.env)
        self.procs.append(proc)
        return proc

    def ns(self, host):
        """The namespace of a host of this run: "dir" or "p1" to "p9"."""
        return f"ferrin-{self.run_id}-{host}"

    def netns(self, host, *cmd):
        return [self.args.testnet, "exec", self.ns(host), *cmd]

    def wait_for(self, what, predicate, timeout=WAIT, step=POLL):
        return wait_for(what, predicate, timeout, step)

    def xdo(self, *args):
        return self.run("xdotool", *map(str, args)).stdout.strip()

    def downloading(self, n):
        """Whether copy n has a connection open to some peer's upload port."""
        return any(mine and peer.endswith(f":{TRANSFER_PORT}") and state != "TIME-WAIT"
                   for state, _, peer, mine in sockets(self.copies[n].pid))

    def accepted(self, n):
        """How many connections the host of copy n has accepted so far."""
        with open(f"/proc/{self.copies[n].pid}/net/snmp") as f:
            lines = f.read().splitlines()
        names, values = [line.split() for line in lines if line.startswith("Tcp:")]
        return int(values[names.index("PassiveOpens")])

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
        result = self.run(self.args.testnet, "up", self.run_id, str(peers), check=False)
        if result.returncode != 0:
            print("cannot make network namespaces here:", result.stdout)
            sys.exit(SKIP)

    def start_display(self):
        """An X server of this run, with its session and accessibility buses."""
        # After start_network: the display is tried from inside a namespace.
        # A display of its own with a lock file: an X server started meanwhile
        # by someone else then keeps off it, instead of replacing its socket
        # file (which the copies in the namespaces need: the abstract socket
        # is per network namespace). Xvfb clears locks of dead servers itself.
        for number in range(100, 200):
            if _held(f"/tmp/.X{number}-lock"):
                continue
            xvfb = self.spawn("Xvfb", f":{number}", "-screen", "0", f"{SCREEN[0]}x{SCREEN[1]}x24",
                              "-nolisten", "tcp", log=os.path.join(self.work, "xvfb.log"))
            self.display = f":{number}"
            self.env["DISPLAY"] = self.display
            # The display is this run's once its lock names this server: a
            # server that another run started there a moment earlier would
            # answer as well.
            self.wait_for("the X server", lambda: xvfb.poll() is not None
                          or _held(f"/tmp/.X{number}-lock") == xvfb.pid
                          and self.run(*self.netns("dir", "xdpyinfo"), check=False).returncode == 0)
            if xvfb.poll() is None:
                self.start_buses()
                return
            # Another server took this display first.
            self.procs.remove(xvfb)
        raise AssertionError("no free X display")

    def start_buses(self):
        """A session bus and an accessibility bus for this run's display.

        Both listen on socket files, not abstract sockets, which the copies
        in the namespaces could not reach. The copies and this process find
        the accessibility bus through the session bus.
        """
        bus = os.path.join(self.work, "session-bus")
        dbus = self.spawn("dbus-daemon", "--session", "--nofork", f"--address=unix:path={bus}",
                          "--print-address=1", log=os.path.join(self.work, "dbus.log"), stdout=subprocess.PIPE)
        # Its address, on a line of its own, says that it listens.
        self.wait_for("the session bus", lambda: select.select([dbus.stdout], [], [], 0)[0] or dbus.poll() is not None)
        address = dbus.stdout.readline().decode().strip()
        if not address:
            raise AssertionError("the session bus did not start")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        launcher = next((p for p in AT_SPI_BUS_LAUNCHERS if os.path.exists(p)), None)
        if launcher is None:
            raise AssertionError("no at-spi-bus-launcher (Debian: at-spi2-core)")
        self.spawn(launcher, "--launch-immediately", "--a11y=1", log=os.path.join(self.work, "at-spi.log"))
        self.wait_for("the accessibility bus", self.accessibility_bus)
        # Qt serves the bus without a screen reader asking for it first.
        self.env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        # This process reads the bus through libatspi, which takes the
        # session bus from its own environment, once.
        for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):
            os.environ[name] = self.env[name]
        os.environ.pop("AT_SPI_BUS_ADDRESS", None)
        self.env.pop("AT_SPI_BUS_ADDRESS", None)
        import pyatspi
        from gi.repository import GLib
        pyatspi.setTimeout(10_000, 15_000)
        self.pyatspi = pyatspi
        self.events = GLib.MainContext.default()
        self.desktop = pyatspi.Registry.getDesktop(0)

    def catch_up(self):
        """Takes in what the accessibility bus has announced meanwhile.

        libatspi keeps what it has read (applications, children, names) and
        learns of changes through the bus's events, which come in only here.
        """
        while self.events.pending():
            self.events.iteration(False)

    def accessibility_bus(self):
        """The accessibility bus's address, once its launcher has it, or None."""
        from gi.repository import Gio, GLib
        try:
            bus = Gio.DBusConnection.new_for_address_sync(
                self.env["DBUS_SESSION_BUS_ADDRESS"],
                Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
                None, None)
            try:
                def call(name, path, interface, method, args, reply):
                    return bus.call_sync(name, path, interface, method, args, GLib.VariantType(reply),
                                         Gio.DBusCallFlags.NO_AUTO_START, 5000, None).unpack()[0]
                if not call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                            "NameHasOwner", GLib.Variant("(s)", ("org.a11y.Bus",)), "(b)"):
                    return None
                return call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None, "(s)") or None
            finally:
                bus.close_sync(None)
        except GLib.Error:
            return None

    def start_directory(self):
        home = os.path.join(self.work, "ftp")
        if not os.path.isdir(home):  # a server started again keeps its file
            os.makedirs(home)
            open(os.path.join(home, "IP.txt"), "wb").close()
        # pyftpdlib, through the tests' own script, so that a test can make
        # the server slow (set_faults).
        script = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(self.args.testnet))),
                              "tests", "support", "ftpd.py")
        self.directory = self.spawn(*self.netns("dir", "/usr/bin/python3", script, "--home", home,
                                                "--address", DIRECTORY, "--port", str(DIRECTORY_PORT),
                                                "--faults", self.faults_file()),
                                    log=os.path.join(self.work, "ftp.log"))
        self.wait_for("the directory server to listen", lambda: self.directory.poll() is not None or any(
            state == "LISTEN" and port == DIRECTORY_PORT and mine
            for state, port, _, mine in sockets(self.directory.pid)))
        if self.directory.poll() is not None:
            raise AssertionError("the directory server ended at start")

    def faults_file(self):
        return os.path.join(self.work, "faults.json")

    def set_faults(self, faults):
        """Arms faults of the directory server, as tests/support/ftpd.py lists them."""
        with open(self.faults_file() + ".new", "w") as f:
            json.dump(faults, f)
        os.replace(self.faults_file() + ".new", self.faults_file())

    def directory_log(self):
        with open(os.path.join(self.work, "ftp.log"), "rb") as f:
            return f.read()

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
        """Starts copy n and clicks "Connect"; returns the process."""
        proc = self.spawn(*self.netns(f"p{n}", os.path.join(folder, "Ferrin1")),
                          log=os.path.join(self.work, f"peer{n}.log"))
        self.copies[n] = proc
        self.click(n, self.widget(n, "Connect"))
        return proc

    def main_window(self, n):
        """Waits for copy n's main window and puts it in its slot."""
        main = self.wait_for(f"peer {n}'s main window", lambda: self.showing_main(n))
        # Once the start-up window has gone, the one window left is the main one.
        xid = self.wait_for(f"peer {n}'s main window on the X server",
                            lambda: (lambda xids: xids[0] if len(xids) == 1 else None)(self.x_windows(n)))
        self.xdo("windowmove", xid, *SLOTS[n])
        self.wait_for(f"peer {n}'s main window in its slot", lambda: self.extents(main)[:2] == SLOTS[n])
        return main

    def start_peer(self, n, folder, records_before):
        """Starts copy n, waits for its registration and its main window."""
        proc = self.launch(n, folder)
        self.wait_for(f"peer {n}'s registration",
                      lambda: self.directory_file().count(b"\r\n") >= 2 * (records_before + 1))
        self.main_window(n)
        return proc

    # --- the screen, through the accessibility bus ------------------------

    def application(self, n):
        """Copy n's application on the accessibility bus, or None."""
        pid = self.copies[n].pid
        self.catch_up()
        for app in self.children(self.desktop):
            try:
                if app.get_process_id() == pid:
                    return app
            except Exception:  # an application that has just ended
                continue
        return None

    def children(self, accessible):
        try:
            return [c for c in accessible if c is not None]
        except Exception:
            return []

    def role(self, accessible):
        return accessible.getRoleName()

    def showing(self, accessible):
        return accessible.getState().contains(self.pyatspi.STATE_SHOWING)

    def enabled(self, accessible):
        return accessible.getState().contains(self.pyatspi.STATE_ENABLED)

    def extents(self, accessible):
        e = accessible.queryComponent().getExtents(self.pyatspi.DESKTOP_COORDS)
        return (e.x, e.y, e.width, e.height)

    def find(self, root, role, name, showing=True):
        """The first widget under root with this role and name (None: any)."""
        self.catch_up()
        todo = [root]
        while todo:
            node = todo.pop(0)
            for child in self.children(node):
                try:
                    if showing and not self.showing(child):
                        continue
                    child_role = self.role(child)
                    if child_role == role and (name is None or child.name == name):
                        return child
                    if child_role not in ROW_HOLDERS:
                        todo.append(child)
                except Exception:  # a widget that has just gone
                    continue
        return None

    def window(self, n, title):
        """The showing child window of copy n's main window with this title, or None."""
        main = self.showing_main(n)
        if main is None:
            return None
        for role in ("frame", "internal frame"):
            found = self.find(main, role, title)
            if found is not None:
                return found
        return None

    def showing_main(self, n):
        """Copy n's main window, once it shows: the frame with the menu bar."""
        app = self.application(n)
        if app is None:
            return None
        for top in self.children(app):
            try:
                if self.role(top) == "frame" and self.showing(top) and self.find(top, "menu bar", None):
                    return top
            except Exception:
                continue
        return None

    def widget(self, n, what, title=None, timeout=WAIT):
        """Waits for one of copy n's widgets of WIDGETS to show; returns it.

        title is the window it lives in; without it, any of the copy's
        showing windows.
        """
        role, name = WIDGETS[what]

        def look():
            scope = self.window(n, title) if title else self.application(n)
            return self.find(scope, role, name) if scope is not None else None
        return self.wait_for(f"peer {n}'s {what!r} ({role} {name!r})", look, timeout=timeout)

    def rows(self, accessible, first=0, last=None):
        """The names of the rows of a list, from first to before last."""
        self.catch_up()
        count = accessible.childCount
        last = count if last is None else min(last, count)
        return [accessible.getChildAtIndex(i).name for i in range(max(first, 0), last)]

    def results(self, n):
        """The entries copy n's search window lists."""
        return self.rows(self.widget(n, "search results", SEARCH_TITLE))

    def result(self, n, text):
        """Waits for the result entry text in copy n's search window."""
        def look():
            found = self.widget(n, "search results", SEARCH_TITLE)
            for row in self.children(found):
                if row.name == text:
                    return row
            return None
        try:
            return self.wait_for(f"the entry {_short(text)} in peer {n}'s search results", look)
        except AssertionError as failure:
            raise AssertionError(f"{failure}; it lists {[_short(row) for row in self.results(n)]}")

    def progress_lines(self, n, indices):
        """Copy n's "Download progress" list as the accessibility bus reads it.

        Returns the number of its rows and {index: text} for the rows asked
        for (a negative index counts from the end). The list answers both at
        once however long it is: no row is read that was not asked for.
        """
        found = self.widget(n, "download progress", PROGRESS_TITLE)
        self.catch_up()
        count = found.childCount
        lines = {}
        for i in indices:
            at = i if i >= 0 else count + i
            if 0 <= at < count:
                lines[i] = found.getChildAtIndex(at).name
        return count, lines

    # --- the pointer and the keys -----------------------------------------

    def x_windows(self, n):
        """The X windows copy n shows with the main window's title."""
        return self.run("xdotool", "search", "--all", "--onlyvisible", "--pid", str(self.copies[n].pid),
                        "--name", f"^{MAIN_TITLE}$", check=False).stdout.split()

    def point(self, accessible):
        """The middle of the part of a widget that its windows let show."""
        x, y, w, h = self.extents(accessible)
        left, top, right, bottom = x, y, x + w, y + h
        node = accessible.parent
        # A pop-up menu is a window of its own, outside the menu it drops from.
        while node is not None and self.role(node) != "application" and self.role(accessible) != "popup menu":
            px, py, pw, ph = self.extents(node)
            if pw > 0 and ph > 0:
                left, top = max(left, px), max(top, py)
                right, bottom = min(right, px + pw), min(bottom, py + ph)
            accessible, node = node, node.parent
        left, top = max(left, 0), max(top, 0)
        right, bottom = min(right, SCREEN[0]), min(bottom, SCREEN[1])
        if right <= left or bottom <= top:
            return None
        return (left + right) // 2, (top + bottom) // 2

    def click(self, n, accessible, repeat=1):
        """Clicks the middle of a widget of copy n with the pointer.

        The pointer goes there first, and the click comes only when the
        window under it is copy n's: a window of another copy in the way
        fails the test instead of taking the click.
        """
        at = self.wait_for(f"{accessible.name!r} to show on the screen", lambda: self.point(accessible))
        self.xdo("mousemove", *at)
        under = dict(line.split("=", 1) for line in self.xdo("getmouselocation", "--shell").splitlines() if "=" in line)
        owner = self.run("xdotool", "getwindowpid", under.get("WINDOW", "0"), check=False).stdout.strip()
        if owner != str(self.copies[n].pid):
            raise AssertionError(f"a window of process {owner or '?'} covers peer {n}'s {accessible.name!r} at {at}")
        self.xdo("click", "--repeat", repeat, "--delay", 80, 1)

    def menu(self, n, title, item):
        """Chooses title > item in copy n's menu bar."""
        main = self.wait_for(f"peer {n}'s main window", lambda: self.showing_main(n))
        bar = self.find(main, "menu bar", None)
        entry_ = self.wait_for(f"the menu {title!r}", lambda: self.find(bar, "menu item", title))
        self.click(n, entry_)
        choice = self.wait_for(f"{title} > {item}", lambda: self.find(entry_, "menu item", item))
        self.click(n, choice)

    def type_into(self, n, accessible, text):
        """Clicks into a text box, replaces its text by typing, waits for it."""
        self.click(n, accessible)
        self.xdo("key", "ctrl+a")
        self.xdo("type", text)
        self.wait_for(f"{text!r} in the text box", lambda: accessible.queryText().getText(0, -1) == text)

    # --- what a user does -------------------------------------------------

    def open_search(self, n):
        self.menu(n, "Window", "Search")
        self.widget(n, "Search", SEARCH_TITLE)

    def search(self, n, text, expect=()):
        """Searches for text in copy n's search window and waits for the
        entries expect to be listed."""
        self.type_into(n, self.widget(n, "search text", SEARCH_TITLE), text)
        self.click(n, self.widget(n, "Search", SEARCH_TITLE))
        for e in expect:
            self.result(n, e)

    def double_click(self, n, text):
        """Double-clicks the result entry text in copy n's search window."""
        self.click(n, self.result(n, text), repeat=2)

    def exit(self, n):
        self.menu(n, "File", "Exit")

    # --- another host -----------------------------------------------------

    def client(self, host, *args, timeout=WAIT + 40):
        """Runs this file's client on a host; returns what it printed."""
        out = self.run(*self.netns(host, "/usr/bin/python3", os.path.abspath(__file__), *args),
                       timeout=timeout).stdout
        return json.loads(out.strip().splitlines()[-1])

    def client_in_background(self, host, *args):
        return subprocess.Popen(self.netns(host, "/usr/bin/python3", os.path.abspath(__file__), *args),
                                stdout=subprocess.PIPE, text=True, env=self.env)

    # --- the end ----------------------------------------------------------

    def close(self):
        """Ends every process of this run, by id, and deletes its namespaces."""
        # A polite end first: Xvfb removes its lock files only then. The
        # copies go first, the display and buses last.
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
        for proc in reversed(self.procs):
            _end(proc.pid, proc.wait)
        # What they started in turn and left behind (the accessibility
        # registry, started by its bus) came to this process, its subreaper.
        for pid in _descendants(os.getpid()):
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        for pid in _descendants(os.getpid()):
            _end(pid, lambda timeout, pid=pid: _reap(pid, timeout))
        # Those that ended by themselves meanwhile are collected too.
        while True:
            try:
                if os.waitpid(-1, os.WNOHANG)[0] == 0:
                    break
            except ChildProcessError:
                break
        subprocess.run([self.args.testnet, "down", self.run_id], check=False)


TCP_STATES = {1: "ESTAB", 2: "SYN-SENT", 3: "SYN-RECV", 4: "FIN-WAIT-1", 5: "FIN-WAIT-2", 6: "TIME-WAIT",
              7: "CLOSE", 8: "CLOSE-WAIT", 9: "LAST-ACK", 10: "LISTEN", 11: "CLOSING"}


def sockets(pid):
    """The IPv4 TCP sockets of the network namespace of process pid.

    Each is (state, local port, peer "a.b.c.d:port", whether pid holds it);
    a connection that waits in a listener's queue is held by nobody yet.
    """
    held = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            held.add(target[8:-1])

    def address(text):
        ip, port = text.split(":")
        return ".".join(str(b) for b in reversed(bytes.fromhex(ip))), int(port, 16)

    found = []
    with open(f"/proc/{pid}/net/tcp") as f:
        for line in f.read().splitlines()[1:]:
            fields = line.split()
            _, local_port = address(fields[1])
            peer_ip, peer_port = address(fields[2])
            found.append((TCP_STATES.get(int(fields[3], 16), fields[3]), local_port, f"{peer_ip}:{peer_port}",
                          fields[9] in held))
    return found


def _short(text, keep=60):
    """A text for a message: its start, and its length where it is long."""
    return repr(text) if len(text) <= keep else f"{text[:keep]!r}... ({len(text)} characters)"


def _end(pid, wait):
    """Waits a little for pid to end after SIGTERM, then kills it."""
    try:
        wait(timeout=3)
        return
    except subprocess.TimeoutExpired:
        pass
    try:
        os.kill(pid, signal.SIGKILL)
        wait(timeout=5)
    except (ProcessLookupError, subprocess.TimeoutExpired):
        pass


def _reap(pid, timeout):
    """Waits for a child of this process to end and collects it."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            done, _ = os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            return
        if done:
            return
        if time.monotonic() >= deadline:
            raise subprocess.TimeoutExpired(str(pid), timeout)
        time.sleep(POLL)


def _descendants(root):
    """The process ids under root, children first."""
    children = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[0] != "Z":
            children.setdefault(int(fields[1]), []).append(int(name))
    found, todo = [], [root]
    while todo:
        for child in children.get(todo.pop(0), []):
            found.append(child)
            todo.append(child)
    return found


def _held(lock):
    """The process id of the running server that holds an X lock file, or 0."""
    try:
        with open(lock) as f:
            pid = int(f.read().strip())
        os.kill(pid, 0)
        return pid
    except (FileNotFoundError, ValueError, ProcessLookupError):
        return 0
    except OSError:  # a server of another user
        return pid


def _become_subreaper():
    """Orphans among this process's descendants come to it, not to init."""
    PR_SET_CHILD_SUBREAPER = 36
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def run_test(session_class, cleanup=None):
    """Runs session_class(args, work).main() with the end-to-end conventions.

    Exit status 77 (skipped) without root and the tools, and wherever the
    namespaces cannot be made; on a failure the screen and the end of every
    log are printed and the work folder is kept. main() returns how many
    checks failed (None: none).
    """
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--ambrel", required=True)
    parser.add_argument("--testnet", required=True)
    parser.add_argument("--part", help="which part of its checks a test runs, where it has parts")
    args = parser.parse_args()
    missing = [tool for tool in ("ip", "xdotool", "Xvfb", "dbus-daemon") if shutil.which(tool) is None]
    if importlib.util.find_spec("pyatspi") is None:
        missing.append("pyatspi (Debian: python3-pyatspi)")
    if os.geteuid() != 0 or missing:
        print("needs root and", ", ".join(missing) if missing else "root")
        return SKIP
    _become_subreaper()
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
        if failed and session.display:
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


def _stall(host, request):
    """Asks for a file, and once it comes takes nothing more until a line on
    standard input says so: the answer piles up, and its end shows as it
    came, a close (the end of the file) or a reset (an answer given up)."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect((host, TRANSFER_PORT))
    s.sendall(request)
    s.recv(1, socket.MSG_PEEK)
    print(json.dumps(dict(receiving=True)), flush=True)
    sys.stdin.readline()
    length = 0
    try:
        while chunk := s.recv(1 << 16):
            length += len(chunk)
    except ConnectionResetError:
        pass
    # The far side's close leaves this side open (CLOSE_WAIT, 8); its reset
    # leaves nothing (CLOSE, 7), whatever recv() made of it.
    state = s.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0]
    return dict(length=length, end="close" if state == 8 else "reset")


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
    stall = sub.add_parser("stall")
    stall.add_argument("host")
    stall.add_argument("entry")
    a = parser.parse_args(argv)
    if a.what == "ask":
        result = _until_answered(a.host, SEARCH_PORT, a.text.encode("cp1252"), a.until,
                                 lambda data: dict(text=data.decode("cp1252")))
    elif a.what == "fetch":
        result = _until_answered(a.host, TRANSFER_PORT, a.entry.encode("cp1252"), a.until,
                                 lambda data: dict(length=len(data), sha256=hashlib.sha256(data).hexdigest()))
    elif a.what == "stall":
        result = _stall(a.host, a.entry.encode("cp1252"))
    else:
        result = _knock(a.host, a.port, a.mode, a.hold)
    print(json.dumps(result), flush=True)
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(client_main(sys.argv[1:]))
