"""A webhook receiver for the system tests: an HTTP server on a loopback port that checks
each POST's X-Tolvane-Signature against the shared secret and records what came.

    r = WebhookReceiver(secret="s3cret")       # listening on r.port, r.url
    r.answer(503, times=2)                      # the next two POSTs get 503, then 200
    r.down(); ...; r.up()                       # nothing listens meanwhile (refused)
    r.wait(3)                                   # the first three accepted deliveries
    r.close()

Each delivery is a dict: body (parsed JSON), raw (bytes), delivery (X-Tolvane-Delivery),
signed (the signature checked out), t (the signature's time), status (what was answered).
A POST whose signature does not check out is answered 401 and recorded with signed False.
The signature is checked here independently of the gateway's code: hex HMAC-SHA256 of
"<t>.<body>" under the secret, and t within five minutes of now.
"""

import hashlib
import hmac
import http.server
import json
import socket
import threading
import time

TOLERANCE_S = 300


def check_signature(secret, header, body, now=None):
    """(ok, t) for an X-Tolvane-Signature header value over body (bytes)."""
    fields = {}
    for item in (header or "").split(","):
        k, _, v = item.strip().partition("=")
        fields.setdefault(k, v)
    try:
        t = int(fields.get("t", ""))
    except ValueError:
        return False, None
    want = hmac.new(secret.encode(), str(t).encode() + b"." + body, hashlib.sha256).hexdigest()
    now = time.time() if now is None else now
    fresh = abs(now - t) <= TOLERANCE_S
    return hmac.compare_digest(want, fields.get("v1", "")) and fresh, t


class WebhookReceiver:
    def __init__(self, secret, port=0):
        self.secret = secret
        self.lock = threading.Condition()
        self.posts = []        # every POST, answered or not
        self.scripted = []     # statuses for the next POSTs
        self.server = None
        self.thread = None
        self.port = port
        self.up()

    @property
    def url(self):
        return "http://127.0.0.1:%d/hooks/sms" % self.port

    def _handler(self):
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_POST(self):
                n = int(self.headers.get("Content-Length", "0"))
                raw = self.rfile.read(n)
                ok, t = check_signature(receiver.secret,
                                        self.headers.get("X-Tolvane-Signature"), raw)
                rec = {"raw": raw, "signed": ok, "t": t, "path": self.path,
                       "peer": self.client_address,
                       "delivery": self.headers.get("X-Tolvane-Delivery"),
                       "content_type": self.headers.get("Content-Type")}
                try:
                    rec["body"] = json.loads(raw)
                except ValueError:
                    rec["body"] = None
                with receiver.lock:
                    status = receiver.scripted.pop(0) if receiver.scripted else 200
                    if not ok:
                        status = 401
                    rec["status"] = status
                    receiver.posts.append(rec)
                    receiver.lock.notify_all()
                text = b"ok" if status < 300 else b"no"
                self.send_response(status)
                self.send_header("Content-Length", str(len(text)))
                self.end_headers()
                self.wfile.write(text)

        return Handler

    def up(self):
        """Listens (again, on the same port once one was chosen)."""
        class Server(http.server.ThreadingHTTPServer):
            allow_reuse_address = True
            daemon_threads = True
        self.server = Server(("127.0.0.1", self.port), self._handler())
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def down(self):
        """Stops listening: connections are refused until up()."""
        if self.server is not None:
            self.server.shutdown()
            self.server.server_close()
            self.thread.join(timeout=10)
            self.server = None

    def answer(self, status, times=1):
        with self.lock:
            self.scripted.extend([status] * times)

    def accepted(self):
        with self.lock:
            return [p for p in self.posts if p["status"] < 300]

    def connections(self):
        """How many connections the POSTs so far came on (by the sender's address)."""
        with self.lock:
            return len({p["peer"] for p in self.posts})

    def all(self):
        with self.lock:
            return list(self.posts)

    def wait(self, n, timeout=30.0, accepted=True):
        """The first n accepted (or, with accepted False, any) POSTs; fails after timeout."""
        deadline = time.monotonic() + timeout
        with self.lock:
            while True:
                got = [p for p in self.posts if not accepted or p["status"] < 300]
                if len(got) >= n:
                    return got
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("%d webhook POSTs wanted, got %r" % (n, self.posts))
                self.lock.wait(left)

    def close(self):
        self.down()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
