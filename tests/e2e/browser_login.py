#!/usr/bin/python3
"""Sign-in with a real browser.

Runs `tavrine --dev login` against the devserver on 127.0.0.1:8000 and plays
the user in headless Chromium: it opens the authorization URL the login
printed, presses Approve on the devserver's page and follows the redirect to
the agent's callback, which must answer "✓ Login Successful!"; then the
credentials file is checked. A second login presses Deny, gets the agent's
failure page and is ended with SIGTERM while it still waits.

The browser opener on PATH only hands the URL over (tests/fixtures/
browser-handoff/xdg-open). Exits 77 (a skip for ctest) only when Chromium,
its driver or Selenium is not installed.
"""

import argparse
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

SKIP = 77
DEVSERVER = "http://127.0.0.1:8000"
CALLBACK = "http://localhost:9876/callback"
DEVICE_TOKEN = "device-token-from-registration"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise Failure(f"timed out waiting for {what}")


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def field(text, key):
    match = re.search(r'"%s": "([^"]*)"' % re.escape(key), text)
    return match.group(1) if match else None


class Login:
    """One `tavrine --dev login`, its standard error collected in a file."""

    def __init__(self, tavrine, home, fixtures, name):
        self.err_path = os.path.join(home, f"{name}.err")
        self.handoff = os.path.join(home, f"{name}.browser")
        env = dict(os.environ)
        env.pop("TAVRINE_ENV", None)
        env.update(HOME=home, TAVRINE_TEST_BROWSER_HANDOFF=self.handoff,
                   PATH=os.path.join(fixtures, "browser-handoff") + ":/usr/bin:/bin")
        with open(self.err_path, "wb") as err:
            self.process = subprocess.Popen([tavrine, "--dev", "login"], env=env,
                                            stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=err)

    def err(self):
        return read(self.err_path)

    def url(self):
        """The authorization URL, once the login listens for its callback."""
        wait_for(lambda: "Waiting for OAuth callback on port 9876...\n" in self.err()
                 or self.process.poll() is not None, 30, "the login to listen")
        check(self.process.poll() is None, "the login ended early:\n" + self.err())
        match = re.search(r"^Authorization URL: (\S+)$", self.err(), re.M)
        check(match, "no Authorization URL line:\n" + self.err())
        # The opener got the printed URL, as its only argument.
        check(read(self.handoff) == "1\n" + match.group(1) + "\n",
              "the opener got " + repr(read(self.handoff)))
        return match.group(1)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def start_browser(profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", f"--user-data-dir={profile}", "--no-first-run",
                     "--disable-gpu", "--disable-dev-shm-usage", "--window-size=900,700"):
        options.add_argument(argument)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")  # Chromium's sandbox refuses root
    service = Service(executable_path=shutil.which("chromedriver"), log_path=os.devnull)
    return webdriver.Chrome(service=service, options=options)


def press(browser, url, button, title, shots):
    """Opens the approval page at `url`, presses `button`, and waits for the
    page titled `title` that the redirect leads to."""
    from selenium.webdriver.common.by import By

    browser.get(url)
    check(browser.title == "Sign in to Tavrine", "approval page: " + browser.page_source)
    check(browser.find_element(By.ID, "client").text == "tavrine-agent", "client not shown")
    scopes = [li.text for li in browser.find_elements(By.CSS_SELECTOR, "#scopes li")]
    check(scopes == ["read", "write", "device"], f"scopes shown: {scopes}")
    if shots:
        browser.save_screenshot(os.path.join(shots, f"{button.lower()}-page.png"))
    browser.find_element(By.XPATH, f"//button[normalize-space()='{button}']").click()
    wait_for(lambda: browser.title == title, 20, f"the page '{title}' after {button}")
    if shots:
        browser.save_screenshot(os.path.join(shots, f"{button.lower()}-answer.png"))
    return browser.find_element(By.TAG_NAME, "h1").text


def approve(browser, tavrine, home, fixtures, shots):
    login = Login(tavrine, home, fixtures, "approve")
    try:
        url = login.url()
        heading = press(browser, url, "Approve", "Login Successful", shots)
        check(heading == "✓ Login Successful!", "heading: " + heading)
        check(browser.current_url.startswith(CALLBACK + "?code="), browser.current_url)
        status = wait_for(lambda: login.process.poll() is not None and [login.process.returncode],
                          30, "the login to end")[0]
        err = login.err()
        check(status == 0, f"exit status {status}:\n{err}")
        check("Login successful!\n" in err and
              "You are now logged in. Run 'tavrine' to start the agent.\n" in err, err)
    finally:
        login.stop()

    path = os.path.join(home, "Library/Application Support/Tavrine/tokens.json")
    tokens = read(path)
    access, refresh = field(tokens, "access_token"), field(tokens, "refresh_token")
    check(access and refresh, "credentials: " + tokens)
    check(field(tokens, "device_token") == DEVICE_TOKEN, "device token lost: " + tokens)
    check("user_email" not in tokens, "credentials carry an e-mail: " + tokens)
    check(stat.S_IMODE(os.stat(path).st_mode) == 0o600, "credentials file mode")
    log = read(os.path.join(home, "Library/Logs/Tavrine/agent.log"))
    for token in (access, refresh):
        check(token not in err and token not in log, "a token was printed or logged")

    # The dashboard, as a person would look at it, names the sign-in but not
    # its tokens.
    browser.get(DEVSERVER + "/")
    page = browser.page_source
    check("<td>tavrine-agent</td>" in page, "dashboard lacks the sign-in")
    check(access not in page and refresh not in page, "dashboard shows a token")
    if shots:
        browser.save_screenshot(os.path.join(shots, "dashboard.png"))
    return tokens


def deny(browser, tavrine, home, fixtures, shots, tokens_before):
    login = Login(tavrine, home, fixtures, "deny")
    try:
        url = login.url()
        state = re.search(r"&state=([0-9a-f]{32})$", url)
        check(state, "no state in " + url)
        heading = press(browser, url, "Deny", "Login Failed", shots)
        check(heading == "✗ Login Failed", "heading: " + heading)
        check(browser.current_url ==
              f"{CALLBACK}?error=access_denied&state={state.group(1)}", browser.current_url)
        # Refusal is no callback with a code: the login goes on waiting.
        time.sleep(0.5)
        check(login.process.poll() is None, "the login ended after Deny:\n" + login.err())
        login.process.send_signal(signal.SIGTERM)
        wait_for(lambda: login.process.poll() is not None, 10, "the login to end on SIGTERM")
        err = login.err()
        check("Login successful" not in err, err)
    finally:
        login.stop()
    path = os.path.join(home, "Library/Application Support/Tavrine/tokens.json")
    check(read(path) == tokens_before, "Deny changed the credentials")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tavrine", required=True)
    parser.add_argument("--devserver", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--screenshots", help="directory for screenshots of each page")
    args = parser.parse_args()

    missing = [name for name in ("chromium", "chromedriver") if not shutil.which(name)]
    try:
        import selenium  # noqa: F401
    except ImportError:
        missing.append("python3-selenium")
    if missing:
        print("browser_login: skipped, not installed: " + ", ".join(missing))
        return SKIP

    with tempfile.TemporaryDirectory(prefix="tavrine-browser-") as home:
        tokens_dir = os.path.join(home, "Library/Application Support/Tavrine")
        os.makedirs(tokens_dir)
        with open(os.path.join(tokens_dir, "tokens.json"), "w") as f:
            f.write('{\n  "device_token": "%s"\n}\n' % DEVICE_TOKEN)
        server_log = os.path.join(home, "devserver.err")
        with open(server_log, "wb") as err:
            server = subprocess.Popen([args.devserver, "--bind", "127.0.0.1", "--port", "8000"],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=err)
        browser = None
        try:
            wait_for(lambda: "devserver: listening" in read(server_log)
                     or server.poll() is not None, 10, "the devserver")
            check(server.poll() is None, "the devserver did not start: " + read(server_log))
            browser = start_browser(os.path.join(home, "chromium-profile"))
            tokens = approve(browser, args.tavrine, home, args.fixtures, args.screenshots)
            print("browser_login: Approve signs in")
            deny(browser, args.tavrine, home, args.fixtures, args.screenshots, tokens)
            print("browser_login: Deny leaves the login waiting")
        except Failure as failure:
            print(f"browser_login: FAILED: {failure}")
            print("devserver log:\n" + read(server_log))
            return 1
        finally:
            if browser is not None:
                browser.quit()
            server.send_signal(signal.SIGTERM)
            try:
                server.wait(10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
