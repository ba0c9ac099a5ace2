#!/usr/bin/python3
"""Power-cut test of the real Guichet and guichet-web.

The site lives on a small ext4 file system whose image is a file on an XFS file system
(both on loop devices). A cut is a copy of that image made with `cp --reflink=always`
while the load runs: XFS writes out the image's cached pages and shares its blocks under
the file's lock, so the copy holds exactly what ext4 had sent to its device at one
instant, and nothing of what ext4 still kept in memory (bytes not yet written back, the
journal not yet committed). Mounted, the copy replays its journal as ext4 does after a
power cut. Before the load, a canary checks that the method really drops what was not
flushed: a file written without a flush must be missing or short in a cut taken at once.

The load goes through guichet-web over HTTP, several clients at once: log on, "createtmp"
for a number, upload a document of random bytes (PUT /upload, answered 202), and for most
documents "finished" (answered 204). After each cut is taken (the load goes on), and once
the load is over, every cut is mounted in turn, Guichet is started on it until it has
assembled what waits and emptied its move queue, asked for a few new numbers, and
stopped; then, for everything answered before the copy began:
  - uploads: every upload answered 202 is whole, byte for byte, in the tasks folder or a
    later stage;
  - finished: every "finished" answered 204 reached transcription;
  - numbers: no number handed out twice, before the cut and after the restart.
It prints, per cut, how many uploads were answered in the last 30 s before it and how
many of them survived.

    power_cut_test.py CUTS [--seed N] [--warmup S] [--clients N] [--build DIR] [--keep]

Needs root, loop devices, XFS (xfsprogs) and ext4. Where the machine cannot do it the
test says why and exits with 77 (skipped), never 0. Exit 1 when a check failed.
"""

import argparse
import hashlib
import http.client
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

USER, PASSWORD = "anna", "dictee"
TYPEDOC = "LT"
SKIP = 77


def run(*cmd, check=True):
    return subprocess.run(cmd, check=check, capture_output=True, text=True)


def can_run():
    """The reason the machine cannot cut, or None."""
    if os.geteuid() != 0:
        return "not root (loop devices and mounts need it)"
    for tool in ("mkfs.xfs", "mkfs.ext4", "losetup", "mount", "umount"):
        if shutil.which(tool) is None:
            return "%s is missing (tools/install-deps.sh installs xfsprogs)" % tool
    if not os.path.exists("/dev/loop-control") and not os.path.exists("/dev/loop0"):
        return "no loop devices"
    try:
        with open("/proc/filesystems") as f:
            fs = f.read()
    except OSError:
        fs = ""
    if "xfs" not in fs:
        run("modprobe", "xfs", check=False)
        with open("/proc/filesystems") as f:
            if "xfs" not in f.read():
                return "the kernel has no XFS"
    if "ext4" not in fs:
        return "the kernel has no ext4"
    if run("losetup", "-f", check=False).returncode != 0:
        return "no free loop device"
    return None


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Record:
    """What the clients were told, with the instant they were told it (monotonic)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.numbers = []  # (time, number)
        self.uploads = []  # (time, number, sha256, size)
        self.finished = []  # (time, number)
        self.errors = []


class Client(threading.Thread):
    def __init__(self, test, index):
        super().__init__(daemon=True)
        self.t = test
        self.rng = random.Random(test.args.seed * 1000 + index)
        self.conn = None
        self.token = None

    def http(self, method, path, body=None, headers=None):
        for attempt in range(3):
            try:
                if self.conn is None:
                    self.conn = http.client.HTTPConnection("127.0.0.1", self.t.port, timeout=60)
                self.conn.request(method, path, body=body, headers=headers or {})
                r = self.conn.getresponse()
                return r.status, r.read()
            except (OSError, http.client.HTTPException):
                if self.conn:
                    self.conn.close()
                self.conn = None
                time.sleep(0.2)
        return 0, b""

    def portail(self, **fields):
        body = urllib.parse.urlencode(fields)
        return self.http("POST", "/portail.hv", body,
                         {"Content-Type": "application/x-www-form-urlencoded"})

    def run(self):
        rec = self.t.rec
        while not self.t.stop_load.is_set():
            if self.token is None:
                status, body = self.portail(command="getlogon", p2=USER, p3=PASSWORD)
                lines = body.decode("cp1252", "replace").split("\r\n")
                if status == 200 and len(lines) > 1 and len(lines[1]) == 32:
                    self.token = lines[1]
                else:
                    time.sleep(0.5)
                    continue
            status, body = self.portail(command="createtmp", p2=TYPEDOC, logon=self.token)
            when = time.monotonic()
            lines = body.decode("cp1252", "replace").split("\r\n")
            if status != 200 or len(lines) < 2 or not lines[1].isdigit():
                with rec.lock:
                    rec.errors.append("createtmp: %d %r" % (status, body[:80]))
                time.sleep(0.5)
                continue
            number = lines[1]
            with rec.lock:
                rec.numbers.append((when, number))
            # Mostly small documents, some of a few hundred pieces.
            size = int(self.rng.choice([2000, 9000, 30000, 120000, 400000]) * self.rng.uniform(0.5, 1.5))
            data = self.rng.randbytes(size)
            status, body = self.http("PUT", "/upload?idexamen=%s&extension=.pdf&logon=%s" % (number, self.token), data,
                                     {"Content-Type": "application/octet-stream"})
            when = time.monotonic()
            if status != 202:
                with rec.lock:
                    rec.errors.append("upload #%s: %d %r" % (number, status, body[:80]))
                continue
            with rec.lock:
                rec.uploads.append((when, number, hashlib.sha256(data).hexdigest(), size))
            if self.rng.random() < 0.8:
                status, body = self.portail(command="finished", p2=number, logon=self.token)
                when = time.monotonic()
                if status == 204:
                    with rec.lock:
                        rec.finished.append((when, number))
                else:
                    with rec.lock:
                        rec.errors.append("finished #%s: %d %r" % (number, status, body[:80]))
            time.sleep(self.rng.uniform(0, 0.2))


class PowerCutTest:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.work = tempfile.mkdtemp(prefix="guichet-powercut.")
        self.xfs = os.path.join(self.work, "xfs")
        self.site = os.path.join(self.work, "site")
        self.cutmnt = os.path.join(self.work, "cut")
        self.image = os.path.join(self.xfs, "site.img")
        self.mounted = []
        self.procs = []
        self.rec = Record()
        self.stop_load = threading.Event()
        self.port = free_port()
        self.cuts = []  # (start, end, image)
        self.failures = []

    # Mounts ------------------------------------------------------------------------

    def mount(self, image, where, *options):
        os.makedirs(where, exist_ok=True)
        run("mount", "-o", ",".join(("loop",) + options), image, where)
        self.mounted.append(where)

    def umount(self, where):
        for attempt in range(20):
            if run("umount", where, check=False).returncode == 0:
                break
            time.sleep(0.25)
        else:
            run("umount", "-l", where, check=False)
        self.mounted.remove(where)

    def setup(self):
        os.makedirs(self.xfs)
        xfs_image = os.path.join(self.work, "xfs.img")
        with open(xfs_image, "wb") as f:
            f.truncate(3 << 30)
        run("mkfs.xfs", "-q", "-m", "reflink=1", xfs_image)
        self.mount(xfs_image, self.xfs)
        with open(self.image, "wb") as f:
            f.truncate(768 << 20)
        run("mkfs.ext4", "-q", "-F", self.image)
        self.mount(self.image, self.site)

    def cut(self, name):
        """Copies the site's image as it stands on its device; returns the copy's path and
        the instants the copy began and ended."""
        path = os.path.join(self.xfs, name)
        start = time.monotonic()
        run("cp", "--reflink=always", self.image, path)
        return path, start, time.monotonic()

    def canary(self):
        """A file written without a flush must not survive a cut taken at once; one written
        with a flush must. Otherwise the method does not show what a power cut drops."""
        data = os.urandom(1 << 20)
        with open(os.path.join(self.site, "canary.flushed"), "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        fd = os.open(self.site, os.O_RDONLY)
        os.fsync(fd)
        os.close(fd)
        with open(os.path.join(self.site, "canary.unflushed"), "wb") as f:
            f.write(data)
        image, _, _ = self.cut("canary.img")
        self.mount(image, self.cutmnt)
        try:
            def content(n):
                try:
                    with open(os.path.join(self.cutmnt, n), "rb") as f:
                        return f.read()
                except OSError:
                    return None
            flushed, unflushed = content("canary.flushed"), content("canary.unflushed")
        finally:
            self.umount(self.cutmnt)
            os.unlink(image)
        os.unlink(os.path.join(self.site, "canary.flushed"))
        os.unlink(os.path.join(self.site, "canary.unflushed"))
        if flushed != data:
            sys.exit("power-cut-test: FAIL method: a flushed file did not survive a cut")
        if unflushed == data:
            sys.exit("power-cut-test: FAIL method: an unflushed file survived a cut taken at once; "
                     "the cuts would not show what a power cut drops")
        print("power-cut-test: canary: flushed file whole, unflushed file %s in a cut" %
              ("missing" if unflushed is None else "%d of %d bytes" % (len(unflushed.rstrip(b"\0")), len(data))))

    # The site ----------------------------------------------------------------------

    def layout(self):
        build = self.args.build
        for f in ("guichet", "Radiveve.so", "guichet-web"):
            if not os.path.exists(os.path.join(build, f)):
                sys.exit("power-cut-test: %s/%s is missing; build first (tools/build.sh)" % (build, f))
        app = os.path.join(self.site, "Guichet")
        for d in (app, os.path.join(self.site, "Tasks"), os.path.join(app, "ModelesPortail"),
                  os.path.join(self.site, "Templates", "Cardiologie"), os.path.join(self.site, "www"),
                  *(os.path.join(self.site, "IsapiHalvero", s) for s in ("in", "out", "post"))):
            os.makedirs(d, exist_ok=True)
        shutil.copy2(os.path.join(build, "guichet"), app)
        shutil.copy2(os.path.join(build, "Radiveve.so"), app)

        def put(rel, text):
            with open(os.path.join(self.site, rel), "wb") as f:
                f.write(text.encode("cp1252"))

        put("Guichet/guichet_users.txt", "; power-cut test\r\n%s:%s=%s\r\n" % (USER, PASSWORD, USER))
        put("Guichet/ModelesPortail/login.txt", "<html><body>login [reponse_au_login]</body>\r\n</html>\r\n")
        put("Guichet/ModelesPortail/menu.txt", "<html><body>[logon]</body>\r\n</html>\r\n")
        put("Templates/Services.txt", "1|Cardiologie|Service de cardiologie\r\n")
        put("Templates/TypeDocs.txt", "1|%s|Lettre|Lettre au confrère\r\n" % TYPEDOC)
        put("Templates/Cardiologie/Lettre.info", "Service : %Service%\r\nAuteur : %Auteur%\r\n")
        os.sync()

    def start_guichet(self, site):
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        app = os.path.join(site, "Guichet")
        p = subprocess.Popen([os.path.join(app, "guichet")], cwd=app, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
                             start_new_session=True)
        self.procs.append(p)
        return p

    def start_web(self):
        p = subprocess.Popen([os.path.join(self.args.build, "guichet-web"), "--site", self.site,
                              "--listen", "127.0.0.1:%d" % self.port, "--timeout", "60"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, start_new_session=True)
        self.procs.append(p)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return p
            except OSError:
                time.sleep(0.1)
        sys.exit("power-cut-test: guichet-web did not start")

    def stop(self, p):
        if p.poll() is None:
            os.kill(p.pid, signal.SIGTERM)
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.kill(p.pid, signal.SIGKILL)
                p.wait()
        self.procs.remove(p)

    # The load and the cuts ---------------------------------------------------------

    def load_and_cut(self):
        guichet = self.start_guichet(self.site)
        web = self.start_web()
        clients = [Client(self, i) for i in range(self.args.clients)]
        for c in clients:
            c.start()
        t0 = time.monotonic()
        # The first cut once 30 s of answers lie behind it, the others at random instants.
        at = t0 + self.args.warmup + self.rng.uniform(0, 3)
        for k in range(self.args.cuts):
            while time.monotonic() < at:
                time.sleep(0.01)
            if guichet.poll() is not None or web.poll() is not None:
                self.failures.append("a program ended during the load (guichet %s, guichet-web %s)" %
                                     (guichet.returncode, web.returncode))
                break
            self.cuts.append(self.cut("cut%02d.img" % k))
            at = time.monotonic() + self.rng.uniform(1, 6)
        self.stop_load.set()
        for c in clients:
            c.join(timeout=90)
        self.stop(web)
        self.stop(guichet)
        self.umount(self.site)

    # After each cut ----------------------------------------------------------------

    def ask_numbers(self, site, n):
        """Asks the restarted Guichet for `n` new numbers through request files."""
        spool = os.path.join(site, "IsapiHalvero")
        # A session: getlogon.
        def ask(name, lines):
            path = os.path.join(spool, "in", name + ".req")
            with open(path + ".tmp", "wb") as f:
                f.write("\r\n".join(lines).encode() + b"\r\n")
            os.rename(path + ".tmp", path)
            marker = os.path.join(spool, "out", name + ".rdy")
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                if os.path.exists(marker):
                    with open(os.path.join(spool, "out", name + ".htm"), "rb") as f:
                        return f.read().decode("cp1252").split("\r\n")
                time.sleep(0.05)
            return []
        lines = ask("pc_logon", ["/portail.hv", "", "getlogon", "", USER, PASSWORD])
        token = lines[1] if len(lines) > 1 else ""
        got = []
        for i in range(n):
            lines = ask("pc_num%d" % i, ["/portail.hv", token, "createtmp", "", TYPEDOC, ""])
            if len(lines) > 1 and lines[1].isdigit():
                got.append(lines[1])
        return got

    def settle(self, site, timeout=90):
        """Lets the restarted Guichet assemble the waiting pieces and empty its queue."""
        post = os.path.join(site, "IsapiHalvero", "post")
        queue = os.path.join(site, "Tasks", "ToMove.txt")
        deadline = time.monotonic() + timeout
        quiet = 0
        while time.monotonic() < deadline:
            pieces = [f for f in os.listdir(post) if f.endswith(".rdy")] if os.path.isdir(post) else []
            try:
                q = os.path.getsize(queue)
            except OSError:
                q = 0
            quiet = quiet + 1 if not pieces and q == 0 else 0
            if quiet >= 10:  # one move beat and more with nothing waiting
                return True
            time.sleep(0.5)
        return False

    def index(self, site):
        """Every document file of the site: name -> list of paths."""
        found = {}
        tasks = os.path.join(site, "Tasks")
        for folder, _, files in os.walk(tasks):
            for f in files:
                found.setdefault(f.lower(), []).append(os.path.join(folder, f))
        return found

    def check_cut(self, k, image, start):
        rec = self.rec
        with rec.lock:
            uploads = [u for u in rec.uploads if u[0] < start]
            finished = [f for f in rec.finished if f[0] < start]
            numbers = [n for t, n in rec.numbers if t < start]
        self.mount(image, self.cutmnt)
        fails = []
        try:
            g = self.start_guichet(self.cutmnt)
            settled = self.settle(self.cutmnt)
            new_numbers = self.ask_numbers(self.cutmnt, 3)
            self.stop(g)
            if not settled:
                fails.append("Guichet did not finish the waiting work")
            if len(new_numbers) < 3:
                fails.append("Guichet did not answer createtmp after the restart")
            files = self.index(self.cutmnt)
            lost = []
            recent = [u for u in uploads if u[0] >= start - 30]
            recent_ok = 0
            for when, number, sha, size in uploads:
                whole = False
                for path in files.get("hvr_%s.pdf" % number, []):
                    with open(path, "rb") as f:
                        if hashlib.sha256(f.read()).hexdigest() == sha:
                            whole = True
                            break
                if not whole:
                    lost.append("#%s (%d bytes, answered %.1f s before the cut)" % (number, size, start - when))
                elif when >= start - 30:
                    recent_ok += 1
            if lost:
                fails.append("uploads answered 202 and not whole: %s" % ", ".join(lost[:10]))
            trans = os.path.join(self.cutmnt, "Tasks", "Transcriptions", USER)
            stuck = [n for _, n in finished
                     if not os.path.exists(os.path.join(trans, "hvr_%s.pdf" % n))]
            if stuck:
                fails.append("finished answered 204 and not in transcription: %s" %
                             " ".join("#" + n for n in stuck[:10]))
            seen = {}
            for n in numbers + new_numbers:
                seen[n] = seen.get(n, 0) + 1
            twice = sorted((n for n, c in seen.items() if c > 1), key=int)
            if twice:
                fails.append("numbers handed out twice: %s" % " ".join(twice[:10]))
        finally:
            self.umount(self.cutmnt)
        print("cut %d: %d uploads answered before it, %d in its last 30 s, %d of these whole; "
              "%d finished answered 204; %d numbers before, %d after the restart; %s" %
              (k + 1, len(uploads), len(recent), recent_ok, len(finished), len(numbers),
               len(new_numbers), "PASS" if not fails else "FAIL"))
        for f in fails:
            print("     %s" % f)
        self.failures.extend("cut %d: %s" % (k + 1, f) for f in fails)
        return len(recent), recent_ok

    def cleanup(self):
        for p in list(self.procs):
            if p.poll() is None:
                os.kill(p.pid, signal.SIGKILL)
                p.wait()
        for where in reversed(list(self.mounted)):
            self.umount(where)


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description="Cuts the power under Guichet at random instants.")
    ap.add_argument("cuts", type=int)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--warmup", type=float, default=35.0,
                    help="seconds of load before the first cut (default 35)")
    ap.add_argument("--clients", type=int, default=4)
    ap.add_argument("--build", default=os.path.join(here, "build"))
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    args = ap.parse_args()
    if args.cuts < 1:
        sys.exit("power-cut-test: at least one cut")
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(1 << 31)
    reason = can_run()
    if reason:
        print("power-cut-test: SKIPPED, this machine cannot cut: %s" % reason)
        return SKIP
    t = PowerCutTest(args)
    t0 = time.monotonic()
    try:
        try:
            t.setup()
        except subprocess.CalledProcessError as e:
            print("power-cut-test: SKIPPED, this machine cannot cut: %s failed: %s" %
                  (" ".join(e.cmd[:2]), (e.stderr or "").strip()[:200]))
            return SKIP
        t.canary()
        t.layout()
        t.load_and_cut()
        if t.rec.errors:
            print("power-cut-test: %d requests failed during the load, e.g. %s" %
                  (len(t.rec.errors), t.rec.errors[0]))
        recent = []
        for k, (image, start, _) in enumerate(t.cuts):
            recent.append(t.check_cut(k, image, start))
            os.unlink(image)
        if len(t.cuts) < args.cuts:
            t.failures.append("only %d of %d cuts were made" % (len(t.cuts), args.cuts))
        if not t.rec.uploads:
            t.failures.append("no upload was answered")
    finally:
        t.cleanup()
    print("power-cut-test: seed %d, %d cuts, %d uploads, %d finished, %d numbers, %.0f s" %
          (args.seed, len(t.cuts), len(t.rec.uploads), len(t.rec.finished), len(t.rec.numbers),
           time.monotonic() - t0))
    if t.failures:
        print("FAIL power cut (%d)" % len(t.failures))
        for f in t.failures[:20]:
            print("     %s" % f)
    else:
        print("PASS power cut: every upload answered 202 whole, every finished answered 204 in "
              "transcription, no number twice, after each of %d cuts" % len(t.cuts))
    if args.keep or t.failures:
        print("power-cut-test: work folder kept in %s" % t.work)
    else:
        shutil.rmtree(t.work, ignore_errors=True)
    return 1 if t.failures else 0


if __name__ == "__main__":
    sys.exit(main())
