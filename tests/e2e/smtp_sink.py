#!/usr/bin/python3
"""A mail server for the tests: python3-aiosmtpd on 127.0.0.1 that keeps every message.

    /usr/bin/python3 smtp_sink.py PORT MAILDIR

Message N is saved as MAILDIR/N.eml (the data as received, after the server removed
the dot-stuffing; CR LF kept) and MAILDIR/N.json (mail_from, rcpt_tos, helo), the
.json last. A recipient whose local part starts with "reject" is refused with 550.
"""
import json
import os
import signal
import sys
import threading

from aiosmtpd.controller import Controller


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


def main():
    port, directory = int(sys.argv[1]), sys.argv[2]
    os.makedirs(directory, exist_ok=True)
    controller = Controller(Sink(directory), hostname="127.0.0.1", port=port)
    controller.start()
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    stop.wait()
    controller.stop()


if __name__ == "__main__":
    main()
