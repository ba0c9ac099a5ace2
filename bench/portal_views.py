"""What each view of the portal costs: the requests it sends and the time until its last
answer, in headless Chromium against the real guichet and guichet-web in a temporary copy
of the demo site. Not a test: it prints its figures.

    /usr/bin/python3 bench/portal_views.py BUILD_DIR SOURCE_DIR [ROUNDS]

Each view is opened ROUNDS times (default 5); the figures are the median and the worst.
A view's time runs from the moment the page is asked for it to the end of the last answer
it waited for, as the browser's resource timings give it.
"""
import os
import statistics
import sys
import tempfile
from urllib.parse import urlparse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
from browser_test import (AUTHOR, Client, Portal, arguments, browser, end,  # noqa: E402
                          lay_out_site, make_dictation, start_programs, transcribe, wait_for)

START = "performance.clearResourceTimings(); window.__vue = performance.now();"
# The requests sent since START, and the time from START to the end of the last one.
READ = """
const e = performance.getEntriesByType('resource').filter(r => r.startTime >= window.__vue);
return [e.map(r => r.name), Math.max(0, ...e.map(r => r.responseEnd)) - window.__vue];
"""


def measure(page, open_view, settled):
    page.d.execute_script(START)
    open_view()
    page.until(settled, "the view")
    page.idle()
    names, ms = page.d.execute_script(READ)
    paths = [urlparse(n).path for n in names]
    to_guichet = sum(p == "/portail.hv" for p in paths)
    # Modules and style sheets come from the browser's cache after the first round.
    others = sorted(set(p for p in paths if p != "/portail.hv" and not p.startswith(("/js/", "/css/"))))
    return to_guichet, others, ms


def main():
    build, source, _ = arguments()
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    root = tempfile.mkdtemp(prefix="guichet-views-")
    guichet = web = driver = None
    try:
        spx, _ = make_dictation(source, os.path.join(root, "dictation"))
        site = os.path.join(root, "site")
        lay_out_site(build, source, site)
        guichet, web, url = start_programs(site)
        client = Client(url)
        client.site = site
        numbers = client.dictate(spx, [("LT", "Durand Éloïse", True)] * (rounds + 1))
        tasks = os.path.join(site, "Tasks")
        wait_for(lambda: all(os.path.exists(os.path.join(
            tasks, "Transcriptions", AUTHOR, "hvr_%s.finished.bat" % n)) for n in numbers),
            "the move into transcription", timeout=60)
        for n in numbers:
            transcribe(site, n, text="Texte dactylographié.\r\n")
        driver = browser(os.path.join(root, "chromium-profile"))
        page = Portal(driver, url, None)
        driver.get(url)
        figures = {}

        def note(view, result):
            figures.setdefault(view, []).append(result)

        for i in range(rounds):
            page.until(lambda: page.present("#nom"), "the log-on form")
            for css, value in (("#nom", AUTHOR), ("#motdepasse", "dictee")):
                page.find(css).clear()
                page.find(css).send_keys(value)
            note("log-on", measure(page, lambda: page.find("#connexion").click(),
                                   lambda: page.present("#liste-documents")))
            note("my documents", measure(
                page, lambda: page.d.execute_script("location.hash = '#/agenda'; "
                                                    "location.hash = '#/documents'"),
                lambda: page.present("#liste-documents")))
            note("a document", measure(
                page, lambda: page.d.execute_script("location.hash = '#/document/%s'" % numbers[i]),
                lambda: page.present(".lecteur") and page.present("#transcription")))
            page.find("#action-valider").click()
            page.until(lambda: page.present("dialog#confirmation[open]"), "the confirmation")
            note("a decision", measure(page, lambda: page.find("#confirmation-oui").click(),
                                       lambda: page.announcement() != ""))
            note("archive", measure(
                page, lambda: page.d.execute_script("location.hash = '#/archives/%s'" % numbers[i]),
                lambda: page.present("table.archives") or page.present(".vide")))
            note("agenda", measure(
                page, lambda: page.d.execute_script("location.hash = '#/agenda/2026-12-07'"),
                lambda: page.present("ol.agenda") or page.present("#agenda-vide")))
            note("dictate (form)", measure(
                page, lambda: page.d.execute_script("location.hash = '#/dicter'"),
                lambda: page.present("#type-doc option")))
            page.find("#deconnexion").click()
            page.until(lambda: page.present("#nom"), "the log-off")

        print("portal views, %d rounds, load %.2f: requests to Guichet (others) and time to the "
              "last answer, median / worst" % (rounds, os.getloadavg()[0]))
        for view, results in figures.items():
            times = [r[2] for r in results]
            print("  %-15s %d request(s) to Guichet %-28s %6.1f ms / %6.1f ms" % (
                view, max(r[0] for r in results), "(+ " + ", ".join(results[-1][1]) + ")"
                if results[-1][1] else "", statistics.median(times), max(times)))
        return 0
    finally:
        end(driver, (web, guichet), root)


if __name__ == "__main__":
    sys.exit(main())
