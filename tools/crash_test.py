#!/usr/bin/python3
"""Crash test of the real Guichet executable.

Lays out a temporary site, starts build/guichet in it and plays the web front end and
the outside system against it: logs on, asks "createtmp" for document numbers, uploads
Speex dictations in several pieces, sends "finished" so that the move cycle takes them
to transcription, and runs the stage batch files' moves (the way whatever runs them
outside Guichet would) while Guichet is down. Guichet is killed with SIGKILL at random
instants, KILLS times, and started again after each kill: some kills fall while it
answers requests and assembles pieces, others just after the move cycle has started.

At the end the load stops, Guichet finishes what is waiting, is stopped with SIGTERM,
and the site is checked:
  - answers: no ready marker beside a partial answer (checked at every collection and
    after every kill);
  - uploads: every piece consumed and none set aside, no assembly left behind, every
    uploaded document byte for byte what was sent;
  - stages: nothing stranded between stages (the queue is empty, no document family is
    left in the tasks folder or in Transcriptions after its batch file ran);
  - numbers: no document number handed out twice, the counter beyond all of them;
  - last-logon file: whole, every line well formed, every open session in it and no
    closed one;
  - dictations: every dictation sent reached Validations with its Speex bytes;
  - litter: with every file of the site dated two days back, Guichet started once more
    sweeps what kills leave where nothing else looks: its own temporary files in the
    stage folders, piece files without their marker, ".typedoc" files alone in the tasks
    folder.
Each check prints PASS or FAIL with the documents and files concerned; the exit status
is 1 when any check failed, 2 when the test could not run.

    crash_test.py KILLS [--seed N] [--build DIR] [--keep]
"""

import argparse
import base64
import fnmatch
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

USER, PASSWORD = "anna", "dictee"
TYPEDOC = "LT"
DATE_RE = re.compile(r"^\d{2}/\d{2}/\d{4} \d{2}:\d{2}$")


def write_atomic(path, data):
    """Writes the way the front end must: under a hidden name, then renamed into place."""
    folder, name = os.path.split(path)
    tmp = os.path.join(folder, "." + name + ".tmp")
    with open(tmp, "wb") as f:
        f.write(data)
    os.rename(tmp, path)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def listdir(path):
    try:
        return sorted(os.listdir(path))
    except FileNotFoundError:
        return []


class Doc:
    """One dictation on its way: number, pieces, and how far it went."""

    def __init__(self, index, audio, rng):
        self.index = index
        self.audio = audio
        self.number = None
        self.ask = None  # name of the "createtmp" request
        self.pieces = []  # piece lines not dropped yet
        self.dropped = []  # names of dropped pieces
        self.finish = None  # name of the "finished" request
        self.queued = False
        n = rng.randint(2, 6)
        cuts = sorted(rng.sample(range(1, len(audio)), n - 1))
        self.slices = list(zip([0] + cuts, cuts + [len(audio)]))
        rng.shuffle(self.slices)

    def piece_lines(self, rng):
        lines = []
        for start, end in self.slices:
            part = self.audio[start:end]
            b64 = rng.random() < 0.5
            payload = base64.b64encode(part) if b64 else part.hex().upper().encode()
            line = (
                "path=C:[5C]Dictees&idexamen=%s&extension=.spx&offset=%d&length=%d"
                "&totallength=%d&encoding=%s&data=" % (
                    self.number, start, len(part), len(self.audio), "base64" if b64 else "hex")
            ).encode() + payload + b"\r\n"
            lines.append(line)
        return lines


class CrashTest:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.root = tempfile.mkdtemp(prefix="guichet-crash.")
        self.app = os.path.join(self.root, "Guichet")
        self.spool = os.path.join(self.root, "IsapiHalvero")
        self.tasks = os.path.join(self.root, "Tasks")
        self.proc = None
        self.err = None
        self.seq = 0
        self.piece_seq = 100000
        self.docs = []
        self.pending = {}  # request name -> (kind, payload)
        self.tokens = []  # tokens received and not logged out
        self.closed = []  # tokens logged out
        self.token = None
        self.numbers = []  # every number handed out, in order
        self.failures = {}  # check -> list of details
        self.kills = 0
        self.survived = 0
        self.moves_hit = 0
        self.audio = None
        self.litter_found = 0

    # Site --------------------------------------------------------------------------

    def fail(self, check, detail):
        self.failures.setdefault(check, []).append(detail)

    def layout(self):
        build = self.args.build
        for f in ("guichet", "Radiveve.so"):
            if not os.path.exists(os.path.join(build, f)):
                sys.exit("crash-test: %s/%s is missing; build first (tools/build.sh)" % (build, f))
        for d in (self.app, self.tasks, os.path.join(self.app, "ModelesPortail"),
                  os.path.join(self.root, "Templates", "Cardiologie"),
                  *(os.path.join(self.spool, s) for s in ("in", "out", "post"))):
            os.makedirs(d, exist_ok=True)
        shutil.copy2(os.path.join(build, "guichet"), self.app)
        shutil.copy2(os.path.join(build, "Radiveve.so"), self.app)

        def put(rel, text):
            with open(os.path.join(self.root, rel), "wb") as f:
                f.write(text.encode("cp1252"))

        put("Guichet/guichet_users.txt", "; crash test\r\n%s:%s=%s\r\n" % (USER, PASSWORD, USER))
        put("Guichet/ModelesPortail/login.txt", "<html><body>login [reponse_au_login]</body>\r\n</html>\r\n")
        put("Guichet/ModelesPortail/menu.txt", "<html><body>[logon]</body>\r\n</html>\r\n")
        put("Templates/Services.txt", "1|Cardiologie|Service de cardiologie\r\n")
        put("Templates/TypeDocs.txt", "1|%s|Lettre|Lettre au confrère\r\n" % TYPEDOC)
        put("Templates/Cardiologie/Lettre.info", "Créé le %DateCreation%\r\nService : %Service%\r\n"
            "Type : %TypeDoc%\r\nAuteur : %Auteur%\r\n")
        put("Templates/Cardiologie/Lettre.rtf", "{\\rtf1 Lettre}\r\n")

        # Real Speex dictations, made by the outside encoder: a short one, and a long one
        # whose pieces take long enough to write that kills fall inside them.
        self.audio = []
        for seconds in (40, 240):
            wav = os.path.join(self.root, "tone%d.wav" % seconds)
            spx = os.path.join(self.root, "tone%d.spx" % seconds)
            try:
                subprocess.run(["sox", "-n", "-r", "8000", "-c", "1", "-b", "16", wav, "synth",
                                str(seconds), "sine", "300-900", "vol", "0.5"], check=True,
                               capture_output=True)
                subprocess.run(["speexenc", wav, spx], check=True, capture_output=True)
            except (OSError, subprocess.CalledProcessError) as e:
                sys.exit("crash-test: cannot make the Speex dictation (sox, speexenc): %s" % e)
            self.audio.append(read(spx))

    # The process -------------------------------------------------------------------

    def start(self):
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        self.err = open(os.path.join(self.root, "guichet.err"), "ab")
        self.proc = subprocess.Popen([os.path.join(self.app, "guichet")], cwd=self.app,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self.err, env=env, start_new_session=True)

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def kill(self):
        if not self.alive():
            self.fail("process", "Guichet ended on its own before kill %d (exit %s)" %
                      (self.kills + 1, self.proc.returncode))
        else:
            self.survived += 1
            os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        self.err.close()
        self.kills += 1

    def stop(self):
        if self.alive():
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.fail("process", "Guichet did not stop within 30 s of SIGTERM")
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.err.close()

    # The front end -----------------------------------------------------------------

    def request(self, kind, command, line4="", line5="", line6="", token=None, payload=None):
        self.seq += 1
        name = "k%06d" % self.seq
        lines = ["/portail.hv", self.token if token is None else token, command, line4, line5, line6]
        write_atomic(os.path.join(self.spool, "in", name + ".req"),
                     "\r\n".join(lines).encode() + b"\r\n")
        self.pending[name] = (kind, payload)
        return name

    def drop_piece(self, line):
        self.piece_seq += 1
        name = str(self.piece_seq)
        write_atomic(os.path.join(self.spool, "post", name + ".txt"), line)
        write_atomic(os.path.join(self.spool, "post", name + ".rdy"), b"")
        return name

    def check_answer(self, name, marker, answer):
        """The answer beside a ready marker must be whole: lines ended, a page closed, as
        many rows as the marker says when it says any."""
        where = "out/%s.htm (marker %r)" % (name, marker)
        if answer is None:
            self.fail("answers", where + ": no answer beside the marker")
            return False
        m = re.fullmatch(rb"(\d+)\r\n", marker)
        if not m:
            self.fail("answers", where + ": marker not whole")
            return False
        rows = int(m.group(1))
        if not answer.endswith(b"\r\n"):
            self.fail("answers", where + ": cut short in a line (%d bytes)" % len(answer))
            return False
        if answer.startswith(b"<html>") and not answer.endswith(b"</html>\r\n"):
            self.fail("answers", where + ": page cut short (%d bytes)" % len(answer))
            return False
        if rows and answer.count(b"\r\n") != rows:
            self.fail("answers", where + ": %d rows announced, %d there" %
                      (rows, answer.count(b"\r\n")))
            return False
        return True

    def scan_markers(self):
        out = os.path.join(self.spool, "out")
        for f in listdir(out):
            if f.endswith(".rdy") and not f.startswith("."):
                name = f[:-4]
                self.check_answer(name, read(os.path.join(out, f)) or b"",
                                  read(os.path.join(out, name + ".htm")))

    def collect(self):
        """Collects the answers that are ready, as the front end does: the request first,
        then the answer, then the marker."""
        for name in list(self.pending):
            kind, payload = self.pending[name]
            req = os.path.join(self.spool, "in", name + ".req")
            rdy = os.path.join(self.spool, "out", name + ".rdy")
            marker = read(rdy)
            if kind == "finished" and marker is None:
                if not os.path.exists(req):  # consumed without answer
                    del self.pending[name]
                    payload.queued = True
                continue
            if marker is None:
                continue
            htm = os.path.join(self.spool, "out", name + ".htm")
            answer = read(htm)
            if kind == "finished":
                self.check_answer(name, marker, answer)
                # Answered only when it could not be taken (the session logged out in
                # between, the queue held by another program): sent again later.
                for p in (req, htm, rdy):
                    try:
                        os.unlink(p)
                    except FileNotFoundError:
                        pass
                del self.pending[name]
                payload.finish = None
                continue
            whole = self.check_answer(name, marker, answer)
            for p in (req, htm, rdy):
                try:
                    os.unlink(p)
                except FileNotFoundError:
                    pass
            del self.pending[name]
            if whole:
                self.answered(kind, payload, answer)
            elif kind == "createtmp":
                payload.ask = None  # ask again

    def answered(self, kind, payload, answer):
        rows = answer.split(b"\r\n")
        if kind == "getlogon":
            if len(rows) == 3 and rows[0] == b"||command=getlogon||" and re.fullmatch(rb"[0-9a-f]{32}", rows[1]):
                self.token = rows[1].decode()
                self.tokens.append(self.token)
            else:
                self.fail("requests", "getlogon answered %r" % answer[:80])
        elif kind == "logout":
            self.tokens.remove(payload)
            self.closed.append(payload)
        elif kind == "createtmp":
            doc = payload
            if len(rows) != 3 or rows[0] != b"||command=createtmp||" or not rows[1].isdigit():
                self.fail("requests", "createtmp answered %r" % answer[:80])
                doc.ask = None  # ask again
                return
            doc.number = rows[1].decode()
            self.numbers.append(doc.number)
            doc.pieces = doc.piece_lines(self.rng)

    # Load --------------------------------------------------------------------------

    def step(self, new_docs=True, logons=True):
        """One step of the front end: new numbers, pieces, "finished", log-ons."""
        self.collect()
        if self.token is None:
            if not any(k == "getlogon" for k, _ in self.pending.values()):
                self.request("getlogon", "getlogon", line5=USER, line6=PASSWORD, token="")
            return
        active = [d for d in self.docs if d.pieces or d.number is None]
        if new_docs and len(active) < 5:
            audio = self.audio[1] if self.rng.random() < 0.3 else self.audio[0]
            doc = Doc(len(self.docs), audio, self.rng)
            self.docs.append(doc)
        for doc in self.docs:
            if doc.number is None and doc.ask is None:
                doc.ask = self.request("createtmp", "createtmp", line5=TYPEDOC, payload=doc)
            elif doc.pieces and self.rng.random() < 0.6:
                doc.dropped.append(self.drop_piece(doc.pieces.pop()))
            elif doc.number and not doc.pieces and doc.finish is None and self.uploaded(doc):
                doc.finish = self.request("finished", "finished", line5=doc.number, payload=doc)
        r = self.rng.random() if logons else 1
        if r < 0.04:
            self.request("getlogon", "getlogon", line5=USER, line6=PASSWORD, token="")
        elif r < 0.06 and len(self.tokens) > 2:
            old = self.tokens[0]
            if not any(k == "logout" and p == old for k, p in self.pending.values()):
                self.request("logout", "logout", token=old, payload=old)

    def leftover(self, name):
        """Whether piece `name` still in post is a duplicate of bytes already in its whole
        document in the tasks folder: Guichet was killed after writing it and before
        removing it. Such a piece waits and is set aside after 30 minutes, as designed; a
        piece file whose marker went just before the kill stays in post unlisted."""
        line = read(os.path.join(self.spool, "post", name + ".txt"))
        m = line and re.match(rb"path=[^&]*&idexamen=(\d+)&extension=(\.\w+)&offset=(\d+)"
                              rb"&length=(\d+)&totallength=(\d+)&encoding=(\w+)&data=(\S*)", line)
        if not m:
            return False
        number, ext, offset, length, total = m.group(1, 2, 3, 4, 5)
        data = m.group(7)
        data = base64.b64decode(data) if m.group(6) == b"base64" else bytes.fromhex(data.decode())
        offset = int(offset)
        # The whole document is in the tasks folder, or has moved on to a later stage (a
        # piece file whose marker was removed just before the kill stays behind).
        name = "hvr_%s%s" % (number.decode(), ext.decode())
        places = [os.path.join(self.tasks, name)] + [
            os.path.join(self.root, f) for f in self.where(number.decode())
            if os.path.basename(f).lower() == name.lower()]
        for place in places:
            doc = read(place)
            if (doc is not None and len(doc) == int(total) and len(data) == int(length)
                    and doc[offset:offset + len(data)] == data):
                return True
        return False

    def uploaded(self, doc):
        """Whether the assembled dictation is whole in the tasks folder, its pieces gone
        (but for duplicates left by a kill)."""
        post = os.path.join(self.spool, "post")
        if any(os.path.exists(os.path.join(post, p + ".rdy")) and not self.leftover(p)
               for p in doc.dropped):
            return False
        path = os.path.join(self.tasks, "hvr_%s.spx" % doc.number)
        try:
            return os.path.getsize(path) == len(doc.audio)
        except OSError:
            return False

    def transcriptions(self):
        return os.path.join(self.tasks, "Transcriptions", USER)

    def run_batches(self):
        """Runs the moves of every stage batch file, as the outside system would: each
        "mkdir" and "move pattern target" line, relative to the batch file's folder."""
        folder = self.transcriptions()
        for bat in listdir(folder):
            if not bat.lower().endswith(".finished.bat"):
                continue
            text = (read(os.path.join(folder, bat)) or b"").decode("cp1252")
            for line in text.split("\r\n"):
                m = re.fullmatch(r'mkdir "(.*)"', line)
                if m:
                    os.makedirs(os.path.normpath(os.path.join(folder, m.group(1).replace("\\", "/"))),
                                exist_ok=True)
                    continue
                m = re.fullmatch(r'move (\S+) "(.*)"', line)
                if m:
                    target = os.path.normpath(os.path.join(folder, m.group(2).replace("\\", "/")))
                    for f in listdir(folder):
                        if fnmatch.fnmatch(f.lower(), m.group(1).lower()):
                            os.rename(os.path.join(folder, f), os.path.join(target, f))

    def waiting_moves(self):
        """Documents queued whose family is still in the tasks folder."""
        return sum(1 for d in self.docs if d.queued and
                   os.path.exists(os.path.join(self.tasks, "hvr_%s.spx" % d.number)))

    def queue_empty(self):
        q = read(os.path.join(self.tasks, "ToMove.txt"))
        return not q or not q.strip()

    def round(self):
        """Runs the load until one kill."""
        self.start()
        mode = self.rng.choice(["busy", "busy", "pieces", "move", "move", "move"])
        queued = [d for d in self.docs if d.queued]
        t0 = time.monotonic()
        if mode == "move" and (not queued or self.queue_empty()):
            mode = "busy"
        if mode == "pieces":
            # Every piece at once, then a kill just after an assembly has grown.
            until = t0 + self.rng.uniform(0.2, 1.0)
            while time.monotonic() < until:
                self.step()
                time.sleep(0.02)
            for doc in self.docs:
                while doc.number and doc.pieces:
                    doc.dropped.append(self.drop_piece(doc.pieces.pop()))
            temp = os.path.join(self.spool, "temp")

            def sizes():
                out = {}
                for f in listdir(temp):
                    try:
                        out[f] = os.path.getsize(os.path.join(temp, f))
                    except OSError:
                        pass
                return out

            before = sizes()
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and sizes() == before:
                time.sleep(0.0003)
            time.sleep(self.rng.uniform(0, 0.003))
        elif mode == "busy":
            until = t0 + self.rng.uniform(0.05, 3.0)
            while time.monotonic() < until:
                self.step()
                time.sleep(0.02)
        else:
            # Load until several documents wait in the queue, then idle until the move
            # cycle starts, then a kill while it moves them.
            want = self.rng.randint(2, 12)
            until = t0 + 6
            while time.monotonic() < until and self.waiting_moves() < want:
                self.step()
                time.sleep(0.02)
            n = self.waiting_moves()
            before = listdir(self.transcriptions())
            deadline = time.monotonic() + 20
            started = False
            while time.monotonic() < deadline and self.alive():
                self.collect()
                if listdir(self.transcriptions()) != before:
                    started = True
                    break
                time.sleep(0.002)
            if started:
                self.moves_hit += 1
                time.sleep(self.rng.uniform(0, 0.03 * max(n, 1)))
        self.kill()
        self.scan_markers()
        self.run_batches()

    def settle(self, timeout):
        """Lets Guichet finish everything waiting: no new document; the last ones are
        uploaded and sent on."""
        self.start()
        deadline = time.monotonic() + timeout
        quiet_since = None
        while time.monotonic() < deadline:
            self.step(new_docs=False, logons=False)
            busy = (self.pending or any(d.pieces or d.number is None for d in self.docs)
                    or not self.queue_empty()
                    or any(f.endswith(".rdy") for f in listdir(os.path.join(self.spool, "post"))))
            waiting = [d for d in self.docs if d.finish is None]
            if not busy:
                # Documents that never came whole stop the wait after a while.
                quiet_since = quiet_since or time.monotonic()
                if not waiting or time.monotonic() - quiet_since > 8:
                    break
            else:
                quiet_since = None
            time.sleep(0.05)
        else:
            self.fail("stages", "Guichet did not finish the waiting work within %d s "
                      "(requests %d, queue %s)" % (timeout, len(self.pending),
                                                  "empty" if self.queue_empty() else "not empty"))
        self.stop()
        self.scan_markers()
        self.run_batches()

    # Checks ------------------------------------------------------------------------

    def where(self, number):
        """Every file of the document's family in the site, relative to the site."""
        found = []
        for folder, _, files in os.walk(self.root):
            for f in files:
                if f.lower().startswith("hvr_%s." % number):
                    found.append(os.path.relpath(os.path.join(folder, f), self.root))
        return sorted(found)

    def check(self):
        post = os.path.join(self.spool, "post")
        left = [f for f in listdir(post) if not f.startswith(".")
                and not self.leftover(f.rsplit(".", 1)[0])]
        if left:
            self.fail("uploads", "pieces left in post: %s" % " ".join(left[:10]))
        aside = listdir(os.path.join(self.spool, "post_err"))
        if aside:
            self.fail("uploads", "pieces set aside in post_err: %s" % " ".join(aside[:10]))
        temp = [f for f in listdir(os.path.join(self.spool, "temp")) if f.lower().startswith("hvr_")]
        if temp:
            self.fail("uploads", "assemblies left in temp: %s" % " ".join(temp[:10]))

        seen = {}
        for n in self.numbers:
            seen[n] = seen.get(n, 0) + 1
        twice = sorted((n for n, c in seen.items() if c > 1), key=int)
        if twice:
            self.fail("numbers", "handed out more than once: %s" % " ".join(twice))
        counter = (read(os.path.join(self.tasks, "Count.txt")) or b"").decode().strip()
        if self.numbers and (not counter.isdigit() or int(counter) <= max(map(int, self.numbers))):
            self.fail("numbers", "Count.txt holds %r, not beyond %s" % (counter, max(map(int, self.numbers))))

        valid = os.path.join(self.tasks, "Validations", USER)
        wavs = {}  # dictation length -> (WAV sizes, CAF-WAV differences) -> numbers
        for doc in self.docs:
            if doc.number is None:
                continue
            n = doc.number
            family = self.where(n)
            spx = [read(os.path.join(valid, "hvr_%s%s" % (n, e))) for e in (".spx", ".spx.old")]
            if doc.audio not in spx:
                sent = len(doc.audio)
                whole = [f for f in family if f.lower().endswith((".spx", ".spx.old"))
                         and read(os.path.join(self.root, f)) == doc.audio]
                if whole:
                    self.fail("dictations", "#%s not in Validations: at %s" % (n, " ".join(family)))
                else:
                    sizes = ["%s (%d bytes)" % (f, os.path.getsize(os.path.join(self.root, f)))
                             for f in family if ".spx" in f.lower()]
                    self.fail("uploads", "#%s: the %d bytes sent are nowhere whole; found %s" %
                              (n, sent, ", ".join(sizes) or "no Speex file"))
            stray = [f for f in family if not f.startswith(os.path.join("Tasks", "Validations", USER))]
            if stray:
                self.fail("stages", "#%s stranded: %s" % (n, " ".join(stray)))
            # The move is finished only with the audio converted and the stage files there.
            base = os.path.join(valid, "hvr_" + n)
            missing = [e for e in (".spx.old", ".wav", ".caf", ".id", ".info", ".rtf", ".finished.bat")
                       if not os.path.exists(base + e)]
            if os.path.exists(base + ".spx"):
                missing.append("(.spx not converted)")
            if doc.audio in spx and missing:
                self.fail("stages", "#%s reached Validations without %s" % (n, " ".join(missing)))
            if not missing:
                sizes = wavs.setdefault(len(doc.audio), ({}, {}))
                sizes[0].setdefault(os.path.getsize(base + ".wav"), []).append(n)
                sizes[1].setdefault(os.path.getsize(base + ".caf"), []).append(n)
        # Documents that carry the same dictation give the same audio files once converted:
        # one of another size was cut short (or grew).
        for by_wav, by_caf in wavs.values():
            for ext, sizes in ((".wav", by_wav), (".caf", by_caf)):
                common = max(sizes, key=lambda k: len(sizes[k]))
                for size, numbers in sizes.items():
                    for m in numbers if size != common else []:
                        self.fail("dictations", "#%s: %s of %d bytes where the others have %d" %
                                  (m, ext, size, common))
        if not self.queue_empty():
            self.fail("stages", "the move queue still holds: %r" %
                      read(os.path.join(self.tasks, "ToMove.txt"))[:200])
        strays = [f for f in listdir(self.transcriptions()) if f.lower().startswith("hvr_")]
        numbers = set(d.number for d in self.docs)
        unknown = [f for f in strays if f[4:].split(".")[0] not in numbers]
        if unknown:
            self.fail("stages", "unknown files in Transcriptions: %s" % " ".join(unknown[:10]))

        text = read(os.path.join(self.app, "guichet_lastlogons.txt"))
        if text is None:
            if self.tokens:
                self.fail("last-logon", "guichet_lastlogons.txt is missing")
        else:
            lines = text.split(b"\r\n")
            if lines[-1] != b"":
                self.fail("last-logon", "the file does not end with a whole line")
            saved = set()
            for line in lines[:-1]:
                f = line.decode("cp1252").split(";")
                if len(f) != 3 or not re.fullmatch(r"[0-9a-f]{32}", f[0]) or f[1] != USER \
                        or not DATE_RE.match(f[2]):
                    self.fail("last-logon", "bad line %r" % line[:80])
                saved.add(f[0])
            missing = [t for t in self.tokens if t not in saved]
            if missing:
                self.fail("last-logon", "%d open sessions missing, e.g. %s" % (len(missing), missing[0]))
            back = [t for t in self.closed if t in saved]
            if back:
                self.fail("last-logon", "%d closed sessions still there" % len(back))

    def litter_left(self):
        """What a kill may leave where no other step looks again."""
        temp = re.compile(r"^~.+\.\d+\.\d+([0-9a-f]{8})?$")
        found = []
        for folder, _, files in os.walk(self.tasks):
            rel = os.path.relpath(folder, self.tasks)
            if rel.split(os.sep)[0] in ("Transcriptions", "Validations", "Publications", "RecycleBin"):
                found += [os.path.join(rel, f) for f in files if temp.match(f)]
        post = listdir(os.path.join(self.spool, "post"))
        found += ["post/" + f for f in post
                  if f.endswith(".txt") and f[:-4] + ".rdy" not in post]
        names = listdir(self.tasks)
        for f in names:
            if f.lower().endswith(".typedoc"):
                family = [n for n in names if n.lower().startswith(f.lower()[:-len("typedoc")])]
                if len(family) == 1:
                    found.append(f)
        return found

    def litter(self):
        """Ages the whole site by two days and lets Guichet's start-up sweep run."""
        before = self.litter_left()
        back = time.time() - 2 * 86400
        for folder, _, files in os.walk(self.root):
            for f in files:
                try:
                    os.utime(os.path.join(folder, f), (back, back))
                except OSError:
                    pass
        self.start()
        time.sleep(4)
        self.stop()
        left = self.litter_left()
        if left:
            self.fail("litter", "left after the sweep: %s" % " ".join(left[:10]))
        self.litter_found = len(before)

    def report(self, elapsed):
        checks = ["process", "answers", "requests", "uploads", "stages", "numbers",
                  "last-logon", "dictations", "litter"]
        print("crash-test: seed %d, %d kills (%d survived, %d in the move cycle), %d documents, "
              "%d numbers, %d requests, %d leftovers swept, %.0f s" %
              (self.args.seed, self.kills, self.survived, self.moves_hit, len(self.docs),
               len(self.numbers), self.seq, self.litter_found, elapsed))
        for c in checks:
            details = self.failures.get(c, [])
            if not details:
                print("PASS %s" % c)
                continue
            print("FAIL %s (%d)" % (c, len(details)))
            for d in details[:15]:
                print("     %s" % d)
            if len(details) > 15:
                print("     ... and %d more" % (len(details) - 15))
        return 1 if self.failures else 0


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description="Kills Guichet at random instants and checks the site.")
    ap.add_argument("kills", type=int)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--build", default=os.path.join(here, "build"))
    ap.add_argument("--keep", action="store_true", help="keep the site even when all checks pass")
    args = ap.parse_args()
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(1 << 31)
    t = CrashTest(args)
    t0 = time.monotonic()
    try:
        t.layout()
        for _ in range(args.kills):
            t.round()
        t.settle(timeout=120)
        t.check()
        t.litter()
    finally:
        if t.alive():
            os.kill(t.proc.pid, signal.SIGKILL)
            t.proc.wait()
    rc = t.report(time.monotonic() - t0)
    if rc or args.keep:
        print("crash-test: site kept in %s" % t.root)
    else:
        shutil.rmtree(t.root, ignore_errors=True)
    return rc


if __name__ == "__main__":
    sys.exit(main())
