"""The site report of `brevane check --report`, read as HTML and in Debian's headless chromium.

The browser test skips, saying why, without chromium, chromium-driver or Selenium. With
BREVANE_REPORT_SCREENSHOT=PATH it saves its screenshot there (docs/report.png).
"""

from __future__ import annotations

import json
import os
import shutil
import sys
from datetime import datetime, timezone
from html.parser import HTMLParser
from pathlib import Path
from typing import Any

import pytest

from brevane_tools import cli, report
from brevane_tools.results import Report
from brevane_tools.report import render_report, write_report

ROOT = Path(__file__).resolve().parents[2]
# Markup wherever the report shows a page's text; each sets window.pwned if it ever runs.
HOSTILE = {
    "title": "<script>window.pwned=1</script>", "subject": "</td></tr></table><script>window.pwned=2</script>",
    "issuer": "' onmouseover='window.pwned=3' x='", "location": "javascript:window.pwned=4//<b>",
    "code": "<svg onload=window.pwned=5>", "explanation": "</details><iframe src=javascript:window.pwned=6>",
    "error": "<style>*{display:none}</style><img src=x onerror=window.pwned=7>",
    "url": 'https://example.test/"><script>window.pwned=8</script>', "warning": "<b onclick=window.pwned=9>",
}
HOSTILE_REPORTS = [
    Report('"><img src=x onerror="window.pwned=10">.html', True, data={
        "state": "Valid", "kind": "referenced", "store_location": HOSTILE["location"], "title": HOSTILE["title"],
        "signed_at": "2026-12-07T13:40:03.123456789+01:00",  # as a time-stamp may be written; shown in UTC
        "signer": {"subject": HOSTILE["subject"], "issuer": HOSTILE["issuer"]}, "warnings": [HOSTILE["warning"]],
        "codes": [HOSTILE["code"]], "failures": [{"code": HOSTILE["code"], "explanation": HOSTILE["explanation"]}],
    }),
    Report("unreadable.html", False, error=HOSTILE["error"]),
    Report(HOSTILE["url"], False, error="HTTP 404 Not Found"),
]


class _Parsed(HTMLParser):
    def __init__(self, document: str) -> None:
        super().__init__(convert_charrefs=True)
        self.tags: list[str] = []
        self.attributes: list[tuple[str, Any]] = []
        self.text = ""
        self.feed(document)

    def handle_starttag(self, tag: str, attrs: list[tuple[str, Any]]) -> None:
        self.tags.append(tag)
        self.attributes += attrs

    def handle_data(self, data: str) -> None:
        self.text += data


def test_page_text_stays_text_in_every_field() -> None:
    parsed = _Parsed(render_report(HOSTILE_REPORTS))
    assert set(parsed.tags) <= {
        "html", "head", "meta", "title", "style", "body", "h1", "p", "div", "button", "span", "input", "table",
        "thead", "tbody", "tr", "th", "td", "details", "summary", "dl", "dt", "dd", "code", "script", "a",
    }
    assert parsed.tags.count("script") == 1 and not [a for a, _ in parsed.attributes if a.startswith("on")]
    assert [v for a, v in parsed.attributes if a == "href"] == [HOSTILE["url"]]  # never javascript:
    assert [v for v in [*HOSTILE.values(), "2026-12-07 12:40:03"] if v not in parsed.text] == []


@pytest.mark.parametrize(("checked", "where", "reason"), [
    ("p.html", "", "cannot write the report: it is a directory"),
    ("p.html", "no/r.html", "cannot write the report: No such file or directory"),
    ("p.html", "p.html", "the report would be one of the pages checked ({})"),  # it would replace the page
    ("", "r.html", "the report would be one of the pages checked ({})"),  # it would be a page next time
])
def test_an_unusable_report_path_stops_before_any_page(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], checked: str, where: str, reason: str
) -> None:
    (tmp_path / "p.html").write_bytes(b"<html><head></head></html>")
    before = sorted(tmp_path.rglob("*"))
    assert cli.main(["check", str(tmp_path / checked), "--report", str(tmp_path / where)]) == cli.EXIT_USAGE
    message = reason.format(tmp_path / checked)
    assert capsys.readouterr() == ("", f"brevane: {tmp_path / where}: {message}\n")
    assert sorted(tmp_path.rglob("*")) == before


@pytest.fixture
def browser() -> Any:
    chromium, driver_path = shutil.which("chromium"), shutil.which("chromedriver")
    if not chromium or not driver_path:
        pytest.skip("needs Debian's chromium and chromium-driver: apt-get install chromium chromium-driver")
    webdriver = pytest.importorskip("selenium.webdriver", reason="needs selenium (the test extra, CPython 3.10+)")
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.remote.client_config import ClientConfig

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,900"):
        options.add_argument(flag)
    service = Service(driver_path)
    service.start()
    try:  # a hung browser fails the test in 20 s instead of hanging the run
        config = ClientConfig(remote_server_addr=service.service_url, timeout=20)
        driver = webdriver.Remote(command_executor=service.service_url, options=options, client_config=config)
        yield driver
        driver.quit()
    finally:
        service.stop()


def test_a_checked_site_in_the_browser(browser: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    pytest.importorskip("c2pa", reason="signing needs the C2PA SDK (CPython 3.10+)")
    sys.path.insert(0, str(ROOT / "examples"))
    from make_test_certs import make_test_chain

    from brevane_tools import SigningKey, sign_page, sign_page_with_reference

    manifest = json.loads((ROOT / "examples" / "manifest.json").read_text())
    trusted, stranger = make_test_chain(), make_test_chain()
    signer, other = (SigningKey(c.chain_pem, c.key_pem).signer() for c in (trusted, stranger))

    def page(title: str) -> bytes:
        return f"<html><head><title>{title}</title></head><body><p>{title}</p></body></html>".encode()

    def signed(title: str, key: Any = signer, href: str = "") -> Any:
        # The report shows the manifest's title: a site generator sets it to the page's own.
        args = (page(title), {**manifest, "title": title}, key)
        return sign_page_with_reference(*args, href) if href else sign_page(*args)

    monkeypatch.chdir(tmp_path)  # pages are reported as named: "site/news/tides.html"
    linked, store = signed("Opening hours", href="../stores/hours.c2pa")
    pages = {
        "site/index.html": sign_page((ROOT / "examples" / "pages" / "sample.html").read_bytes(), manifest, signer),
        "site/news/hours.html": linked, "site/stores/hours.c2pa": store,
        "site/news/harbour.html": signed("Harbour works"), "site/news/script.html": signed(HOSTILE["title"]),
        "site/news/tides.html": signed("Tide tables").replace(b"<p>Tide", b"<p>Tidy"),
        "site/news/stranger.html": signed("Signed elsewhere", other),
        'site/"><img src=x onerror=window.pwned=11>.html': page("Never signed"),
        "root.pem": trusted.root_pem,
    }
    for name, data in pages.items():
        Path(name).parent.mkdir(parents=True, exist_ok=True)
        Path(name).write_bytes(data)
    reports: list[Report] = []
    argv = ["check", "-q", "site", "--trust-anchors", "root.pem", "--report", "cli.html"]
    assert cli.main(argv, on_report=reports.append) == cli.EXIT_FAILED
    assert "7 of 7 pages shown" in Path("cli.html").read_text()
    write_report(tmp_path / "report.html", reports + HOSTILE_REPORTS)

    browser.get((tmp_path / "report.html").as_uri())
    run = browser.execute_script
    # The filter box appears once the report's own script has run: its hash in the policy is right.
    assert browser.find_element("id", "search").is_displayed()
    assert run("return [window.pwned, document.images.length, document.scripts.length]") == [None, 0, 1]
    assert run("return Array.from(document.links, a => a.getAttribute('href'))") == [HOSTILE["url"]]
    assert run("return Array.from(document.querySelectorAll('[data-filter]'), b => b.innerText)") == [
        f"{n}\n{label}" for n, label in
        [(10, "All pages"), (4, "\u2714 Trusted"), (1, "\u2713 Valid"), (2, "\u2717 Invalid"), (3, "! Error")]]

    def column(index: int) -> list[str]:
        return [str(t) for t in run("return Array.from(document.querySelectorAll('#pages tbody tr:not([hidden])'),"
                                    " r => r.cells[arguments[0]].innerText)", index)]

    # Inline pages pass on the SDK's waived failure, and say so: index, harbour and script are inline.
    assert column(0) == ["Error"] * 3 + ["Invalid"] * 2 + ["Valid"] + ["Trusted*", "Trusted*", "Trusted", "Trusted*"]
    assert {t for t in column(2) if "<" in t} == {HOSTILE["title"]}
    browser.find_element("css selector", "[data-filter=invalid]").click()
    assert column(1) == ["site/news/stranger.html", "site/news/tides.html"]
    assert browser.find_element("id", "shown").text == "2 of 10 pages shown"
    browser.find_element("css selector", "[data-filter='']").click()
    browser.find_element("id", "search").send_keys("WORKS")  # any case, any column: here a title
    assert column(1) == ["site/news/harbour.html"]
    run("const s = document.getElementById('search'); s.value = ''; s.dispatchEvent(new Event('input'))")
    paths = sorted(column(1))
    browser.find_element("css selector", "th:nth-child(2) button").click()
    assert column(1) == paths
    forms = dict(zip(column(1), column(3)))
    assert (forms["site/news/hours.html"], forms["site/index.html"]) == ("referenced\nsite/stores/hours.c2pa", "inline")
    browser.find_element("css selector", "th:nth-child(2) button").click()
    assert column(1) == paths[::-1]
    row = browser.find_element("xpath", "//tr[td[contains(., 'tides.html')]]")
    row.find_element("tag name", "summary").click()  # the failure, explained on demand
    assert "assertion.dataHash.mismatch\nasset hash error" in row.find_element("tag name", "dl").text
    assert run("return window.pwned") is None
    if os.environ.get("BREVANE_REPORT_SCREENSHOT"):  # the site alone, as the command wrote it
        browser.get((tmp_path / "cli.html").as_uri())
        browser.find_element("xpath", "//tr[td[contains(., 'tides.html')]]//summary").click()
        browser.save_screenshot(os.environ["BREVANE_REPORT_SCREENSHOT"])


def test_a_report_sorted_in_runs_on_disk_is_the_one_sorted_in_memory(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    states = ["Trusted", "Invalid", "Valid", "Error", "Trusted"]
    # Equal paths in one state keep their order: the merge is as stable as the sort.
    reports = [Report(f"site/p{i % 11}.html", True, data={"state": states[i % 5], "title": f"t{i}"})
               for i in range(60)]
    when = datetime(2026, 1, 2, 3, 4, tzinfo=timezone.utc)
    whole = report.render_report(reports, generated=when)
    monkeypatch.setattr(report, "SORT_RUN", 7)
    assert report.render_report(reports, generated=when) == whole
    report.write_report(tmp_path / "report.html", reports, generated=when)
    assert (tmp_path / "report.html").read_text("utf-8") == whole
