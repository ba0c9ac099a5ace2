"""A real browser on the portal: headless Chromium, driven by Selenium, opens the start
page of a demo site served by guichet-web, logs on through the form and must see the menu
page with the user's name; a wrong password must bring back the log-on page with its
message. Guichet and guichet-web run in a temporary copy of the demo site.

    browser_test.py BUILD_DIR SOURCE_DIR [--screenshot OUT.png]

With --screenshot, the start page filled in is saved as a picture (the README's).
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait


def lay_out_site(build, source, root):
    shutil.copytree(os.path.join(source, "tools", "demo-site"), root, dirs_exist_ok=True)
    for sub in ("Guichet", "IsapiHalvero", "Tasks", "www"):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    for exe in ("guichet", "guichet-web", "Radiveve.so"):
        shutil.copy2(os.path.join(build, exe), os.path.join(root, "Guichet", exe))


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


def browser(profile):
    options = Options()
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--window-size=900,640",
                "--user-data-dir=" + profile):
        options.add_argument(arg)
    options.binary_location = "/usr/bin/chromium"
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def log_on(driver, url, name, password):
    driver.get(url)
    driver.find_element(By.ID, "nom").send_keys(name)
    driver.find_element(By.ID, "motdepasse").send_keys(password)
    driver.find_element(By.ID, "connexion").click()


def main():
    build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    screenshot = None
    if "--screenshot" in sys.argv:
        screenshot = os.path.abspath(sys.argv[sys.argv.index("--screenshot") + 1])
    root = tempfile.mkdtemp(prefix="guichet-browser-")
    guichet = web = driver = None
    try:
        lay_out_site(build, source, root)
        guichet, web, url = start_programs(root)
        driver = browser(os.path.join(root, "chromium-profile"))
        wait = WebDriverWait(driver, 20)

        driver.get(url)
        assert "Portail de dict" in driver.title, driver.title
        if screenshot:
            driver.find_element(By.ID, "nom").send_keys("anna")
            driver.find_element(By.ID, "motdepasse").send_keys("dictee")
            driver.save_screenshot(screenshot)

        log_on(driver, url, "anna", "dictee")
        wait.until(expected_conditions.title_is("Guichet - menu"))
        assert driver.find_element(By.TAG_NAME, "h1").text == "Menu"
        assert driver.find_element(By.ID, "utilisateur").text == "anna"
        if screenshot:
            driver.save_screenshot(screenshot.replace(".png", "-menu.png"))

        log_on(driver, url, "anna", "faux")
        wait.until(expected_conditions.title_is("Guichet - connexion"))
        message = driver.find_element(By.CLASS_NAME, "message").text
        assert "Utilisateur non reconnu" in message, message
        print("browser: start page, log-on, menu with anna, refused password: ok")
        return 0
    finally:
        if driver:
            driver.quit()
        for p in (web, guichet):
            if p:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=15)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
