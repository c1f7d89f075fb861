"""How a worker signs pages in object storage when each request to the store takes 25 ms more.

    python bench/object_latency.py [--pages 400] [--latency 0.025] [--repeat 2]

Starts an S3 server on loopback (moto's server mode, in a process of its own: in this one, it and
the proxy took turns at one interpreter lock and bounded the figure at some 100 requests a second)
and, in front of it, a loopback proxy that holds each request (each burst of bytes from the client)
for --latency seconds before passing it on; lays out --pages pages of Debian's Python documentation (python3.11-doc) in a bucket, and
signs them from one prefix to another with one worker (`--jobs 1`: the pages run in the client's
own process) and a throwaway test chain, straight to the server and through the proxy. Prints the
pages per second of each and their ratio (the target: within 1.2x). Printed, never asserted; each
figure is the best of --repeat runs.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DOCS = Path("/usr/share/doc/python3.11/html")


class LatencyProxy:
    """A TCP proxy on loopback that delays each burst from the client by `latency` seconds."""

    def __init__(self, target: int, latency: float) -> None:
        self.target, self.latency = target, latency
        self.loop = asyncio.new_event_loop()
        self.port = 0
        started = threading.Event()
        threading.Thread(target=self._run, args=(started,), daemon=True).start()
        started.wait()

    def _run(self, started: threading.Event) -> None:
        asyncio.set_event_loop(self.loop)
        server = self.loop.run_until_complete(asyncio.start_server(self._serve, "127.0.0.1", 0))
        self.port = server.sockets[0].getsockname()[1]
        started.set()
        self.loop.run_forever()

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        upstream_reader, upstream_writer = await asyncio.open_connection("127.0.0.1", self.target)

        async def pipe(source: asyncio.StreamReader, sink: asyncio.StreamWriter, delay: float) -> None:
            try:
                while data := await source.read(1 << 16):
                    if delay:
                        await asyncio.sleep(delay)
                    sink.write(data)
                    await sink.drain()
            except ConnectionError:
                pass
            finally:
                sink.close()

        await asyncio.gather(pipe(reader, upstream_writer, self.latency), pipe(upstream_reader, writer, 0.0))


def sign(options: dict[str, object], bucket: str, certs: Path, out: str) -> float:
    """Pages per second of one `sign s3:// -o s3:// --jobs 1` run."""
    env = {**os.environ, "PYTHONPATH": str(ROOT / "python")}
    argv = [sys.executable, "-m", "brevane_tools", "sign", f"s3://{bucket}/site", "-o", f"s3://{bucket}/{out}",
            "--manifest", str(ROOT / "examples" / "manifest.json"), "--cert", str(certs / "chain.pem"),
            "--key", str(certs / "signer.key"), "--storage-options", json.dumps(options), "--json"]
    started = time.monotonic()
    done = subprocess.run(argv, env=env, capture_output=True, text=True, check=False)
    seconds = time.monotonic() - started
    if done.returncode != 0:
        raise SystemExit(f"sign failed ({done.returncode}): {done.stderr[-800:]}")
    pages = sum(1 for f in json.loads(done.stdout)["files"] if "mirrored" not in f)
    return pages / seconds


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pages", type=int, default=400)
    parser.add_argument("--latency", type=float, default=0.025)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    import fsspec

    sys.path.insert(0, str(ROOT / "examples"))
    from make_test_certs import write_test_chain

    with socket.socket() as probe:  # a free port of loopback
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            if time.monotonic() > deadline or server.poll() is not None:
                raise SystemExit("moto's server did not start") from None
            time.sleep(0.1)
    proxy = LatencyProxy(port, args.latency)
    direct = {"client_kwargs": {"endpoint_url": f"http://127.0.0.1:{port}"}, "key": "k", "secret": "s"}
    slow = {**direct, "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{proxy.port}"}}
    fs = fsspec.filesystem("s3", **direct)
    fs.mkdir("bench")
    pages = sorted(DOCS.rglob("*.html"))[: args.pages]
    fs.pipe({f"bench/site/{p.relative_to(DOCS).as_posix()}": p.read_bytes() for p in pages})
    with tempfile.TemporaryDirectory() as certs:
        write_test_chain(Path(certs))
        figures = {}
        for name, options in (("no added latency", direct), (f"{args.latency * 1000:.0f} ms a request", slow)):
            best = 0.0
            for run in range(args.repeat):
                best = max(best, sign(options, "bench", Path(certs), f"out-{len(figures)}-{run}"))
            figures[name] = best
            print(f"sign s3:// -o s3:// --jobs 1, {name}: {best:.0f} pages/s ({len(pages)} pages)", flush=True)
    plain, slowed = figures.values()
    print(f"ratio: {plain / slowed:.2f}x (target: at most 1.2x)")
    server.terminate()
    server.wait()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
