"""The site report of `brevane check --report`: escaping, its path, and the page in headless Chromium.

The browser tests drive Debian's `chromium` through its `chromedriver` with
Selenium; they skip, saying why, where either is missing. With
BREVANE_REPORT_SCREENSHOT set to a path, the site test saves its screenshot there
(docs/report.png is made that way).
"""

from __future__ import annotations

import json
import os
import shutil
import sys
from collections.abc import Iterator
from html.parser import HTMLParser
from pathlib import Path
from typing import Any

import pytest

from brevane_tools import cli
from brevane_tools.command import Report
from brevane_tools.report import Row, render_report, write_report

ROOT = Path(__file__).resolve().parents[2]
BROWSER_TIMEOUT = 20  # seconds for any one browser command: a hung browser fails fast

# A hostile page puts markup wherever the report shows its text; each sets window.pwned if it ever runs.
HOSTILE = {
    "path": 'site/"><img src=x onerror="window.pwned=1">.html',
    "title": "<script>window.pwned=2</script>",
    "subject": "</td></tr></table><script>window.pwned=3</script>",
    "issuer": "' onmouseover='window.pwned=4' x='",
    "location": "javascript:window.pwned=5//<b>",
    "code": "<svg onload=window.pwned=6>",
    "explanation": "</details><iframe src=javascript:window.pwned=7></iframe>",
    "error": "<style>*{display:none}</style><img src=x onerror=window.pwned=8>",
}
HOSTILE_REPORTS = [
    Report(HOSTILE["path"], True, data={
        "state": "Valid", "kind": "referenced", "source": "link", "store_location": HOSTILE["location"],
        "title": HOSTILE["title"], "signer": {"subject": HOSTILE["subject"], "issuer": HOSTILE["issuer"]},
        "signed_at": "2026-12-07T13:40:03+01:00", "codes": [HOSTILE["code"]],
        "failures": [{"code": HOSTILE["code"], "explanation": HOSTILE["explanation"]}],
    }),
    Report("site/unreadable.html", False, error=HOSTILE["error"]),
]
OWN_TAGS = {
    "html", "head", "meta", "title", "style", "body", "h1", "p", "div", "button", "span", "input",
    "table", "thead", "tbody", "tr", "th", "td", "details", "summary", "dl", "dt", "dd", "code", "script",
}


class _Parsed(HTMLParser):
    def __init__(self, document: str) -> None:
        super().__init__(convert_charrefs=True)
        self.tags: list[str] = []
        self.attributes: set[str] = set()
        self.text: list[str] = []
        self.feed(document)

    def handle_starttag(self, tag: str, attrs: list[tuple[str, Any]]) -> None:
        self.tags.append(tag)
        self.attributes.update(name for name, _ in attrs)

    def handle_data(self, data: str) -> None:
        self.text.append(data)


def test_page_text_stays_text_in_every_field() -> None:
    parsed = _Parsed(render_report(HOSTILE_REPORTS))
    assert set(parsed.tags) <= OWN_TAGS and parsed.tags.count("script") == 1
    assert not [a for a in parsed.attributes if a.startswith("on")]
    text = "".join(parsed.text)
    for value in HOSTILE.values():
        assert value in text


@pytest.mark.parametrize(
    ("report", "expected"),
    [
        (Report("a.html", False, error="no head [manifest.html.noHead]"), {"state": "Error", "codes": ()}),
        # An unknown state is no verdict to show as one.
        (Report("a.html", True, data={"state": "Maybe"}), {"state": "Error"}),
        (
            Report("a.html", False, data={"state": "Invalid", "kind": "embedded", "codes": ["x.y"],
                                          "failures": ["x.y", "z"], "verdict": "no [z]"}),
            {"form": "inline", "codes": (("x.y", ""), ("z", "")), "message": "brevane: no [z]"},
        ),
        (
            Report("a.html", True, data={"state": "Trusted", "signed_at": "2026-12-07T13:40:03.123456789+01:00",
                                         "kind": "referenced", "source": "header", "store_location": "/s"}),
            {"signed_at": "2026-12-07T12:40:03", "store_location": "Link header: /s"},
        ),
        (Report("a.html", True, data={"state": "Valid", "signed_at": "2026-12-07T12:40:03Z"}),
         {"signed_at": "2026-12-07T12:40:03"}),
        (Report("a.html", True, data={"state": "Valid", "signed_at": "yesterday", "signer": None}),
         {"signed_at": "yesterday", "signer": ""}),
    ],
)
def test_rows_tolerate_missing_and_odd_fields(report: Report, expected: dict[str, Any]) -> None:
    row = Row.from_report(report)
    assert {key: getattr(row, key) for key in expected} == expected


@pytest.mark.parametrize(
    ("where", "reason"),
    [("a directory", "it is a directory"), ("no directory", "No such file or directory"),
     ("below a file", "Not a directory")],
)
def test_an_unwritable_report_path_stops_before_any_page(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], where: str, reason: str
) -> None:
    (tmp_path / "file").write_text("x")
    target = {"a directory": tmp_path, "no directory": tmp_path / "none" / "r.html",
              "below a file": tmp_path / "file" / "r.html"}[where]
    page = tmp_path / "p.html"
    page.write_bytes(b"<html><head></head></html>")
    before = sorted(tmp_path.rglob("*"))
    assert cli.main(["check", str(page), "--report", str(target)]) == cli.EXIT_USAGE
    assert capsys.readouterr() == ("", f"brevane: {target}: cannot write the report: {reason}\n")
    assert sorted(tmp_path.rglob("*")) == before


# --- In the browser ----------------------------------------------------------------------------


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    chromium, driver_path = shutil.which("chromium"), shutil.which("chromedriver")
    if not chromium or not driver_path:
        pytest.skip("Debian's chromium and chromium-driver are not installed (apt-get install chromium chromium-driver)")
    if sys.version_info < (3, 10):
        pytest.skip("Selenium needs CPython 3.10 or later")
    webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed: pip install 'brevane[test]'")
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.remote.client_config import ClientConfig

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,720"):
        options.add_argument(flag)
    service = Service(driver_path)
    service.start()
    try:
        config = ClientConfig(remote_server_addr=service.service_url, timeout=BROWSER_TIMEOUT)
        driver = webdriver.Remote(command_executor=service.service_url, options=options, client_config=config)
    except BaseException:
        service.stop()
        raise
    driver.set_page_load_timeout(BROWSER_TIMEOUT)
    driver.set_script_timeout(BROWSER_TIMEOUT)
    yield driver
    driver.quit()
    service.stop()


def _open(browser: Any, path: Path) -> None:
    browser.get(path.as_uri())
    # The filter box appears only once the report's own script has run: under its
    # Content-Security-Policy, that proves the script's hash is right.
    assert browser.find_element("id", "search").is_displayed()


def _visible(browser: Any, column: int) -> list[str]:
    return [str(t) for t in browser.execute_script(
        "return Array.from(document.querySelectorAll('#pages tbody tr:not([hidden])'), "
        "r => r.cells[arguments[0]].innerText)", column)]


def test_hostile_pages_show_as_text_and_run_nothing(browser: Any, tmp_path: Path) -> None:
    report = tmp_path / "report.html"
    write_report(report, HOSTILE_REPORTS)
    _open(browser, report)
    assert browser.execute_script("return window.pwned") is None
    counts = browser.execute_script(
        "return [document.images.length, document.scripts.length, document.querySelectorAll('iframe, svg').length]")
    assert counts == [0, 1, 0]
    assert _visible(browser, 2) == ["\u2014", HOSTILE["title"]]  # an Error row has no title
    browser.find_element("css selector", "details summary").click()
    assert browser.find_element("css selector", "details dd").text == HOSTILE["explanation"]
    assert browser.find_element("css selector", "tr[data-state=error] .msg").text == HOSTILE["error"]
    assert browser.execute_script("return window.pwned") is None


needs_sdk = pytest.mark.skipif(
    sys.version_info < (3, 10) or shutil.which("chromium") is None,
    reason="signing needs the C2PA SDK (CPython 3.10+); the browser needs chromium",
)


@needs_sdk
def test_a_checked_site_in_the_browser(browser: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    pytest.importorskip("c2pa", reason="c2pa-python is not installed: pip install 'brevane[c2pa]'")
    sys.path.insert(0, str(ROOT / "examples"))
    from make_test_certs import make_test_chain

    from brevane_tools import SigningKey, sign_page, sign_page_with_reference

    manifest = json.loads((ROOT / "examples" / "manifest.json").read_text())
    trusted, stranger = make_test_chain(), make_test_chain()
    signer = SigningKey(trusted.chain_pem, trusted.key_pem).signer()
    other = SigningKey(stranger.chain_pem, stranger.key_pem).signer()

    def page(title: str) -> bytes:
        return f"<html><head><title>{title}</title></head><body><p>{title}</p></body></html>".encode()

    def signed(title: str, key: Any = signer) -> bytes:
        # The manifest's title is the one the report shows: a site generator sets it to the page's.
        return sign_page(page(title), {**manifest, "title": title}, key)

    monkeypatch.chdir(tmp_path)  # pages are reported as named: "site/news/tides.html"
    site = Path("site")
    (site / "news").mkdir(parents=True)
    linked, store = sign_page_with_reference(
        page("Opening hours"), {**manifest, "title": "Opening hours"}, signer, "../stores/hours.c2pa"
    )
    (site / "stores").mkdir()
    (site / "stores" / "hours.c2pa").write_bytes(store)
    pages = {
        "news/hours.html": linked,
        "index.html": sign_page((ROOT / "examples" / "pages" / "sample.html").read_bytes(), manifest, signer),
        "news/harbour.html": signed("Harbour works"),
        "news/script.html": signed("<script>window.pwned=1</script>"),
        "news/tides.html": signed("Tide tables").replace(b"<p>Tide", b"<p>Tidy"),
        "news/stranger.html": signed("Signed elsewhere", other),
        '"><img src=x onerror=window.pwned=2>.html': page("Never signed"),
    }
    for name, data in pages.items():
        (site / name).write_bytes(data)
    signer.close()
    other.close()
    Path("root.pem").write_bytes(trusted.root_pem)
    code = cli.main(["check", "-q", "site", "--trust-anchors", "root.pem", "--report", "report.html"])
    assert code == cli.EXIT_FAILED

    _open(browser, tmp_path / "report.html")
    totals = browser.execute_script(
        "return Array.from(document.querySelectorAll('[data-filter]'), b => b.innerText.replace(/\\s+/g, ' '))")
    assert totals == ["7 All pages", "4 \u2714 Trusted", "0 \u2713 Valid", "2 \u2717 Invalid", "1 ! Error"]
    assert [s.split()[-1] for s in _visible(browser, 0)] == ["Error"] + ["Invalid"] * 2 + ["Trusted"] * 4
    assert "<script>window.pwned=1</script>" in _visible(browser, 2)
    assert browser.execute_script("return window.pwned") is None

    browser.find_element("css selector", "[data-filter=invalid]").click()
    assert sorted(_visible(browser, 1)) == [str(site / "news" / n) for n in ("stranger.html", "tides.html")]
    assert browser.find_element("id", "shown").text == "2 of 7 pages shown"
    browser.find_element("css selector", "[data-filter='']").click()
    browser.find_element("id", "search").send_keys("WORKS")  # any case, any column: here the title
    assert _visible(browser, 1) == [str(site / "news" / "harbour.html")]
    browser.find_element("id", "search").clear()
    browser.execute_script("document.getElementById('search').dispatchEvent(new Event('input'))")

    page_header = browser.find_element("css selector", "th:nth-child(2) button")
    page_header.click()
    assert _visible(browser, 1) == sorted(str(site / n) for n in pages)
    forms = dict(zip(_visible(browser, 1), _visible(browser, 3)))
    assert forms["site/news/hours.html"] == "referenced\nsite/stores/hours.c2pa"
    assert forms["site/index.html"] == "inline"
    page_header.click()
    assert _visible(browser, 1) == sorted((str(site / n) for n in pages), reverse=True)

    # The tampered page's failure, explained on demand.
    row = browser.find_element("xpath", "//tr[td[contains(., 'tides.html')]]")
    row.find_element("tag name", "summary").click()
    assert "assertion.dataHash.mismatch" in row.find_element("tag name", "dl").text
    screenshot = os.environ.get("BREVANE_REPORT_SCREENSHOT")
    if screenshot:
        browser.find_element("css selector", "th:first-child button").click()
        browser.set_window_size(1280, 900)
        browser.save_screenshot(screenshot)
