"""Debian's nginx and Apache, started by the tests on loopback with configurations of their own.

Each runs from a prefix directory of its own (configuration, logs, pid, temporary
files), never from /etc, and answers on a free high port of 127.0.0.1. Apache
started by root serves as `nobody` (it refuses to serve as root), so a site it
serves lies in a directory everyone may read (`readable_directory`).
"""

from __future__ import annotations

import contextlib
import hashlib
import base64
import os
import pwd
import grp
import shutil
import socket
import subprocess
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

MODULES = Path("/usr/lib/apache2/modules")
APACHE_MODULES = ("mpm_event", "authz_core", "authz_host", "authz_user", "authn_core", "authn_file", "auth_basic",
                  "mime", "headers", "dir", "alias", "rewrite",
                  "negotiation")


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def binary(name: str, package: str) -> str:
    found = shutil.which(name) or shutil.which(name, path="/usr/sbin")
    if found is None:
        pytest.skip(f"needs Debian's {package}: apt-get install {package}")
    return found


@contextlib.contextmanager
def readable_directory() -> Iterator[Path]:
    """A fresh directory that a server's workers can read even when they run as another user."""
    directory = Path(tempfile.mkdtemp(prefix="brevane-site-"))
    directory.chmod(0o755)
    try:
        yield directory
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def htpasswd(path: Path, user: str, password: str) -> None:
    """A password file both servers read: the {SHA} scheme."""
    digest = base64.b64encode(hashlib.sha1(password.encode()).digest()).decode()
    path.write_text(f"{user}:{{SHA}}{digest}\n")
    path.chmod(0o644)


def _wait(server: subprocess.Popen[bytes], ports: list[int], log: Path) -> None:
    """Until every port accepts a connection; the server's own words when it dies first."""
    for port in ports:
        for _ in range(200):
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=1):
                break
            if server.poll() is not None:
                raise AssertionError(log.read_text() if log.exists() else "the server exited")
            time.sleep(0.05)


def configtest(argv: list[str]) -> None:
    done = subprocess.run(argv, capture_output=True, check=False)
    assert done.returncode == 0, done.stderr.decode(errors="replace")


def nginx_conf(work: Path, servers: str, http: str = "") -> Path:
    """A whole nginx.conf: `http` lines at http level (after Debian's mime.types), then `servers`."""
    work.mkdir(parents=True, exist_ok=True)
    temp = " ".join(f"{kind}_temp_path {work}/{kind};" for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    # "user" matters only to a master started by root: its workers then read the test's private directories.
    user = pwd.getpwuid(os.geteuid()).pw_name
    conf = work / "nginx.conf"
    conf.write_text(
        f"user {user}; worker_processes 1; pid {work}/nginx.pid; error_log {work}/error.log;\n"
        f"events {{ worker_connections 64; }}\n"
        f"http {{ include /etc/nginx/mime.types; access_log off; {temp}\n{http}\n{servers}\n}}\n"
    )
    return conf


@contextlib.contextmanager
def nginx(conf: Path, ports: list[int]) -> Iterator[None]:
    """nginx with this configuration, once `nginx -t` has passed it; stopped on leaving."""
    command = binary("nginx", "nginx-light")
    argv = [command, "-p", str(conf.parent), "-c", str(conf)]
    configtest([*argv, "-t", "-q"])
    with _serving([*argv, "-g", "daemon off;"], ports, conf.parent / "error.log"):
        yield


def apache_conf(work: Path, body: str) -> Path:
    """A whole httpd.conf: the modules the tests use, loaded from Debian's directory, then `body`."""
    work.mkdir(parents=True, exist_ok=True)
    lines = [f"ServerRoot {work}", f"DefaultRuntimeDir {work}", f"PidFile {work}/httpd.pid",
             f"ErrorLog {work}/error.log", "ServerName localhost", "LogLevel warn",
             *(f"LoadModule {m}_module {MODULES}/mod_{m}.so" for m in APACHE_MODULES),
             "TypesConfig /etc/mime.types", "DirectoryIndex index.html",
             '<Files ".ht*">\n    Require all denied\n</Files>']
    if os.geteuid() == 0:
        lines += ["User nobody", f"Group {grp.getgrgid(pwd.getpwnam('nobody').pw_gid).gr_name}"]
    conf = work / "httpd.conf"
    conf.write_text("\n".join(lines) + "\n" + body)
    return conf


@contextlib.contextmanager
def apache(conf: Path, ports: list[int]) -> Iterator[None]:
    """Apache with this configuration, once `apache2 -t` has passed it; stopped on leaving."""
    command = binary("apache2", "apache2")
    configtest([command, "-t", "-f", str(conf)])
    with _serving([command, "-f", str(conf), "-DFOREGROUND"], ports, conf.parent / "error.log"):
        yield


@contextlib.contextmanager
def _serving(argv: list[str], ports: list[int], log: Path) -> Iterator[None]:
    """A server in the foreground, once it listens on every port; stopped on leaving."""
    server = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        _wait(server, ports, log)
        yield
    finally:
        server.terminate()
        server.wait(10)
