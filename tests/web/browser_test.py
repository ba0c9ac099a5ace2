"""A real browser on the portal: headless Chromium, driven by Selenium, against Guichet and
guichet-web in a temporary copy of the demo site. One author's day:

- three dictations put in place as a client does ("createtmp", /upload of a Speex file
  and of the name and urgency, "finished");
- log-on refused with a wrong password, then accepted;
- "My documents" shows them queued (the move queue held locked meanwhile), then in
  transcription; the transcriber's step is done here on disk (typed text or PDF, then the
  stage batch file's moves), and they are to validate;
- the first is played (the page's decoded duration is the recording's within 0.2 s),
  its text read with its accents, then validated and seen published; the second is sent
  back to transcription, the third deleted;
- a document that vanished from under the page, an unknown document and an ended session
  give their messages; log-off says so.

    browser_test.py BUILD_DIR SOURCE_DIR [--screenshots DOCS_DIR]

With --screenshots, each view is saved there (the README's pictures).
"""
import base64
import fcntl
import fnmatch
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
from concurrent.futures import ThreadPoolExecutor

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import Select, WebDriverWait

AUTHOR = "anna"
TEXT = "Cher confrère,\r\nJe vous adresse Mme Éloïse Durand pour un avis cardiologique.\r\n"


# ---------------------------------------------------------------- the site and its programs

def arguments():
    """BUILD_DIR SOURCE_DIR [--screenshots DIR], as every browser script takes them."""
    build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    shots = None
    if "--screenshots" in sys.argv:
        shots = os.path.abspath(sys.argv[sys.argv.index("--screenshots") + 1])
        os.makedirs(shots, exist_ok=True)
    return build, source, shots


def show_failure(driver):
    """What the page showed and logged when a run failed."""
    if driver:
        print("page at the failure (%s):\n%s" % (driver.current_url,
                                                 driver.find_element(By.TAG_NAME, "body").text))
        for entry in driver.get_log("browser"):
            print("console:", entry.get("message"))


def end(driver, programs, root):
    """Closes the browser, stops the programs (a kill for one that does not stop) and
    removes the temporary site, unless KEEP_SITE is set."""
    if driver:
        driver.quit()
    for proc in programs:
        if proc:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
    if os.environ.get("KEEP_SITE"):
        print("site kept: " + root)
    else:
        shutil.rmtree(root, ignore_errors=True)


def lay_out_site(build, source, root):
    shutil.copytree(os.path.join(source, "tools", "demo-site"), root, dirs_exist_ok=True)
    for sub in ("Guichet", "IsapiHalvero", "Tasks", "www"):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    for exe in ("guichet", "guichet-web", "Radiveve.so"):
        shutil.copy2(os.path.join(build, exe), os.path.join(root, "Guichet", exe))
    shutil.copytree(os.path.join(build, "www"), os.path.join(root, "www"), dirs_exist_ok=True)


def start_programs(root):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    app = os.path.join(root, "Guichet")
    guichet = subprocess.Popen(
        [os.path.join(app, "guichet")], cwd=app, env=env, stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=open(os.path.join(root, "guichet.err"), "w"))
    web_log = os.path.join(root, "web.err")
    web = subprocess.Popen(
        [os.path.join(app, "guichet-web"), "--listen", "127.0.0.1:0"], cwd=app, env=env,
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(web_log, "w"))
    for _ in range(200):
        m = re.search(r"listening on (http://127\.0\.0\.1:\d+/)", open(web_log).read())
        if m:
            return guichet, web, m.group(1)
        time.sleep(0.05)
    raise RuntimeError("guichet-web did not start: " + open(web_log).read())


def make_dictation(source, folder):
    subprocess.run(["bash", os.path.join(source, "tools", "make-dictation.sh"), folder],
                   check=True, stdout=subprocess.DEVNULL)
    spx = os.path.join(folder, "speech.spx")
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration",
                            "-of", "default=nw=1:nk=1", spx],
                           check=True, capture_output=True, text=True)
    return spx, float(probe.stdout.strip())


class Client:
    """A dictation client: the token of "getlogon", the commands, the uploads."""

    def __init__(self, url):
        self.url = url
        self.token = self.ask("getlogon", p2=AUTHOR, p3="dictee")[1]

    def ask(self, command, **values):
        fields = {"command": command, **values}
        if command != "getlogon":
            fields["logon"] = self.token
        body = urllib.parse.urlencode(fields, encoding="cp1252").encode()
        with urllib.request.urlopen(self.url + "portail.hv", body, timeout=20) as r:
            return r.status if r.status == 204 else r.read().decode("cp1252").split("\r\n")

    def upload(self, number, extension, data):
        query = urllib.parse.urlencode({"idexamen": number, "extension": extension,
                                        "logon": self.token})
        request = urllib.request.Request(self.url + "upload?" + query, data=data, method="PUT",
                                         headers={"X-Guichet": "1"})
        with urllib.request.urlopen(request, timeout=20) as r:
            assert r.status == 202, r.status

    def put_in_place(self, spx, doc_type, name, urgent=False):
        """A new document's number, its Speex dictation, name and urgency uploaded."""
        number = self.ask("createtmp", p2=doc_type)[1]
        with open(spx, "rb") as f:
            self.upload(number, ".spx", f.read())
        self.upload(number, ".id", name.encode("cp1252"))
        if urgent:
            self.upload(number, ".urg", b"URGENT")
        # The pieces are assembled on Guichet's tick: "finished" must find the family.
        tasks = os.path.join(self.site, "Tasks")
        wait_for(lambda: all(os.path.exists(os.path.join(tasks, "hvr_%s%s" % (number, e)))
                             for e in (".spx", ".id")), "the upload of #" + number)
        return number

    def dictate(self, spx, documents):
        """Puts the documents (type, name, urgent) in place side by side, then finishes
        them one after the other in the order of their numbers, so that the move cycle
        dates their dictations in that order. Returns their numbers."""
        with ThreadPoolExecutor(len(documents)) as pool:
            numbers = list(pool.map(lambda d: self.put_in_place(spx, *d), documents))
        for number in sorted(numbers, key=int):
            assert self.ask("finished", p2=number) == 204
        return numbers


def phase(name, since=[time.time()]):
    """Says on standard error how long the last phase took (the test must stay quick)."""
    now = time.time()
    sys.stderr.write("%6.1f s  %s\n" % (now - since[0], name))
    since[0] = now


def wait_for(test, what, timeout=20):
    end = time.time() + timeout
    while time.time() < end:
        if test():
            return
        time.sleep(0.1)
    raise AssertionError("waited in vain for " + what)


class QueueLock:
    """Holds the move queue's lock, as a program appending to it would: the move cycle
    skips its turns meanwhile, so the documents stay queued."""

    def __init__(self, path):
        self.path = path

    def __enter__(self):
        self.file = open(self.path, "ab")
        fcntl.lockf(self.file, fcntl.LOCK_EX)

    def __exit__(self, *exc):
        fcntl.lockf(self.file, fcntl.LOCK_UN)
        self.file.close()


def transcribe(site, number, text=None, pdf=None):
    """The transcriber's step: the typed result beside the dictation, then the stage batch
    file's moves ("mkdir" and "move pattern target", relative to its folder)."""
    folder = os.path.join(site, "Tasks", "Transcriptions", AUTHOR)
    if text is not None:
        with open(os.path.join(folder, "hvr_%s.txt" % number), "wb") as f:
            f.write(text.encode("cp1252"))
    if pdf is not None:
        with open(os.path.join(folder, "hvr_%s.pdf" % number), "wb") as f:
            f.write(pdf)
    bat = os.path.join(folder, "hvr_%s.finished.bat" % number)
    for line in open(bat, "rb").read().decode("cp1252").split("\r\n"):
        m = re.fullmatch(r'mkdir "(.*)"', line)
        if m:
            os.makedirs(os.path.normpath(os.path.join(folder, m.group(1).replace("\\", "/"))),
                        exist_ok=True)
            continue
        m = re.fullmatch(r'move (\S+) "(.*)"', line)
        if m:
            target = os.path.normpath(os.path.join(folder, m.group(2).replace("\\", "/")))
            for f in sorted(os.listdir(folder)):
                if fnmatch.fnmatch(f.lower(), m.group(1).lower()):
                    os.rename(os.path.join(folder, f), os.path.join(target, f))


def small_pdf():
    """A one-page PDF with its cross-reference table right."""
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>",
               b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
               b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 144] /Contents 4 0 R "
               b"/Resources << /Font << /F1 5 0 R >> >> >>",
               None,
               b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"]
    stream = b"BT /F1 14 Tf 20 80 Td (Compte rendu de consultation) Tj ET"
    objects[3] = b"<< /Length %d >>\nstream\n%s\nendstream" % (len(stream), stream)
    out, offsets = b"%PDF-1.4\n", []
    for i, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (i, body)
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return out


# ---------------------------------------------------------------- the page

def browser(profile):
    options = Options()
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--window-size=1024,900",
                "--autoplay-policy=no-user-gesture-required", "--mute-audio",
                "--user-data-dir=" + profile):
        options.add_argument(arg)
    options.binary_location = "/usr/bin/chromium"
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class Portal:
    """Page helpers: the steps every part of the flow repeats."""

    def __init__(self, driver, url, shots):
        self.d, self.url, self.shots = driver, url, shots
        self.wait = WebDriverWait(driver, 20)

    def find(self, css):
        return self.d.find_element(By.CSS_SELECTOR, css)

    def text(self, css):
        return self.find(css).text

    def until(self, test, what):
        try:
            self.wait.until(lambda d: test())
        except Exception as e:
            raise AssertionError("page: waited in vain for %s; announcement %r; page %r" %
                                 (what, self.announcement(), self.d.current_url)) from e

    def present(self, css):
        return len(self.d.find_elements(By.CSS_SELECTOR, css)) > 0

    def idle(self):
        self.until(lambda: self.d.execute_script(
            "return document.getElementById('occupe').hidden && "
            "!document.getElementById('contenu').hasAttribute('aria-busy')"), "the page to settle")

    def announcement(self):
        return self.d.execute_script("return document.getElementById('annonce').textContent")

    def shot(self, name):
        if self.shots:
            self.d.execute_script("document.activeElement && document.activeElement.blur()")
            self.d.save_screenshot(os.path.join(self.shots, name))

    def log_on(self, name, password):
        self.until(lambda: self.present("#nom"), "the log-on form")
        for css, value in (("#nom", name), ("#motdepasse", password)):
            self.find(css).clear()
            self.find(css).send_keys(value)
        self.find("#connexion").click()

    def stage_of(self, number):
        rows = self.d.find_elements(By.CSS_SELECTOR, "#document-%s" % number)
        return rows[0].get_attribute("data-etape") if rows else None

    def documents(self):
        """My documents, read afresh."""
        if self.present("#actualiser"):
            old = self.find("#liste-documents")
            self.find("#actualiser").click()
            self.until(lambda: expected_conditions.staleness_of(old)(self.d),
                       "my documents read again")
        else:
            self.d.get(self.url + "#/documents")
        self.until(lambda: self.present("#liste-documents"), "my documents")
        self.idle()

    def open_document(self, number):
        self.d.get(self.url + "#/document/%s" % number)
        self.until(lambda: self.present("#etape") or self.present("#introuvable"),
                   "document %s" % number)
        self.idle()

    def decide(self, action):
        self.find("#action-" + action).click()
        self.until(lambda: self.present("dialog#confirmation[open]"), "the confirmation")
        self.find("#confirmation-oui").click()
        self.until(lambda: self.announcement() != "", "the outcome of " + action)
        self.idle()


def main():
    build, source, shots = arguments()
    root = tempfile.mkdtemp(prefix="guichet-browser-")
    guichet = web = driver = None
    started = time.time()
    try:
        spx, duration = make_dictation(source, os.path.join(root, "dictation"))
        phase("dictation made")
        site = os.path.join(root, "site")
        lay_out_site(build, source, site)
        guichet, web, url = start_programs(site)
        client = Client(url)
        client.site = site
        tasks = os.path.join(site, "Tasks")
        queue = os.path.join(tasks, "ToMove.txt")
        phase("programs started")
        driver = browser(os.path.join(root, "chromium-profile"))
        page = Portal(driver, url, shots)

        # "finished" appends to the queue under its lock: the test takes the lock right
        # after, before the move cycle's next turn (it waits for 5 quiet seconds).
        numbers = client.dictate(spx, [("LT", "Durand Éloïse", True), ("CR", "Martin Paul"),
                                       ("LT", "Petit Léa")])
        phase("three dictations finished")
        first, second, third = numbers
        with QueueLock(queue):
            assert all(os.path.exists(os.path.join(tasks, "hvr_%s.spx" % n)) for n in numbers)
            driver.get(url)
            page.log_on(AUTHOR, "faux")
            page.until(lambda: page.find("#erreur-connexion").is_displayed(), "the refusal")
            assert "Utilisateur non reconnu" in page.text("#erreur-connexion")
            page.shot("portal-login.png")
            page.log_on(AUTHOR, "dictee")
            page.until(lambda: page.present("#liste-documents"), "my documents after log-on")
            page.idle()
            assert page.text("#utilisateur") == AUTHOR
            assert [page.stage_of(n) for n in numbers] == ["ToMove"] * 3, \
                [page.stage_of(n) for n in numbers]
            # Newest first: the last finished leads.
            rows = driver.find_elements(By.CSS_SELECTOR, "#liste-documents a.document")
            assert rows[0].get_attribute("id") == "document-" + max(numbers, key=int)
            assert "Urgent" in page.text("#document-" + first)
            assert "Durand Éloïse" in page.text("#document-" + first)
            assert "Lettre au confrère" in page.text("#document-" + first)

        phase("log-on, documents queued")
        # The move cycle takes them into transcription once the queue is free.
        wait_for(lambda: all(os.path.exists(os.path.join(
            tasks, "Transcriptions", AUTHOR, "hvr_%s.finished.bat" % n)) for n in numbers),
            "the move into transcription", timeout=30)
        page.documents()
        assert [page.stage_of(n) for n in numbers] == ["Transcriptions"] * 3

        phase("in transcription")
        transcribe(site, first, text=TEXT)
        transcribe(site, second, pdf=small_pdf())
        transcribe(site, third, text="Note brève.")
        page.documents()
        assert [page.stage_of(n) for n in numbers] == ["Validations"] * 3
        assert "aujourdhui" in page.find("#document-" + first).get_attribute("class")
        page.shot("portal-documents.png")

        phase("to validate")
        # The first: played, read, validated.
        page.open_document(first)
        page.until(lambda: page.present(".lecteur"), "the player")
        decoded = float(page.find(".lecteur").get_attribute("data-duree"))
        assert abs(decoded - duration) <= 0.2, (decoded, duration)
        shown = page.find("#transcription").get_attribute("textContent")
        assert shown == TEXT, repr(shown)
        audio = "document.querySelector('.lecteur audio')"
        # The page's decoder gives the very samples of the WAV Guichet made from the Speex.
        # (The page may not fetch its own blob: URL, the front end's policy allows only
        # 'self'; the test decodes the CAF again with the page's module.)
        made = driver.execute_async_script(
            "const done = arguments[0];"
            "const caf = [...document.querySelectorAll('#pieces a')]"
            "  .find(a => a.textContent.endsWith('.caf')).href;"
            "import('/js/caf.js').then(m => fetch(caf).then(r => r.arrayBuffer()).then(b => {"
            "  const u = new Uint8Array(m.cafVersWav(b).wav); let s = '';"
            "  for (let i = 0; i < u.length; i++) s += String.fromCharCode(u[i]);"
            "  done(btoa(s)); })).catch(e => done('error: ' + e));")
        assert not made.startswith("error"), made
        wav = open(os.path.join(tasks, "Validations", AUTHOR, "hvr_%s.wav" % first), "rb").read()
        assert base64.b64decode(made)[44:] == wav[44:], "the page's samples differ from Guichet's WAV"
        page.find("#lecture").click()
        page.until(lambda: driver.execute_script("return %s.currentTime > 0.2" % audio), "playback")
        page.find("body").send_keys("k")  # pause from the keyboard
        page.until(lambda: driver.execute_script("return %s.paused" % audio), "the pause")
        Select(page.find("#vitesse")).select_by_value("1.5")
        assert driver.execute_script("return %s.playbackRate" % audio) == 1.5
        page.find("body").send_keys("+")
        assert driver.execute_script("return %s.playbackRate" % audio) == 1.75
        page.find("body").send_keys(Keys.HOME)
        assert driver.execute_script("return %s.currentTime" % audio) == 0
        page.find("body").send_keys("l")
        page.until(lambda: abs(driver.execute_script("return %s.currentTime" % audio) - 5) < 0.01
                   or duration < 5, "the jump forward")
        page.shot("portal-document.png")
        page.find("#action-valider").click()
        page.until(lambda: page.present("dialog#confirmation[open]"), "the confirmation")
        page.shot("portal-confirmation.png")
        page.find("#confirmation-oui").click()
        page.until(lambda: "publié" in page.announcement(), "the publication")
        assert page.find("#etape").get_attribute("data-etape") == "Publications"
        assert os.path.exists(os.path.join(tasks, "Publications", AUTHOR,
                                           "hvr_%s.finished.bat" % first))

        phase("played, read, validated")
        # The second (a PDF) sent back, the third deleted.
        page.open_document(second)
        assert page.present(".transcription-pdf")
        page.decide("renvoyer")
        assert "en transcription" in page.announcement(), page.announcement()
        assert page.find("#etape").get_attribute("data-etape") == "Transcriptions"
        page.open_document(third)
        page.decide("supprimer")
        assert "corbeille" in page.announcement(), page.announcement()
        assert os.path.exists(os.path.join(tasks, "RecycleBin", AUTHOR, "hvr_%s.caf" % third))
        page.documents()
        assert [page.stage_of(n) for n in numbers] == ["Publications", "Transcriptions", "RecycleBin"]

        phase("sent back, deleted")
        # A document that vanishes while its page is open: nothing is done, and it says so.
        transcribe(site, second)
        page.open_document(second)
        for f in os.listdir(os.path.join(tasks, "Validations", AUTHOR)):
            if f.startswith("hvr_%s." % second):
                os.remove(os.path.join(tasks, "Validations", AUTHOR, f))
        page.decide("valider")
        assert "introuvable" in page.announcement() and "Rien n’a été fait" in page.announcement(), \
            page.announcement()
        assert not os.path.exists(os.path.join(tasks, "Publications", AUTHOR,
                                               "hvr_%s.finished.bat" % second))
        page.open_document("999")
        assert page.present("#introuvable")

        phase("vanished, unknown")
        # A session that ended elsewhere: back to log-on with the message.
        for cookie in driver.get_cookies():
            if "guichet_session" in cookie["name"]:
                driver.add_cookie({**cookie, "value": "0" * 32})
        page.find("a[href='#/documents']").click()
        page.until(lambda: page.present("#nom"), "log-on after the session ended")
        assert "session a expiré" in page.announcement(), page.announcement()

        # Log-off.
        page.log_on(AUTHOR, "dictee")
        page.until(lambda: page.present("#liste-documents"), "my documents")
        page.find("#deconnexion").click()
        page.until(lambda: "déconnecté" in page.announcement(), "the log-off")
        assert page.present("#nom")
        driver.refresh()
        page.until(lambda: page.present("#nom"), "log-on after a reload once logged off")

        phase("ended session, log-off")
        print("browser: log-on refused then accepted; queued, in transcription, to validate; "
              "played (%.2f s decoded, %.2f s recorded), read, validated, sent back, deleted; "
              "vanished and unknown documents, ended session, log-off: ok (%.1f s)" %
              (decoded, duration, time.time() - started))
        return 0
    except Exception:
        show_failure(driver)
        raise
    finally:
        end(driver, (web, guichet), root)


if __name__ == "__main__":
    sys.exit(main())
