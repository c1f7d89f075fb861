"""Audit a signed site served by nginx on loopback, against `check` of the same pages on disk.

    python bench/audit.py [--pages 20000] [--small 2000] [--concurrency 8] [--page PAGE.html]

One page (default: a page of Debian's Python documentation if installed, else
examples/pages/sample.html) is signed once with a throwaway test chain and its
copies (hard links, all naming the one store beside them) make a site of
`--pages` pages, listed in a sitemap and served by Debian's nginx on a free
loopback port with the settings that keep bindings. Printed, never asserted:

- `brevane audit SITEMAP --concurrency N`: pages per second, the audit's
  CPU per page (user + system time of its process alone), and its context
  switches per page (threads handing the GIL to each other cost CPU too,
  the more so on an idle machine);
- `brevane check DIR`: CPU per page of the same pages on disk, and the ratio
  of the two (the target: the audit within 1.3 times the on-disk check);
- the audit's peak resident memory over `--small` pages and over `--pages`
  pages: flat when the two are about the same.

Each process runs alone (`os.wait4` gives its own resource use); nginx's own
CPU is not counted. The load average is printed: the machine is shared.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "tests" / "python"))

from brevane_tools.limits import STORE_MEDIA_TYPE, STORE_SUFFIX  # noqa: E402
from make_test_certs import write_test_chain  # noqa: E402
from web_servers import free_port, nginx, nginx_conf  # noqa: E402

DEFAULT_PAGE = Path("/usr/share/doc/python3-doc/html/library/functions.html")


def brevane(*argv: str, quiet: bool = True) -> tuple[float, float, int, int]:
    """Run `python -m brevane_tools ARGV` alone: (wall seconds, CPU seconds, peak RSS in KiB, context switches)."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT / "python"), os.environ.get("PYTHONPATH", "")])}
    start = time.perf_counter()
    with open(os.devnull, "wb") as sink:
        process = subprocess.Popen([sys.executable, "-m", "brevane_tools", *argv, *(["--quiet"] if quiet else [])],
                                   stdout=sink, stderr=subprocess.PIPE, env=env)
        assert process.stderr is not None
        errors = process.stderr.read()
        _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"brevane {' '.join(argv[:2])} failed: {errors.decode(errors='replace')[-2000:]}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, usage.ru_nvcsw + usage.ru_nivcsw


def make_site(work: Path, page: Path, count: int, base: str) -> Path:
    certs = work / "certs"
    write_test_chain(certs, 400)
    source = work / "source"
    source.mkdir()
    shutil.copyfile(page, source / "page.html")
    signed = work / "signed"
    brevane("sign", "--manifest", str(ROOT / "examples" / "manifest.json"), "--cert", str(certs / "chain.pem"),
            "--key", str(certs / "signer.key"), "-o", str(signed), str(source))
    site = work / "site"
    site.mkdir()
    shutil.copyfile(signed / f"page.html{STORE_SUFFIX}", site / f"page.html{STORE_SUFFIX}")
    names = [f"p{i:05d}.html" for i in range(count)]
    for name in names:
        os.link(signed / "page.html", site / name)
    with open(work / "sitemap.xml", "w") as sitemap:
        sitemap.write('<?xml version="1.0"?><urlset xmlns="http://www.sitemaps.org/schemas/sitemap/0.9">')
        sitemap.writelines(f"<url><loc>{base}/{name}</loc></url>" for name in names)
        sitemap.write("</urlset>")
    return site


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pages", type=int, default=20_000)
    parser.add_argument("--small", type=int, default=2_000)
    parser.add_argument("--concurrency", type=int, default=8)
    parser.add_argument("--page", type=Path, default=DEFAULT_PAGE if DEFAULT_PAGE.exists() else
                        ROOT / "examples" / "pages" / "sample.html")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="brevane-audit-bench-") as temporary:
        work = Path(temporary)
        work.chmod(0o755)
        port = free_port()
        base = f"http://127.0.0.1:{port}"
        site = make_site(work, args.page, args.pages, base)
        anchors = str(work / "certs" / "root.pem")
        server = (f"server {{ listen 127.0.0.1:{port}; root {site}; add_header Cache-Control no-transform; "
                  f"location = /sitemap.xml {{ root {work}; }} }}")
        types = f"types {{ {STORE_MEDIA_TYPE} {STORE_SUFFIX[1:]}; }}"
        conf = nginx_conf(work / "nginx", server, f"{types} keepalive_requests 100000;")
        print(f"page: {args.page} ({args.page.stat().st_size:,} bytes); load average {os.getloadavg()[0]:.2f}")
        with nginx(conf, [port]):
            figures = {}
            for count in (args.small, args.pages):
                figures[count] = brevane("audit", f"{base}/sitemap.xml", "--trust-anchors", anchors,
                                         "--concurrency", str(args.concurrency), "--max-pages", str(count))
        check = brevane("check", str(site), "--trust-anchors", anchors)
    wall, cpu, rss, switches = figures[args.pages]
    audit_cpu = cpu / args.pages
    check_cpu = check[1] / args.pages
    print(f"audit, {args.pages:,} pages at concurrency {args.concurrency}: {args.pages / wall:,.0f} pages/s, "
          f"{audit_cpu * 1e3:.2f} ms CPU per page, {switches / args.pages:.1f} context switches per page")
    print(f"check on disk, {args.pages:,} pages: {args.pages / check[0]:,.0f} pages/s, "
          f"{check_cpu * 1e3:.2f} ms CPU per page")
    print(f"audit CPU per page / check CPU per page: {audit_cpu / check_cpu:.2f} (target: at most 1.3)")
    print(f"audit peak RSS: {figures[args.small][2] / 1024:,.1f} MiB over {args.small:,} pages, "
          f"{rss / 1024:,.1f} MiB over {args.pages:,} pages")
    print(f"load average after: {os.getloadavg()[0]:.2f}; this process's own peak RSS "
          f"{resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:,.1f} MiB")


if __name__ == "__main__":
    main()
