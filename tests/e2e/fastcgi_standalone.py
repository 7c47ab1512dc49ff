"""kelp --fastcgi ADDRESS as nginx and Apache's proxy meet it: listening on TCP on
127.0.0.1 and on a unix socket, answering only the peers fastcgiallow lists (read
again on SIGHUP), answering two requests on a kept connection, refusing a request
over the configured bounds with the CGI program's status, and outliving peers that
lie (bad versions, lengths, request ids, unknown types, a stalled connection): the
worker that met them serves the next request.

Usage: fastcgi_standalone.py BUILD_DIR"""

import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import fcgi_client as fc  # noqa: E402

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL " + what)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def hello(address, name="x"):
    params = [("PATH_INFO", "/hello.kp"), ("QUERY_STRING", "name=" + name),
              ("REQUEST_METHOD", "GET"), ("SERVER_NAME", "localhost")]
    try:
        out, _, status = fc.ask(address, params, timeout=20)
    except OSError:
        return None
    return out if status is not None else None


def raw(address, data, wait=5):
    """Sends data and reads until the connection ends: (bytes, whether it ended)."""
    sock = fc.connect(address, wait)
    got = b""
    try:
        sock.sendall(data)
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return got, True
            got += chunk
    except socket.timeout:
        return got, False
    except OSError:
        return got, True
    finally:
        sock.close()


def main():
    build = os.path.abspath(sys.argv[1])
    state = tempfile.mkdtemp(prefix="kelp-fastcgi-standalone-", dir=build)
    site = os.path.join(state, "site")
    os.makedirs(site)
    with open(os.path.join(site, "hello.kp"), "w") as f:
        f.write("Hello &[name]\n")
    for name in ("a", "b", "one"):
        with open(os.path.join(site, name + ".kp"), "w") as f:
            f.write("page %s\n" % name)
    with open(os.path.join(site, "endless.kp"), "w") as f:
        f.write("<KpLET i=0><KpWHILE EXPR=1><KpLET i=i + 1></KpWHILE>\n")
    bindir = os.path.join(state, "bin")
    os.makedirs(bindir)
    shutil.copy(os.path.join(build, "kelp"), os.path.join(bindir, "kelp"))
    conf = os.path.join(bindir, "kelp.conf")
    plugin = os.path.join(build, "tests", "libsample_commerce.so")
    with open(os.path.join(site, "unsettle.kp"), "w") as f:
        f.write('<KpCOMMERCE METHOD="card" ACTION="unsettle"></KpCOMMERCE>unsettled\n')
    for n in range(7):
        with open(os.path.join(site, "create%d.kp" % n), "w") as f:
            f.write('<KpCREATE NAME="t" DATABASE="made%d.dbf" FIELDS="a CHAR(2)">made\n' % n)

    def configure(allow, more=""):
        with open(conf, "w") as f:
            f.write("kelproot = %s\nstdmodedatadir = %s\nusecookies = off\n"
                    "fastcgiworkers = 2\nmaxcontentlength = 1000\nmaxheaderlength = 200\n"
                    "globaltimeout = 1\n<COMMERCE-LIB METHOD=\"card\" LIBRARY=\"%s\">\n"
                    "%s%s" % (site, site, plugin, "fastcgiallow = %s\n" % allow if allow else "",
                              more))

    processes = []

    def start(address):
        errors = open(os.path.join(state, "stderr-%d" % len(processes)), "w+")
        p = subprocess.Popen([os.path.join(bindir, "kelp"), "--fastcgi", address], cwd=site,
                             env={}, stderr=errors)
        processes.append((p, errors))
        for _ in range(100):
            if hello(address) is not None:
                break
            time.sleep(0.05)
        return p, errors

    def workers(p):
        out = subprocess.run(["pgrep", "-P", str(p.pid)], capture_output=True, text=True)
        return sorted(out.stdout.split())

    try:
        configure(None)
        tcp = "127.0.0.1:%d" % free_port()
        p, errors = start(tcp)
        expected = b"Content-type: text/html\r\n\r\nHello World\n"
        check(hello(tcp, "World") == expected, "TCP on 127.0.0.1: %r" % hello(tcp, "World"))
        unix = os.path.join(state, "kelp.sock")
        q, _ = start(unix)
        check(hello(unix, "World") == expected, "unix socket: %r" % hello(unix, "World"))
        q.send_signal(signal.SIGTERM)
        q.wait(timeout=20)

        # Two requests on one kept connection, as nginx's fastcgi_keep_conn sends them.
        sock = fc.connect(tcp)
        params = [("PATH_INFO", "/hello.kp"), ("QUERY_STRING", "name=one")]
        sock.sendall(fc.request_bytes(params, keep=True))
        first = fc.read_reply(sock)
        sock.sendall(fc.request_bytes([("PATH_INFO", "/hello.kp"), ("QUERY_STRING", "name=two")],
                                      request_id=2, keep=True))
        second = fc.read_reply(sock)
        sock.close()
        check(first[0].endswith(b"Hello one\n") and second[0].endswith(b"Hello two\n"),
              "kept connection: %r %r" % (first, second))

        # Bounds: a body over maxcontentlength and a parameter over maxheaderlength.
        out, _, _ = fc.ask(tcp, [("PATH_INFO", "/hello.kp"), ("REQUEST_METHOD", "POST"),
                                 ("CONTENT_LENGTH", "5000"),
                                 ("CONTENT_TYPE", "application/x-www-form-urlencoded")],
                           b"a=" + b"b" * 4998)
        check(out.startswith(b"Status: 413"), "body over the limit: %r" % out[:200])
        out, _, _ = fc.ask(tcp, [("PATH_INFO", "/hello.kp"), ("HTTP_X_BIG", "v" * 500)])
        check(out.startswith(b"Status: 431"), "header over the limit: %r" % out[:200])
        out, _, _ = fc.ask(tcp, [("PATH_INFO", "/hello.kp"), ("QUERY_STRING", "q" * 500)])
        check(out.startswith(b"Status: 414"), "query string over the limit: %r" % out[:200])

        # Peers that lie end their connection, never the worker.
        before = workers(p)
        begin = fc.record(fc.BEGIN_REQUEST, 1, struct.pack(">HB5x", 1, 0))
        lies = {
            "bad version": b"\x02" + begin[1:],
            "length past the data, then closed": struct.pack(">BBHHBx", 1, fc.PARAMS, 1, 60000, 0)
                                                 + b"x" * 10,
            "params for another request": begin + fc.record(fc.PARAMS, 7, b"\x01\x01ab"),
            "a second BEGIN_REQUEST": begin + begin,
            "garbage": os.urandom(4096),
            "pairs longer than their record": begin + fc.record(fc.PARAMS, 1, b"\x7f\x7fab"),
        }
        for name, data in lies.items():
            raw(tcp, data, wait=3)
            check(hello(tcp, "after") is not None, "a request after %s" % name)
        got, _ = raw(tcp, fc.record(20, 0, b""), wait=3)  # an unknown management type
        check(len(got) >= 16 and got[1] == 11 and got[8] == 20,
              "unknown type answered with FCGI_UNKNOWN_TYPE: %r" % got[:24])
        # A connection that stalls half way through a record holds only its own worker.
        stalled = fc.connect(tcp)
        stalled.sendall(begin + b"\x01\x04\x00\x01")
        time.sleep(0.3)
        check(hello(tcp, "beside") is not None, "a request beside a stalled connection")
        stalled.close()
        check(workers(p) == before, "the workers outlived the lies: %s then %s" %
              (before, workers(p)))

        # Between requests a worker ignores a broken pipe and ends at SIGINT, and the
        # supervisor starts another in its place.
        for pid in before:
            os.kill(int(pid), signal.SIGPIPE)
        time.sleep(0.3)
        check(workers(p) == before and hello(tcp, "piped") is not None,
              "SIGPIPE between requests: %s then %s" % (before, workers(p)))
        os.kill(int(before[0]), signal.SIGINT)
        replaced = None
        for _ in range(100):
            replaced = workers(p)
            if before[0] not in replaced and len(replaced) == 2:
                break
            time.sleep(0.05)
        check(before[0] not in replaced and len(replaced) == 2,
              "SIGINT between requests ends the worker: %s then %s" % (before, replaced))
        check(hello(tcp, "replaced") is not None, "a request after SIGINT")
        before = workers(p)

        # A commerce library that changed the process's file mode mask, working
        # directory and SIGPIPE handling: the worker's next request starts as the
        # worker started.
        def made(n):
            out, _, _ = fc.ask(tcp, [("PATH_INFO", "/create%d.kp" % n)])
            path = os.path.join(site, "made%d.dbf" % n)
            return (out.endswith(b"made\n") if out else out,
                    os.stat(path).st_mode & 0o777 if os.path.exists(path) else None)

        first = made(0)
        unsettled = [fc.ask(tcp, [("PATH_INFO", "/unsettle.kp")])[0] for _ in range(6)]
        check(all(u and u.endswith(b"unsettled\n") for u in unsettled),
              "the unsettling library ran: %r" % unsettled)
        for pid in before:
            os.kill(int(pid), signal.SIGPIPE)
        time.sleep(0.3)
        after = [made(n) for n in range(1, 7)]
        check(first[0] and after == [first] * 6 and workers(p) == before,
              "after a library changed the process: %r then %r, workers %s then %s" %
              (first, after, before, workers(p)))

        # The time limit holds in every request of a worker, not just its first: an
        # endless loop ends with the engine's message, and the worker lives on.
        for n in range(3):
            started = time.time()
            out, _, _ = fc.ask(tcp, [("PATH_INFO", "/endless.kp")], timeout=20)
            took = time.time() - started
            check(out is not None and b"Application timed out" in out and took < 3.5,
                  "endless loop %d ended by its time limit after %.1f s: %r" %
                  (n, took, out[-80:] if out else out))
        check(workers(p) == before, "no worker was killed for the loops: %s then %s" %
              (before, workers(p)))

        # fastcgiallow without this address: the connection is closed unanswered and
        # the refusal is a line on standard error; SIGHUP lets the address in again.
        configure("10.1.2.3, 192.168.0.0/16")
        p.send_signal(signal.SIGHUP)
        time.sleep(0.5)
        refused = None
        for _ in range(40):
            refused = hello(tcp)
            if refused is None:
                break
            time.sleep(0.1)
        check(refused is None, "a peer not in fastcgiallow was answered: %r" % refused)
        errors.flush()
        with open(errors.name) as f:
            check("FastCGI connection from 127.0.0.1 refused: not in fastcgiallow" in f.read(),
                  "the refusal on standard error")
        configure("127.0.0.0/8")
        p.send_signal(signal.SIGHUP)
        allowed = None
        for _ in range(40):
            allowed = hello(tcp, "again")
            if allowed is not None:
                break
            time.sleep(0.1)
        check(allowed == b"Content-type: text/html\r\n\r\nHello again\n",
              "a network in fastcgiallow: %r" % allowed)

        # A worker parses its configuration once, but a configuration that reads the
        # request (an &[NAME] macro, a VIRTUALHOST block) is read for each request.
        def default_page(page, host):
            out, _, _ = fc.ask(tcp, [("PATH_INFO", "/"), ("SITE_PAGE", page),
                                     ("SERVER_NAME", host), ("REQUEST_METHOD", "GET")])
            return out.split(b"\r\n\r\n", 1)[-1] if out else out

        def reload(page, host, want):
            # Until the workers of the old reading are gone (one that was about to take
            # a connection as the signal came answers it first) and a new one answers.
            old = set(workers(p))
            p.send_signal(signal.SIGHUP)
            for _ in range(100):
                if not old & set(workers(p)) and default_page(page, host) == want:
                    return True
                default_page(page, host)
                time.sleep(0.05)
            return False

        configure("127.0.0.0/8", "dnslookup = off\nkelpdefault = &[SITE_PAGE]\n"
                                 "<VIRTUALHOST one.test>\nkelpdefault = one.kp\n</VIRTUALHOST>\n")
        check(reload("a.kp", "localhost", b"page a\n"), "the configuration read again")
        seen = [default_page(page, host) for _ in range(3)
                for page, host in (("a.kp", "localhost"), ("b.kp", "localhost"),
                                   ("a.kp", "one.test"), ("b.kp", "elsewhere"))]
        check(seen == [b"page a\n", b"page b\n", b"page one\n", b"page b\n"] * 3,
              "settings from each request's own parameters: %r" % seen)
        configure("127.0.0.0/8", "kelpdefault = b.kp\n")
        check(reload("a.kp", "one.test", b"page b\n"), "a changed configuration")
        seen = [default_page("a.kp", host) for host in ("one.test", "localhost") * 3]
        check(seen == [b"page b\n"] * 6, "the same settings for every request: %r" % seen)
        # Readings of the configuration one after another under load: every worker of an
        # old reading ends, even one told to as its page was starting.
        stop = threading.Event()

        def hammer():
            while not stop.is_set():
                hello(tcp, "load")

        clients = [threading.Thread(target=hammer) for _ in range(2)]
        for c in clients:
            c.start()
        for n in range(60):
            p.send_signal(signal.SIGHUP)
            time.sleep(0.005 if n % 2 else 0.05)  # some generations told to end at birth
        stop.set()
        for c in clients:
            c.join()
        left = None
        for _ in range(60):
            left = workers(p)
            if len(left) == 2:
                break
            hello(tcp, "flush")  # one about to take a connection as it was told answers it
            time.sleep(0.1)
        check(len(left) == 2, "workers of old readings still serving: %s" % left)

        # Server safe mode (a set-user-id kelp) is refused at start, naming CGI.
        if os.getuid() == 0 and shutil.which("setpriv"):
            suid = tempfile.mkdtemp(prefix="kelp-suid-")
            try:
                os.chmod(suid, 0o755)
                program = os.path.join(suid, "kelp")
                shutil.copy(os.path.join(build, "kelp"), program)
                os.chmod(program, 0o4755)
                run = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup",
                                      "--clear-groups", program, "--fastcgi",
                                      os.path.join(suid, "kelp.sock")],
                                     capture_output=True, text=True, timeout=20)
                check(run.returncode == 1 and "run it as a CGI program" in run.stderr and
                      not os.path.exists(os.path.join(suid, "kelp.sock")),
                      "server safe mode: %d %r" % (run.returncode, run.stderr))
                # Root starting it would run each page as its owner: refused too.
                run = subprocess.run([program, "--fastcgi", os.path.join(suid, "kelp.sock")],
                                     capture_output=True, text=True, timeout=20)
                check(run.returncode == 1 and "run it as a CGI program" in run.stderr and
                      not os.path.exists(os.path.join(suid, "kelp.sock")),
                      "server safe mode started by root: %d %r" % (run.returncode, run.stderr))
            finally:
                shutil.rmtree(suid, ignore_errors=True)
    finally:
        for proc, _ in processes:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    proc.kill()
        shutil.rmtree(state, ignore_errors=True)
    if not failures:
        print("fastcgi_standalone: all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
