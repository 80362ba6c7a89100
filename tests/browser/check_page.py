#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Drives the demo's page in headless Chromium and checks what it shows.

Run by tests/e2e/servers_test.cpp against each web server, with Debian's chromium, chromium-driver
and python3-selenium (hence /usr/bin/python3, whose packages they are). Nothing is downloaded.

The administrator logs in first (--user, as the browser keeps the credentials of a camera once
opened). The page is loaded, the layout it shows is compared with --ids, subview 0 is changed and
saved, the layout file and the page are checked after the read-back, and a screenshot is saved.
Then a page of another site (served here at http://localhost:PORT/) sends a form to
setquadview.cgi, with the administrator's credentials as browsers send them: the layout file must
stay as it was. Then the script stops the simulated camera (--camera-pid) and the page must show
the error of the next read.

Exits 0 when every check passes, 1 otherwise.
"""

import argparse
import configparser
import http.server
import os
import shutil
import signal
import sys
import tempfile
import threading
import urllib.parse

from selenium import webdriver
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

# Debian's chromium binary itself; /usr/bin/chromium is a launcher script that adds flags for
# desktop use (extensions among them).
CHROMIUM_CANDIDATES = ("/usr/lib/chromium/chromium", "/usr/bin/chromium")
CHROMEDRIVER = "/usr/bin/chromedriver"
WINDOW = (1200, 900)
TIMEOUT_S = 15


class Checker:
    """Counts failed checks and reports each one."""

    def __init__(self):
        self.failures = 0

    def equal(self, what, actual, expected):
        if actual != expected:
            self.fail(f"{what}: {actual!r}, expected {expected!r}")

    def true(self, what, condition):
        if not condition:
            self.fail(what)

    def fail(self, text):
        print(f"  FAILED: {text}", flush=True)
        self.failures += 1


def start_browser(profile_dir):
    options = webdriver.ChromeOptions()
    options.binary_location = next(p for p in CHROMIUM_CANDIDATES if os.access(p, os.X_OK))
    # --no-sandbox: the demo may run as root.
    flags = "--headless=new --no-sandbox --disable-dev-shm-usage --disable-gpu --no-first-run "
    flags += "--disable-background-networking --disable-component-update --disable-sync "
    flags += f"--window-size={WINDOW[0]},{WINDOW[1]}"
    for flag in flags.split() + [f"--user-data-dir={profile_dir}"]:
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)


def wait_until_idle(driver, exchanges):
    """Waits until the page's current action has made `exchanges` requests and finished."""
    WebDriverWait(driver, TIMEOUT_S).until(
        lambda d: not d.execute_script("return document.body.classList.contains('busy')")
        and len(d.find_elements(By.CSS_SELECTOR, "#exchanges li")) == exchanges
    )


def subview_state(driver):
    """What each subview shows: (source id text, angle text, needle transform, choice)."""
    state = []
    for figure in driver.find_elements(By.CSS_SELECTOR, ".subview"):
        source_id, angle, needle, choice = (
            figure.find_element(By.CSS_SELECTOR, selector)
            for selector in (".source-id", ".angle", ".needle", ".choice")
        )
        transform = needle.get_attribute("transform")
        state.append((source_id.text, angle.text, transform, choice.get_property("value")))
    return state


def expected_state(ids):
    return [(str(i), f"{(i - 1) * 90}°", f"rotate({(i - 1) * 90})", str(i)) for i in ids]


def listed(driver, kind):
    """The texts of the exchanges listed, of one `kind`: "request" or "answer"."""
    return [e.text for e in driver.find_elements(By.CSS_SELECTOR, f"#exchanges .{kind}")]


def error_shown(driver):
    if not driver.find_element(By.ID, "error").is_displayed():
        return None
    return tuple(driver.find_element(By.ID, i).text for i in ("error-code", "error-description"))


def save_whole_page(driver, path):
    """Saves a screenshot of the whole page, the window grown to hold it."""
    height, frame = driver.execute_script(
        "return [document.documentElement.scrollHeight, window.outerHeight - window.innerHeight]"
    )
    driver.set_window_size(WINDOW[0], max(WINDOW[1], height + frame))
    driver.save_screenshot(path)


def stored_ids(layout_file, mount):
    keys = configparser.ConfigParser(interpolation=None)
    keys.read(layout_file)
    group = keys[f"QUADVIEW_{mount.upper()}"]
    return [int(group[f"subview{i}_pan"]) // 90 + 1 for i in range(4)]


def camera_gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def log_in(driver, args):
    """Opens a guarded URL with the credentials in it, which the browser then keeps."""
    page = urllib.parse.urlsplit(args.url)
    print(f"logging in as {args.user.split(':')[0]}", flush=True)
    driver.get(f"{page.scheme}://{args.user}@{page.netloc}/cgi-bin/getquadview.cgi")
    WebDriverWait(driver, TIMEOUT_S).until(lambda d: "QuadViewResponse" in d.page_source)


def check_form_from_another_site(driver, args, check):
    """A page on localhost, another site than 127.0.0.1, submits a write form to the camera."""
    if args.skip_cross_site:
        print(f"skipped: a form from another site ({args.skip_cross_site})", flush=True)
        return
    target = args.url + "cgi-bin/setquadview.cgi"
    form = (
        f'<form action="{target}"><input name="id" value="1,1,1,1"></form>'
        "<script>document.forms[0].submit()</script>"
    ).encode()

    class FormPage(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            self.wfile.write(form)

        def log_message(self, *_):
            pass

    with open(args.layout_file, "rb") as file:
        before = file.read()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), FormPage)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        other = f"http://localhost:{server.server_address[1]}/"
        print(f"a form from {other} tries to write id=1,1,1,1", flush=True)
        driver.get(other)
        WebDriverWait(driver, TIMEOUT_S).until(
            lambda d: d.current_url.startswith(target) and "QuadViewResponse" in d.page_source
        )
    finally:
        server.shutdown()
        server.server_close()
    check.true("the form from another site is answered 400", "Bad Request." in driver.page_source)
    with open(args.layout_file, "rb") as file:
        check.true(
            "the layout file is unchanged after the form from another site", file.read() == before
        )


def check_page(driver, args, check):
    read_url = args.url + "cgi-bin/getquadview.cgi"
    ids = [int(i) for i in args.ids.split(",")]

    log_in(driver, args)
    print(f"loading {args.url}", flush=True)
    driver.get(args.url)
    wait_until_idle(driver, 1)
    check.equal("the subviews after loading", subview_state(driver), expected_state(ids))
    check.equal("the request listed", listed(driver, "request"), [f"GET {read_url}"])
    check.true(
        "the answer listed holds the four ids",
        all(f"<Id>{i}</Id>" in listed(driver, "answer")[0] for i in ids),
    )
    check.equal("the error shown", error_shown(driver), None)

    changed = ids.copy()
    changed[0] = ids[0] % 4 + 1
    print(f"choosing source {changed[0]} for subview 0 and saving", flush=True)
    choice = driver.find_element(By.CSS_SELECTOR, '.subview[data-subview="0"] .choice')
    Select(choice).select_by_value(str(changed[0]))
    driver.find_element(By.ID, "save").click()
    wait_until_idle(driver, 2)
    write_url = args.url + "cgi-bin/setquadview.cgi?id=" + ",".join(map(str, changed))
    check.equal(
        "the requests listed", listed(driver, "request"), [f"GET {write_url}", f"GET {read_url}"]
    )
    check.true("the write's answer listed", "<GeneralSuccess/>" in listed(driver, "answer")[0])
    check.equal("the error shown", error_shown(driver), None)
    check.equal("the subviews after the read-back", subview_state(driver), expected_state(changed))
    check.equal("the layout file's ids", stored_ids(args.layout_file, args.mount), changed)
    save_whole_page(driver, args.screenshot)
    print(f"screenshot: {args.screenshot}", flush=True)
    check_form_from_another_site(driver, args, check)
    driver.get(args.url)
    wait_until_idle(driver, 1)

    print("stopping the camera", flush=True)
    os.kill(args.camera_pid, signal.SIGTERM)
    # Gone once its parent may reap it (a zombie) or has.
    WebDriverWait(driver, TIMEOUT_S).until(lambda _: camera_gone(args.camera_pid))
    driver.find_element(By.ID, "read").click()
    wait_until_idle(driver, 1)
    check.equal("the error shown", error_shown(driver), ("500", "Internal Server error."))
    check.equal("the subviews without the camera", [s[0] for s in subview_state(driver)], ["?"] * 4)
    answer = listed(driver, "answer")[0]
    check.true("the error answer listed", "<ErrorCode>500</ErrorCode>" in answer)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", required=True, help="the page, such as http://127.0.0.1:8080/")
    parser.add_argument("--ids", required=True, help="the layout the page must show first: 2,3,4,1")
    parser.add_argument("--layout-file", required=True)
    parser.add_argument("--mount", required=True, choices=("ceiling", "desk"))
    parser.add_argument("--screenshot", required=True, help="where the PNG goes")
    parser.add_argument("--user", required=True, help="the administrator: NAME:PASSWORD")
    parser.add_argument("--camera-pid", required=True, type=int, help="the simulated camera")
    parser.add_argument(
        "--skip-cross-site",
        metavar="REASON",
        help="leaves out the form from another site, for a server that does not pass the "
        "Sec-Fetch-Site header on to the program",
    )
    args = parser.parse_args()

    check = Checker()
    profile_dir = tempfile.mkdtemp(prefix="quadview-chromium.")
    driver = None
    try:
        driver = start_browser(profile_dir)
        check_page(driver, args, check)
    except WebDriverException as error:
        if isinstance(error, TimeoutException):
            check.fail(f"the page did not finish its requests within {TIMEOUT_S} s")
        else:
            check.fail(f"the browser: {error.msg}")
        if driver is not None:
            failure_shot = os.path.splitext(args.screenshot)[0] + "-failed.png"
            driver.save_screenshot(failure_shot)
            print(f"screenshot of the failure: {failure_shot}", flush=True)
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(profile_dir, ignore_errors=True)
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
