"""What the header form's server rules cost nginx and Apache, on a site of many signed pages.

    python bench/server_rules.py [--pages 30000] [--requests 3000]

A synthetic site (pages in nested directories with names of documentation-like
length, each with a store file beside it: the rules need the files, not real
signatures), its rules written by `brevane_tools.signing.serving` as `sign
--form header` writes them, then served on loopback by Debian's nginx and
Apache, each without the rules and with them, all at once:

- nginx: without, with `c2pa.nginx.http.conf` and `c2pa.nginx.conf` included;
- Apache: without (AllowOverride None), with `Include c2pa.apache.conf` in the
  virtual host, and with the `.htaccess` (AllowOverride FileInfo);

Printed, never asserted: each rule file's size; each server's resident memory
(VmRSS of the master and of its worker); the time nginx takes to load its
configuration (`nginx -t`); the latency of a page (with its Link header) and of
a small static file, as the median and the 90th percentile of `--requests`
requests over one keep-alive connection, taken in turns on each server so that
the machine's other work falls on all alike; and each latency's ratio to the
same server without the rules. Targets: nginx within +10 MB resident and 1.1 x
latency; Apache within 1.1 x with the server-configuration include. The figures
go in docs/toolkit.md ("Cost of the rules").
"""

from __future__ import annotations

import argparse
import contextlib
import http.client
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "tests" / "python"))

from brevane_tools.signing import serving  # noqa: E402
from web_servers import apache, apache_conf, binary, free_port, nginx, nginx_conf, readable_directory  # noqa: E402

PAGE = b"<!doctype html><html><head><title>page</title></head><body>" + b"x" * 2000 + b"</body></html>"


def make_site(site: Path, pages: int) -> list[serving.Announced]:
    """`pages` pages in three levels of directories, each with a store beside it, and one static file."""
    announced = []
    for number in range(pages):
        relative = f"crate-{number % 30:02d}/module-{number // 30 % 50:02d}/struct.Item{number:05d}.html"
        path = site / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(PAGE)
        Path(str(path) + ".c2pa").write_bytes(b"\0" * 3000)
        announced.append(serving.Announced(serving.url_path(relative), serving.url_path(relative + ".c2pa")))
    (site / "static.txt").write_bytes(b"a small static file\n")
    return announced


def resident(pid: int) -> int:
    """VmRSS of a process, in bytes."""
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    return 0


def processes(pidfile: Path) -> list[int]:
    """The master named by a pid file, then its children."""
    master = int(pidfile.read_text())
    children = Path(f"/proc/{master}/task/{master}/children").read_text().split()
    return [master, *map(int, children)]


def latencies(ports: dict[str, int], path: str, requests: int, link: bool) -> dict[str, list[float]]:
    """Per server, the time of each request; `link`: the servers with rules must announce a store."""
    connections = {name: http.client.HTTPConnection("127.0.0.1", port, timeout=30) for name, port in ports.items()}
    times: dict[str, list[float]] = {name: [] for name in ports}
    for turn in range(requests + 50):
        for name, connection in connections.items():
            start = time.perf_counter()
            connection.request("GET", path)
            response = connection.getresponse()
            response.read()
            elapsed = time.perf_counter() - start
            if response.status != 200:
                raise SystemExit(f"{name}: {path} answered {response.status}")
            if turn == 0 and bool(response.getheader("Link")) != (link and "+" in name):
                raise SystemExit(f"{name}: {path} answered with Link {response.getheader('Link')!r}")
            if turn >= 50:  # the first requests warm caches
                times[name].append(elapsed)
    for connection in connections.values():
        connection.close()
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pages", type=int, default=30000)
    parser.add_argument("--requests", type=int, default=3000)
    args = parser.parse_args()
    with readable_directory() as top, contextlib.ExitStack() as stack:
        site = top / "site"
        started = time.perf_counter()
        announced = make_site(site, args.pages)
        made = time.perf_counter()
        serving.write_rules(site, announced)
        written = time.perf_counter()
        print(f"{args.pages:,} pages made in {made - started:.1f} s; rules written in {written - made:.2f} s")
        for name in serving.RULE_FILES:
            print(f"  {name:<22} {(site / name).stat().st_size:>12,} bytes")

        ports = {name: free_port() for name in ("nginx", "nginx+rules", "apache", "apache+include", "apache+htaccess")}
        for name in ("nginx", "nginx+rules"):
            ruled = name.endswith("rules")
            conf = nginx_conf(
                top / name,
                f"server {{ listen 127.0.0.1:{ports[name]}; root {site}; "
                f"{f'include {site}/c2pa.nginx.conf;' if ruled else ''} }}",
                f"include {site}/c2pa.nginx.http.conf;" if ruled else "")
            if ruled:
                command = [binary("nginx", "nginx-light"), "-p", str(conf.parent), "-c", str(conf), "-t", "-q"]
                before = time.perf_counter()
                subprocess.run(command, check=True)
                print(f"nginx -t with the rules: {time.perf_counter() - before:.2f} s")
            stack.enter_context(nginx(conf, [ports[name]]))
        hosts = ""
        for name, override, include in (("apache", "None", ""), ("apache+include", "None", f"Include {site}/c2pa.apache.conf"),
                                         ("apache+htaccess", "FileInfo", "")):
            hosts += (f"Listen 127.0.0.1:{ports[name]}\n<VirtualHost 127.0.0.1:{ports[name]}>\n  DocumentRoot {site}\n"
                      f"  <Directory {site}>\n    Require all granted\n    AllowOverride {override}\n  </Directory>\n"
                      f"  {include}\n</VirtualHost>\n")
        mpm = "StartServers 1\nServerLimit 1\nThreadsPerChild 8\nMinSpareThreads 1\nMaxSpareThreads 8\n"
        stack.enter_context(apache(apache_conf(top / "apache", mpm + hosts), list(ports.values())[2:]))

        print("resident memory (VmRSS, MB): master, workers")
        for name in ("nginx", "nginx+rules"):
            sizes = [resident(pid) / 1e6 for pid in processes(top / name / "nginx.pid")]
            print(f"  {name:<16} {sizes[0]:7.1f}  {'  '.join(f'{s:7.1f}' for s in sizes[1:])}")
        sizes = [resident(pid) / 1e6 for pid in processes(top / "apache" / "httpd.pid")]
        print(f"  {'apache (all)':<16} {sizes[0]:7.1f}  {'  '.join(f'{s:7.1f}' for s in sizes[1:])}")

        page = announced[len(announced) // 2].page
        for what, path in (("page", page), ("static file", "/static.txt")):
            times = latencies(ports, path, args.requests, what == "page")
            print(f"latency of a {what} ({path}), microseconds: median, 90th percentile, median ratio to without")
            for name, measured in times.items():
                base = times[name.split("+")[0]]
                median = statistics.median(measured)
                tenth = statistics.quantiles(measured, n=10)[-1]
                ratio = median / statistics.median(base)
                print(f"  {name:<16} {median * 1e6:8.0f} {tenth * 1e6:8.0f}   {ratio:5.2f} x")


if __name__ == "__main__":
    main()
