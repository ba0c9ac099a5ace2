"""The whole life of a dictation on one Linux machine, in headless Chromium driven by
Selenium: the author dictates, the transcriber types it on the desk, the author validates
it, guichet-batch files it in the archive and the author finds it there.

- anna dictates with Chromium's fake microphone fed a spoken WAV (urgent, with a name to
  correct) and sends two Speex files; the first is seen queued, then in transcription,
  and Guichet's WAV of it is 11025 Hz, one channel, not silence;
- marie, a transcriber, logs on to the desk: the queue (urgent first, type labels, names,
  who has a document open, paul holding the second), the first opened and played (the
  page's duration is the recording's within 0.2 s; the function keys work while typing
  in a field), its downloads, "Terminé" refused before any typed document, a PDF
  uploaded and the name corrected, "Terminé"; the second taken over from paul, its text
  typed in the page with accents; the third a UTF-8 text file (stored in windows-1252)
  and a .doc;
- anna plays and validates the first and sees it published; `guichet-batch --archive`
  files it; from the second (same patient) the archive lists it and its PDF's bytes are
  fetched; the second's text is read back with its accents and it is sent back; the
  third's .doc is fetched from /typed and it is deleted.

    desk_browser_test.py BUILD_DIR SOURCE_DIR [--screenshots DIR]

With --screenshots, the desk's queue and document are saved there for the README.
"""
import http.cookiejar
import os
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from browser_test import (Portal, QueueLock, arguments, end, lay_out_site, phase, show_failure,
                          small_pdf, start_programs, wait_for)
from dictate_browser_test import audio_checks, browser, make_speech

AUTHOR = "anna"
PATIENT = "Lefèvre Hélène"
TYPED = "Compte rendu de consultation\nMme Hélène Lefèvre, 54 ans : œdème léger des chevilles.\nÀ revoir dans un mois.\n"
DOC = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + b"Courrier du docteur" * 40  # a Word file's signature


def add_transcribers(site):
    """Two transcribers in the users file (the demo's marie, and paul), both named in a
    transcribers list written as an administrator on Windows would."""
    folder = os.path.join(site, "Guichet")
    users = os.path.join(folder, "guichet_users.txt")
    known = open(users, "rb").read()
    with open(users, "ab") as f:
        for line in (b"marie:frappe=marie", b"paul:frappe=paul"):
            if b"\n" + line + b"\r\n" not in known:
                f.write(line + b"\r\n")
    with open(os.path.join(folder, "guichet_transcribers.txt"), "wb") as f:
        f.write(b"; Les transcripteurs du secr\xe9tariat\r\n\r\n  marie  \r\npaul\r\n")


class Desk(Portal):
    """The portal's page helpers, and the desk's."""

    def shot(self, name, height=None):
        """A screenshot; `height` makes the window that tall for it (the whole page)."""
        if height and self.shots:
            width = self.d.execute_script("return window.innerWidth")
            self.d.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
            try:
                Portal.shot(self, name)
            finally:
                self.d.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
        else:
            Portal.shot(self, name)

    def log_off(self):
        self.find("#deconnexion").click()
        self.until(lambda: self.present("#nom"), "the log-on form after log-off")

    def hash(self):
        return self.d.execute_script("return location.hash")

    def audio(self, expression):
        return self.d.execute_script("return document.querySelector('.lecteur audio')." + expression)

    def confirm(self):
        self.until(lambda: self.present("dialog#confirmation[open]"), "the confirmation")
        self.find("#confirmation-oui").click()

    def queue_row(self, number):
        rows = self.d.find_elements(By.CSS_SELECTOR, "#bureau-%s-%s" % (AUTHOR, number))
        return rows[0] if rows else None

    def queue(self):
        self.until(lambda: self.present("#file-bureau"), "the queue")
        self.idle()
        return [r.get_attribute("data-numero")
                for r in self.d.find_elements(By.CSS_SELECTOR, "#file-bureau tbody tr")]

    def open_on_desk(self, number):
        self.find("#ouvrir-%s-%s" % (AUTHOR, number)).click()
        self.until(lambda: self.present("#section-tape") or self.present("#bureau-refus"),
                   "desk document %s" % number)
        self.idle()

    def message(self, css, what):
        self.until(lambda: self.text(css) != "" and not self.text(css).startswith("Envoi"), what)
        return self.text(css)

    def fetch(self, url):
        """Status and bytes (as latin-1 text) of a same-origin fetch from the page."""
        status, body = self.d.execute_async_script(
            "const done = arguments[1];"
            "fetch(arguments[0]).then(async r => { const u = new Uint8Array(await r.arrayBuffer());"
            " let s = ''; for (let i = 0; i < u.length; i++) s += String.fromCharCode(u[i]);"
            " done([r.status, s]); }, e => done([0, String(e)]));", url)
        return status, body.encode("latin-1")


class Http:
    """A second transcriber's browser session, without a browser."""

    def __init__(self, url, name, password):
        self.url = url
        self.opener = urllib.request.build_opener(
            urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))
        status = self.post("session", {"name": name, "password": password})
        assert status == 200, status

    def send(self, path, body=None, method="POST"):
        request = urllib.request.Request(self.url + path, data=body, method=method,
                                         headers={"X-Guichet": "1"})
        try:
            with self.opener.open(request, timeout=20) as r:
                return r.status
        except urllib.error.HTTPError as e:
            return e.code

    def post(self, path, fields):
        return self.send(path, urllib.parse.urlencode(fields).encode())


def dictate(page, root, spx):
    """anna's three dictations; returns their numbers and the first's recorded length."""
    d = page.d
    page.d.get(page.url + "#/dicter")
    page.until(lambda: page.present("#type-doc option[value='CR']"), "the dictation form")
    page.idle()
    page.find("#type-doc option[value='CR']").click()
    page.find("#nom-doc").send_keys("Lefevre")  # the accents come on the desk
    page.find("#urgent").click()
    page.find("#enregistrer").click()
    page.until(lambda: page.text("#duree") >= "00:03", "three seconds of recording")
    page.find("#arreter").click()
    page.until(lambda: page.find("#ecoute").is_displayed(), "the recording to listen to")
    heard = d.execute_async_script(
        "const a = document.getElementById('ecoute'), done = arguments[0];"
        "if (a.readyState >= 1) done(a.duration); else a.onloadedmetadata = () => done(a.duration);")
    page.find("#envoyer").click()
    page.until(lambda: "envoyée" in page.text("#message"), "the dictation sent")
    first = page.text("#message").split("Dictée n° ")[1].split()[0]
    numbers = [first]
    # Held at once: the move cycle waits for quiet seconds, so the dictation stays queued.
    with QueueLock(os.path.join(root, "Tasks", "ToMove.txt")):
        page.documents()
        assert page.stage_of(first) == "ToMove", page.stage_of(first)
    phase("dictated, queued")
    for code, name in (("LT", PATIENT), ("LT", "Petit Léa")):
        page.d.get(page.url + "#/dicter")
        page.until(lambda: page.present("#type-doc option[value='%s']" % code), "the form")
        page.idle()
        page.find("#type-doc option[value='%s']" % code).click()
        page.find("#nom-doc").send_keys(name)
        page.find("#fichier").send_keys(spx)
        page.until(lambda: page.find("#envoyer").is_enabled(), "the file taken")
        page.find("#envoyer").click()
        page.until(lambda: "envoyée" in page.text("#message"), "the file sent")
        numbers.append(page.text("#message").split("Dictée n° ")[1].split()[0])
    transcriptions = os.path.join(root, "Tasks", "Transcriptions", AUTHOR)
    wait_for(lambda: all(os.path.exists(os.path.join(transcriptions, "hvr_%s.finished.bat" % n))
                         for n in numbers), "the move into transcription", timeout=40)
    page.documents()
    assert [page.stage_of(n) for n in numbers] == ["Transcriptions"] * 3
    return numbers, heard


def desk(page, root, numbers, heard, http_paul, work, shots):
    d = page.d
    first, second, third = numbers
    folder = os.path.join(root, "Tasks", "Transcriptions", AUTHOR)
    validations = os.path.join(root, "Tasks", "Validations", AUTHOR)

    # The page's CAF and Guichet's WAV of it: 11025 Hz, one channel, speech.
    wav = os.path.join(folder, "hvr_%s.wav" % first)
    probe, rms, seconds = audio_checks(wav)
    assert "sample_rate=11025" in probe and "channels=1" in probe, probe
    assert rms > 0.01, rms
    assert abs(seconds - heard) < 0.2, (seconds, heard)
    caf = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=sample_rate,channels",
                          "-of", "default=nw=1", os.path.join(folder, "hvr_%s.caf" % first)],
                         capture_output=True, text=True, check=True).stdout
    assert "sample_rate=11025" in caf and "channels=1" in caf, caf

    # paul holds the second; marie logs on and lands on the desk.
    status = http_paul.post("desk/open", {"a": AUTHOR, "n": second})
    assert status == 200, status
    page.log_on("marie", "frappe")
    page.until(lambda: page.hash() == "#/bureau", "the desk after log-on")
    assert page.find("#lien-bureau").is_displayed()
    order = page.queue()
    assert order[0] == first and sorted(order) == sorted(numbers), order  # urgent first
    row = page.queue_row(first).text
    assert "Urgent" in row and "Lefevre" in row and "Compte rendu de consultation" in row, row
    assert "paul" in page.queue_row(second).text, page.queue_row(second).text
    assert "Lettre au confrère" in page.queue_row(third).text, page.queue_row(third).text
    page.shot("desk-queue.png")

    # The first: played, its files, refused while nothing is typed, then typed and done.
    page.open_on_desk(first)
    page.until(lambda: page.present(".lecteur"), "the player")
    duration = float(page.find(".lecteur").get_attribute("data-duree"))
    assert abs(duration - seconds) <= 0.2 and abs(duration - heard) <= 0.2, (duration, seconds, heard)
    name = page.find("#nom-bureau")
    assert name.get_attribute("value") == "Lefevre"
    name.click()  # the keys while typing in the field
    name.send_keys(Keys.F2)
    page.until(lambda: page.audio("currentTime") > 0.5, "playback from F2")
    name.send_keys(Keys.F2)
    page.until(lambda: page.audio("paused"), "the pause from F2")
    at = page.audio("currentTime")
    name.send_keys(Keys.F4)
    assert abs(page.audio("currentTime") - max(0, at - 3)) < 0.05
    name.send_keys(Keys.F9, Keys.F9)
    assert page.audio("playbackRate") == 0.5
    name.send_keys(Keys.F10)
    assert page.audio("playbackRate") == 0.75
    assert name.get_attribute("value") == "Lefevre", "a function key typed into the field"
    links = {a.text: a.get_attribute("data-genre")
             for a in d.find_elements(By.CSS_SELECTOR, "#fichiers-bureau a")}
    assert links.get("hvr_%s.wav" % first) == "audio", links
    assert "template" in links.values(), links
    status, body = page.fetch(d.find_element(
        By.CSS_SELECTOR, "#fichiers-bureau a[data-genre='audio']").get_attribute("href"))
    assert status == 200 and body == open(wav, "rb").read()

    page.find("#termine").click()
    page.confirm()
    page.until(lambda: "Aucun document tapé" in page.announcement(), "the refusal of Terminé")
    assert os.path.exists(os.path.join(folder, "hvr_%s.finished.bat" % first))

    pdf = small_pdf()
    pdf_path = os.path.join(work, "compte-rendu.pdf")
    open(pdf_path, "wb").write(pdf)
    page.find("#fichier-tape").send_keys(pdf_path)
    page.find("#deposer").click()
    assert "déposé" in page.message("#message-depot", "the upload"), page.text("#message-depot")
    assert page.find("#progression-depot").get_attribute("value") == "1"
    assert open(os.path.join(folder, "hvr_%s.pdf" % first), "rb").read() == pdf
    assert "hvr_%s.pdf" % first in page.text("#deja-tape")
    name.clear()
    name.send_keys(PATIENT)
    page.find("#enregistrer-nom").click()
    page.until(lambda: "Nom enregistré" in page.text("#message-nom"), "the name saved")
    assert open(os.path.join(folder, "hvr_%s.id" % first), "rb").read().startswith(
        PATIENT.encode("cp1252"))
    page.shot("desk-document.png", height=1360)
    page.find("#termine").click()
    page.confirm()
    page.until(lambda: "validation de anna" in page.announcement(), "the document done")
    assert page.hash() == "#/bureau"
    assert os.path.exists(os.path.join(validations, "hvr_%s.pdf" % first))
    phase("first typed on the desk")

    # The second: held by paul, taken over; its text typed in the page.
    page.queue()
    page.open_on_desk(second)
    assert "paul" in page.text("#bureau-refus"), page.text("#bureau-refus")
    page.find("#reprendre").click()
    page.until(lambda: page.present("#texte-tape"), "the document taken over")
    page.idle()
    assert http_paul.send("desk/typed?" + urllib.parse.urlencode(
        {"a": AUTHOR, "n": second, "ext": ".txt"}), b"paul", "PUT") == 409
    page.find("#texte-tape").send_keys(TYPED)
    # Leaving the page lets the document go; the text not yet sent comes back with it.
    page.find("a[href='#/bureau']:not([aria-current])").click()
    page.until(lambda: page.present("#bureau-%s-%s" % (AUTHOR, second)), "the queue")
    page.until(lambda: "Personne" in page.queue_row(second).text, "the second let go")
    page.open_on_desk(second)
    assert page.find("#texte-tape").get_attribute("value") == TYPED, "the text typed was lost"
    page.find("#deposer-texte").click()
    assert "Texte déposé" in page.message("#message-depot", "the text"), page.text("#message-depot")
    assert open(os.path.join(folder, "hvr_%s.txt" % second), "rb").read() == \
        TYPED.replace("\n", "\r\n").encode("cp1252")
    page.find("#termine").click()
    page.confirm()
    page.until(lambda: "validation de anna" in page.announcement(), "the second done")

    # The third: a UTF-8 text file, stored in windows-1252 as the site's texts; then a .doc.
    page.queue()
    page.open_on_desk(third)
    note = os.path.join(work, "note.txt")
    open(note, "w", encoding="utf-8").write("Note brève : œdème.\r\n")
    page.find("#fichier-tape").send_keys(note)
    page.find("#deposer").click()
    assert "converti" in page.message("#message-depot", "the text file"), page.text("#message-depot")
    assert open(os.path.join(folder, "hvr_%s.txt" % third), "rb").read() == \
        "Note brève : œdème.\r\n".encode("cp1252")
    doc_path = os.path.join(work, "courrier.doc")
    open(doc_path, "wb").write(DOC)
    page.find("#fichier-tape").send_keys(doc_path)
    page.find("#deposer").click()
    assert "déposé" in page.message("#message-depot", "the .doc"), page.text("#message-depot")
    page.find("#termine").click()
    page.confirm()
    page.until(lambda: "validation de anna" in page.announcement(), "the third done")
    assert page.queue() == []
    page.log_off()
    phase("desk")
    return pdf


def author_decides(page, build, root, numbers, heard, pdf):
    first, second, third = numbers
    page.log_on(AUTHOR, "dictee")
    page.until(lambda: page.hash() == "#/documents", "my documents after log-on")
    assert not page.find("#lien-bureau").is_displayed()
    page.documents()
    assert [page.stage_of(n) for n in numbers] == ["Validations"] * 3

    page.open_document(first)
    page.until(lambda: page.present(".lecteur"), "the author's player")
    assert abs(float(page.find(".lecteur").get_attribute("data-duree")) - heard) <= 0.2
    assert page.present(".transcription-pdf")
    page.decide("valider")
    assert "publié" in page.announcement(), page.announcement()

    # The archive runner, the real program, files it.
    run = subprocess.run([os.path.join(build, "guichet-batch"), "--archive", root],
                         capture_output=True, text=True, timeout=30)
    assert run.returncode == 0, run.stdout + run.stderr
    archived = [os.path.join(p, f) for p, _, fs in os.walk(os.path.join(root, "Archives"))
                for f in fs if f.endswith(".pdf")]
    assert any(open(f, "rb").read() == pdf for f in archived), archived
    phase("validated, archived")

    # The second, same patient: its text with its accents; the archive holds the first.
    page.open_document(second)
    page.until(lambda: page.find("#transcription").get_attribute("textContent") != "", "the text")
    shown = page.find("#transcription").get_attribute("textContent")
    assert shown == TYPED.replace("\n", "\r\n"), repr(shown)
    page.find("a[href='#/archives/%s']" % second).click()
    page.until(lambda: page.present("table.archives"), "the archive")
    page.idle()
    opened = [a.get_attribute("href")
              for a in page.d.find_elements(By.CSS_SELECTOR, "table.archives a[href*='.pdf']")]
    fetched = [page.fetch(h) for h in opened]
    assert any(s == 200 and b == pdf for s, b in fetched), [s for s, _ in fetched]
    page.open_document(second)
    page.decide("renvoyer")
    assert "en transcription" in page.announcement(), page.announcement()

    # The third: its .doc from the front end's list of typed documents, then deleted.
    page.open_document(third)
    page.until(lambda: page.present("#transcription-doc"), "the .doc download")
    assert page.fetch(page.find("#transcription-doc").get_attribute("href")) == (200, DOC)
    page.decide("supprimer")
    assert "corbeille" in page.announcement(), page.announcement()
    page.documents()
    assert [page.stage_of(n) for n in numbers] == [None, "Transcriptions", "RecycleBin"], \
        [page.stage_of(n) for n in numbers]


def main():
    build, source, shots = arguments()
    root = tempfile.mkdtemp(prefix="guichet-desk-")
    guichet = web = driver = None
    started = time.time()
    try:
        lay_out_site(build, source, root)
        add_transcribers(root)
        work = os.path.join(root, "work")
        os.makedirs(work)
        mic, spx = make_speech(work)
        guichet, web, url = start_programs(root)
        driver = browser(os.path.join(root, "chromium-profile"), mic)
        driver.set_window_size(1024, 1000)
        driver.set_script_timeout(20)
        page = Desk(driver, url, shots)
        phase("site laid out")
        driver.execute_cdp_cmd("Browser.setPermission", {
            "origin": url.rstrip("/"), "permission": {"name": "microphone"}, "setting": "granted"})
        driver.get(url)
        page.log_on(AUTHOR, "dictee")
        page.until(lambda: page.present("#liste-documents"), "my documents")
        numbers, heard = dictate(page, root, spx)
        page.log_off()
        phase("in transcription")
        paul = Http(url, "paul", "frappe")
        pdf = desk(page, root, numbers, heard, paul, work, shots)
        author_decides(page, build, root, numbers, heard, pdf)
        print("desk in the browser: dictated, queued, typed on the desk, validated, archived, "
              "found in the archive; sent back, deleted: ok (%.0f s)" % (time.time() - started))
        return 0
    except Exception:
        show_failure(driver)
        raise
    finally:
        end(driver, (web, guichet), root)


if __name__ == "__main__":
    sys.exit(main())
