#!/usr/bin/python3
"""A mail server for the tests: python3-aiosmtpd on 127.0.0.1 that keeps every message.

    /usr/bin/python3 smtp_sink.py PORT MAILDIR [starttls|tls CERT KEY [USER:PASS]]

With starttls the server requires STARTTLS (and, with USER:PASS, AUTH after it);
with tls it speaks TLS from the start. Every AUTH attempt is noted in
MAILDIR/auth.log (mechanism and login). Message N is saved as MAILDIR/N.eml (the data as received, after the server removed
the dot-stuffing; CR LF kept) and MAILDIR/N.json (mail_from, rcpt_tos, helo), the
.json last. A recipient whose local part starts with "reject" is refused with 550.
"""
import json
import os
import signal
import sys
import threading

import ssl

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Sink:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0
        self.lock = threading.Lock()

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address.split("@")[0].lower().startswith("reject"):
            return "550 5.1.1 mailbox unavailable"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            n = self.count
        base = os.path.join(self.directory, "%d" % n)
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        meta = {"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                "helo": session.host_name}
        with open(base + ".tmp", "w") as f:
            json.dump(meta, f)
        os.rename(base + ".tmp", base + ".json")
        return "250 2.0.0 queued as %d" % n


def authenticator(directory, user, password):
    def check(server, session, envelope, mechanism, auth_data):
        login = auth_data.login.decode() if isinstance(auth_data, LoginPassword) else "?"
        with open(os.path.join(directory, "auth.log"), "a") as log:
            log.write("%s %s\n" % (mechanism, login))
        ok = (isinstance(auth_data, LoginPassword) and login == user
              and auth_data.password.decode() == password)
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)
    return check


def main():
    port, directory = int(sys.argv[1]), sys.argv[2]
    os.makedirs(directory, exist_ok=True)
    kwargs = {}
    if len(sys.argv) > 3:
        mode, cert, key = sys.argv[3:6]
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(cert, key)
        if mode == "starttls":
            kwargs.update(tls_context=context, require_starttls=True)
        else:
            kwargs.update(ssl_context=context)
        if len(sys.argv) > 6:
            user, password = sys.argv[6].split(":", 1)
            kwargs.update(authenticator=authenticator(directory, user, password), auth_required=True,
                          auth_require_tls=True)
    controller = Controller(Sink(directory), hostname="127.0.0.1", port=port, **kwargs)
    controller.start()
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    stop.wait()
    controller.stop()


if __name__ == "__main__":
    main()
