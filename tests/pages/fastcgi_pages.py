"""Every golden page through the FastCGI responder: each request carries what
kelp_page.sh gives the CGI program (its parameters are the page's environment, its
body the page's .post), and the reply must be the page's .expected byte for byte.
The pages are asked once in order, then twice more in shuffled order, all of them by
one worker that never restarts, so that anything one request leaves behind for the
next shows as a changed page. A page with its own configuration lines has a worker
of its own, which answers it as many times.

Usage: fastcgi_pages.py KELP PAGES_DIR [SEED]"""

import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import fcgi_client  # noqa: E402


def env_lines(path):
    lines = []
    if os.path.exists(path):
        with open(path, encoding="latin-1") as f:
            for line in f.read().split("\n"):
                if line:
                    name, _, value = line.partition("=")
                    lines.append((name, value))
    return lines


def request_of(pages_dir, page):
    base = os.path.join(pages_dir, page[:-3])
    params = [("PATH_INFO", "/" + os.path.basename(page)), ("SERVER_NAME", "localhost"),
              ("SERVER_PORT", "80"), ("REQUEST_METHOD", "GET"),
              ("GATEWAY_INTERFACE", "CGI/1.1")]
    body = b""
    if os.path.exists(base + ".post"):
        with open(base + ".post", "rb") as f:
            body = f.read()
        params += [("REQUEST_METHOD", "POST"),
                   ("CONTENT_TYPE", "application/x-www-form-urlencoded"),
                   ("CONTENT_LENGTH", str(len(body)))]
    params += env_lines(base + ".env")
    # A parameter named twice: the later one holds, as in the environment.
    merged = {}
    for name, value in params:
        merged.pop(name, None)
        merged[name] = value
    return list(merged.items()), body


class Responder:
    """kelp --fastcgi on a unix socket, one worker, in a fixed site directory whose
    contents are replaced by a fresh copy of a page's directory before each request."""

    def __init__(self, kelp, state, name, extra_conf):
        self.site = os.path.join(state, name, "site")
        os.makedirs(self.site)
        bindir = os.path.join(state, name, "bin")
        os.makedirs(bindir)
        os.symlink(kelp, os.path.join(bindir, "kelp"))
        with open(os.path.join(bindir, "kelp.conf"), "w") as f:
            f.write("kelproot = %s\nstdmodedatadir = %s\ntempdir = %s\nusecookies = off\n"
                    "globaltimeout = 0\nfastcgiworkers = 1\nfastcgirequests = 0\n"
                    % (self.site, self.site, self.site))
            f.write(extra_conf)
        self.socket = os.path.join(state, name, "kelp.sock")
        self.process = subprocess.Popen(
            [os.path.join(bindir, "kelp"), "--fastcgi", self.socket], cwd=self.site, env={},
            stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists(self.socket):
                break
            time.sleep(0.05)

    def workers(self):
        out = subprocess.run(["pgrep", "-P", str(self.process.pid)], capture_output=True,
                             text=True).stdout
        return sorted(out.split())

    def ask(self, pages_dir, page):
        for entry in os.listdir(self.site):
            path = os.path.join(self.site, entry)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)
        shutil.copytree(os.path.join(pages_dir, os.path.dirname(page)), self.site,
                        dirs_exist_ok=True, symlinks=True)
        params, body = request_of(pages_dir, page)
        out, _, status = fcgi_client.ask(self.socket, params, body)
        return out if status is not None else None

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()


def main():
    kelp = os.path.abspath(sys.argv[1])
    pages_dir = os.path.abspath(sys.argv[2])
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else random.randrange(1 << 30)
    pages = sorted(os.path.relpath(os.path.join(d, f), pages_dir)[:-len(".expected")] + ".kp"
                   for d, _, files in os.walk(pages_dir) for f in files
                   if f.endswith(".expected"))
    state = tempfile.mkdtemp(prefix="kelp-fastcgi-pages-")
    failures = []
    responders = []
    try:
        shared = Responder(kelp, state, "shared", "")
        responders.append(shared)
        own = {}
        for page in pages:
            conf = os.path.join(pages_dir, page[:-3] + ".conf")
            if os.path.exists(conf):
                with open(conf) as f:
                    own[page] = Responder(kelp, state, "own%d" % len(own), f.read())
                responders.append(own[page])
        first = shared.workers()
        rounds = [pages, random.Random(seed).sample(pages, len(pages)),
                  random.Random(seed + 1).sample(pages, len(pages))]
        for number, order in enumerate(rounds):
            for page in order:
                with open(os.path.join(pages_dir, page[:-3] + ".expected"), "rb") as f:
                    expected = f.read()
                actual = own.get(page, shared).ask(pages_dir, page)
                if actual != expected:
                    failures.append("round %d: %s" % (number + 1, page))
                    print("FAIL round %d (seed %d): %s\n  expected %r\n  actual   %r" %
                          (number + 1, seed, page, expected[:400],
                           None if actual is None else actual[:400]))
        if len(first) != 1 or shared.workers() != first:
            failures.append("workers")
            print("FAIL one worker for every request: %s, then %s" % (first, shared.workers()))
    finally:
        for r in responders:
            r.stop()
        shutil.rmtree(state, ignore_errors=True)
    if not failures:
        print("fastcgi_pages: %d pages, 3 rounds, all as through CGI (seed %d)" %
              (len(pages), seed))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
