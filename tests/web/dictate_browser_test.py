"""The author dictates in the browser: headless Chromium, driven by Selenium, with its fake
microphone fed a spoken WAV, on a temporary copy of the demo site served by guichet-web.

One flow: a refused microphone says so; a dictation is recorded (pause and resume), its
first upload is cut off and says so, the retry goes on with the same document number and
the recording; Guichet's move cycle converts the CAF the page wrote, and the WAV is read by
ffprobe at 11025 Hz, one channel, with sox's RMS level well above silence and the length
recorded; an existing .spx is sent from disk, and the CAF Guichet makes of it starts with
the same 4096 header bytes as the page's; then the demo patient's archive (a text read in
the page, a PDF served) and an agenda day with the next day.

    dictate_browser_test.py BUILD_DIR SOURCE_DIR [--screenshots DIR]
"""
import os
import re
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import Select, WebDriverWait

# The site and the two programs, laid out and started as the author flow does.
from browser_test import arguments, end, lay_out_site, show_failure, start_programs


def make_speech(work):
    """A spoken WAV for the fake microphone (48 kHz, like a sound card) and the same
    speech as a Speex file at 11025 Hz, as tools/make-dictation.sh makes it."""
    raw, mic = os.path.join(work, "raw.wav"), os.path.join(work, "micro.wav")
    subprocess.run(["espeak-ng", "-v", "fr", "-w", raw,
                    "Bonjour, voici une lettre pour le docteur Martin. Le patient va bien."],
                   check=True)
    subprocess.run(["sox", raw, "-r", "48000", "-c", "1", "-b", "16", mic], check=True)
    s11, spx = os.path.join(work, "s11.wav"), os.path.join(work, "dictee.spx")
    subprocess.run(["sox", raw, "-r", "11025", "-c", "1", "-b", "16", s11], check=True)
    subprocess.run(["speexenc", s11, spx], check=True, stderr=subprocess.DEVNULL)
    return mic, spx


def browser(profile, mic):
    options = Options()
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--window-size=820,1000", "--lang=fr-FR",
                "--use-fake-device-for-media-stream",
                "--use-file-for-fake-audio-capture=" + mic,
                "--user-data-dir=" + profile):
        options.add_argument(arg)
    options.binary_location = "/usr/bin/chromium"
    # The browser's own texts (file and date fields) in French, as an author's browser.
    env = dict(os.environ, LANGUAGE="fr", LANG="fr_FR.UTF-8")
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver", env=env), options=options)


class NoSessions(Exception):
    """The front end has no browser sessions (POST /session unknown)."""


SKIPPED = 77


class Portal:
    """Page helpers for the repeated steps."""

    def __init__(self, driver, url, shots):
        self.d, self.url, self.shots = driver, url, shots
        self.wait = WebDriverWait(driver, 20)

    def log_on(self, name, password):
        self.d.get(self.url)
        status = self.d.execute_async_script(
            "const done = arguments[2];"
            "fetch('/session', {method: 'POST', headers: {'X-Guichet': '1'},"
            " body: new URLSearchParams({name: arguments[0], password: arguments[1]})})"
            ".then(r => done(r.status), e => done(String(e)));", name, password)
        if status in (404, 405):
            raise NoSessions()
        assert status == 200, status
        self.d.refresh()
        self.wait.until(lambda d: d.execute_script(
            "return window.portail && window.portail.utilisateur !== null"))

    def go(self, route, heading):
        start = time.time()
        self.d.execute_script("document.getElementById('contenu').replaceChildren();"
                              "window.portail.aller(arguments[0])", "#" + route)
        self.wait.until(lambda d: heading in d.find_element(By.TAG_NAME, "h1").text)
        self.wait.until(lambda d: d.find_element(By.ID, "occupe").get_attribute("hidden"))
        print("view %s: %.2f s" % (route, time.time() - start))

    def click(self, id_):
        self.wait.until(EC.element_to_be_clickable((By.ID, id_))).click()

    def text(self, id_):
        return self.d.find_element(By.ID, id_).text

    def message(self, pattern):
        self.wait.until(lambda d: re.search(pattern, d.find_element(By.ID, "message").text))
        return self.text("message")

    def shot(self, name):
        if self.shots:
            self.d.save_screenshot(os.path.join(self.shots, name))


def wait_for(path, seconds=40):
    end = time.time() + seconds
    while not os.path.exists(path):
        assert time.time() < end, "never came: " + path
        time.sleep(0.2)


def audio_checks(wav):
    """Rate and channels by ffprobe, duration and RMS level by sox."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                            "stream=sample_rate,channels", "-of", "default=nw=1", wav],
                           capture_output=True, text=True, check=True).stdout
    stat = subprocess.run(["sox", wav, "-n", "stat"], capture_output=True, text=True).stderr
    rms = float(re.search(r"RMS\s+amplitude:\s+([\d.]+)", stat).group(1))
    seconds = float(re.search(r"Length \(seconds\):\s+([\d.]+)", stat).group(1))
    return probe, rms, seconds


def dictate(p, root):
    anna = os.path.join(root, "Tasks", "Transcriptions", "anna")
    d = p.d

    # A refused microphone is said in words, and nothing is left half open.
    d.execute_cdp_cmd("Browser.setPermission", {
        "origin": p.url.rstrip("/"), "permission": {"name": "microphone"}, "setting": "denied"})
    p.go("/dicter", "Dicter")
    p.click("enregistrer")
    assert "refusé" in p.message("micro"), p.text("message")
    assert d.find_element(By.ID, "envoyer").get_attribute("disabled")
    p.shot("portal-dictate-microphone-refused.png")
    d.execute_cdp_cmd("Browser.setPermission", {
        "origin": p.url.rstrip("/"), "permission": {"name": "microphone"}, "setting": "granted"})

    # Record with a pause: the pause is left out of the length.
    p.go("/dicter", "Dicter")
    Select(d.find_element(By.ID, "type-doc")).select_by_value("LT")
    d.find_element(By.ID, "nom-doc").send_keys("Lefèvre Hélène")
    d.find_element(By.ID, "urgent").click()
    p.click("enregistrer")
    p.wait.until(lambda d: d.find_element(By.ID, "duree").text >= "00:01")
    p.shot("portal-dictate-recording.png")
    p.click("pause")
    time.sleep(1.0)
    p.click("pause")  # Reprendre
    p.wait.until(lambda d: d.find_element(By.ID, "duree").text >= "00:03")
    p.click("arreter")
    p.wait.until(lambda d: d.find_element(By.ID, "ecoute").is_displayed())
    heard = d.execute_async_script(
        "const a = document.getElementById('ecoute'), done = arguments[0];"
        "if (a.readyState >= 1) done(a.duration); else a.onloadedmetadata = () => done(a.duration);")
    assert 3.0 <= heard < 4.2, heard
    p.shot("portal-dictate.png")

    # The session ends before sending: back to log-on with a message; after logging on
    # again the recording, the type, the name and the urgency are still there.
    # (Closed through the front end, then the dead cookie put back, as an expired one.)
    cookie = d.get_cookie("guichet_session")
    closed = d.execute_async_script(
        "fetch('/session', {method: 'DELETE', headers: {'X-Guichet': '1'}})"
        ".then(r => arguments[0](r.status))")
    assert closed == 204, closed
    d.add_cookie({k: cookie[k] for k in ("name", "value", "path", "httpOnly", "sameSite")})
    p.click("envoyer")
    p.wait.until(lambda d: d.find_elements(By.ID, "motdepasse"))
    assert "session" in p.text("annonce"), p.text("annonce")
    d.find_element(By.ID, "nom").send_keys("anna")
    d.find_element(By.ID, "motdepasse").send_keys("dictee")
    p.click("connexion")
    assert "conservé" in p.message("conservé")
    assert d.find_element(By.ID, "nom-doc").get_attribute("value") == "Lefèvre Hélène"
    assert d.find_element(By.ID, "urgent").is_selected()
    assert Select(d.find_element(By.ID, "type-doc")).first_selected_option.get_attribute("value") == "LT"

    # The first upload is cut off; the retry keeps the number and the recording.
    d.execute_cdp_cmd("Network.enable", {})
    d.execute_cdp_cmd("Network.setBlockedURLs", {"urls": ["*/upload?*"]})
    p.click("envoyer")
    assert "interrompu" in p.message("interrompu|échoué"), p.text("message")
    p.shot("portal-dictate-cut-off.png")
    d.execute_cdp_cmd("Network.setBlockedURLs", {"urls": []})
    start = time.time()
    p.click("reessayer")
    number = re.search(r"Dictée n° (\d+)", p.message(r"Dictée n° \d+ ")).group(1)
    print("sent (upload, .id, .urg, finished, stage read back): %.2f s" % (time.time() - start))
    tasks = os.path.join(root, "Tasks")
    assert open(os.path.join(tasks, "Count.txt")).read().strip() == str(int(number) + 1)

    # Guichet converts what the page wrote.
    base = os.path.join(anna, "hvr_" + number)
    wait_for(base + ".wav")
    probe, rms, seconds = audio_checks(base + ".wav")
    assert "sample_rate=11025" in probe and "channels=1" in probe, probe
    assert rms > 0.01, rms  # espeak's speech is about 0.07; silence is 0
    assert abs(seconds - heard) < 0.2, (seconds, heard)
    assert open(base + ".id", "rb").read().startswith("Lefèvre Hélène".encode("cp1252"))
    assert open(base + ".urg", "rb").read().startswith(b"URGENT")
    assert os.path.exists(base + ".URGENT!")
    print("dictation #%s: %.2f s, RMS %.3f, %s" % (number, seconds, rms, probe.split()))
    return number


def plain_resampler(p):
    """The resampler for browsers without an offline graph at 11025 Hz agrees with the
    browser's own on speech-band tones: a 440 Hz and a 2 kHz sine from 48 kHz."""
    diff = p.d.execute_async_script("""
        const done = arguments[0];
        import('/js/cafwriter.js').then(async (w) => {
          const input = new Float32Array(48000);
          for (let i = 0; i < input.length; i++)
            input[i] = 0.4 * Math.sin(2 * Math.PI * 440 * i / 48000) +
                       0.3 * Math.sin(2 * Math.PI * 2000 * i / 48000);
          const ref = await w.resample(input, 48000);
          const plain = w.plainResample(input, 48000, ref.length);
          let e = 0, r = 0;
          for (let i = 200; i < ref.length - 200; i++) {
            e += (ref[i] - plain[i]) ** 2; r += ref[i] ** 2;
          }
          done([ref.length, Math.sqrt(e / r)]);
        }, (e) => done(String(e)));""")
    assert diff[0] == 11025 and diff[1] < 0.1, diff


def send_file(p, root, spx, number):
    d = p.d
    p.go("/dicter", "Dicter")
    # A type whose code has an accent: the page must send it to Guichet in windows-1252.
    Select(d.find_element(By.ID, "type-doc")).select_by_value("ÉC")
    d.find_element(By.ID, "fichier").send_keys(spx)
    p.message("dictee.spx")
    p.click("envoyer")
    other = re.search(r"Dictée n° (\d+)", p.message(r"Dictée n° \d+ ")).group(1)
    assert other != number
    anna = os.path.join(root, "Tasks", "Transcriptions", "anna")
    wait_for(os.path.join(anna, "hvr_%s.caf" % other))
    time.sleep(0.5)
    ours = open(os.path.join(anna, "hvr_%s.caf" % number), "rb").read(4096)
    guichets = open(os.path.join(anna, "hvr_%s.caf" % other), "rb").read(4096)
    assert ours == guichets, "the page's CAF header differs from Guichet's"
    typedoc = open(os.path.join(anna, "hvr_%s.typedoc" % other), "rb").read()
    assert typedoc.split(b"\r\n")[0] == "ÉC".encode("cp1252"), typedoc
    print("sent file #%s; CAF headers of page and Guichet equal" % other)


def archive_and_agenda(p):
    d = p.d
    p.go("/archives/1001", "Archive d")
    rows = d.find_elements(By.CSS_SELECTOR, "table.archives tbody tr")
    assert len(rows) == 4, len(rows)
    assert "Lettre au confrère ! suivi" in rows[0].text, rows[0].text  # newest first
    read = d.find_element(By.CSS_SELECTOR, "table.archives button.lien")
    read.click()
    p.wait.until(lambda d: "sans particularité" in d.find_element(By.CSS_SELECTOR, "pre.texte").text)
    pdf = d.find_element(By.CSS_SELECTOR, "table.archives a[href*='.pdf']").get_attribute("href")
    got = d.execute_async_script(
        "fetch(arguments[0]).then(r => arguments[1](r.status + ' ' + r.headers.get('Content-Type')))",
        pdf)
    assert got.startswith("200 application/pdf"), got
    p.shot("portal-archive.png")

    # The author's day: appointments (time, first word, the rest; a tab is a space),
    # a free line, the accents of Windows-1252 (œ included); then the next day, and an
    # empty day file.
    p.go("/agenda/2026-12-07", "Agenda du lundi 7 décembre 2026")
    items = [li.text.split("\n") for li in d.find_elements(By.CSS_SELECTOR, "ol.agenda li")]
    assert items == [["08:30", "Consultation", "contrôle annuel"],
                     ["09:15", "Échographie", "cœur"],
                     ["10:00", "Radio", "genou droit"],
                     ["Fermé l'après-midi"]], items
    p.shot("portal-agenda.png")
    p.click("jour-suivant")
    p.wait.until(lambda d: "8 décembre 2026" in d.find_element(By.TAG_NAME, "h1").text)
    p.wait.until(lambda d: "Réunion" in d.find_element(By.CSS_SELECTOR, "ol.agenda").text)
    p.go("/agenda/2026-12-10", "Agenda du jeudi 10 décembre 2026")
    assert "Aucun rendez-vous" in p.text("agenda-vide")


def main():
    build, source, shots = arguments()
    root = tempfile.mkdtemp(prefix="guichet-dictate-")
    guichet = web = driver = None
    started = time.time()
    try:
        lay_out_site(build, source, root)
        with open(os.path.join(root, "Templates", "TypeDocs.txt"), "ab") as catalogue:
            catalogue.write("1|ÉC|Échographie|Échographie cardiaque\r\n".encode("cp1252"))
        work = os.path.join(root, "work")
        os.makedirs(work)
        mic, spx = make_speech(work)
        guichet, web, url = start_programs(root)
        driver = browser(os.path.join(root, "chromium-profile"), mic)
        driver.set_script_timeout(20)
        p = Portal(driver, url, shots)
        p.log_on("anna", "dictee")
        number = dictate(p, root)
        plain_resampler(p)
        send_file(p, root, spx, number)
        archive_and_agenda(p)
        print("dictate in the browser: ok (%.0f s)" % (time.time() - started))
        return 0
    except NoSessions:
        print("skipped: this guichet-web has no browser sessions (POST /session)")
        return SKIPPED
    except Exception:
        show_failure(driver)
        raise
    finally:
        end(driver, (web, guichet), root)


if __name__ == "__main__":
    sys.exit(main())
