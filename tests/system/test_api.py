"""The HTTP API on the real gateway: keys made with -apikey, sends through an SMS centre
(tests/peers/smsc.js), their status, receipts, idempotency and the classic sendsms form,
driven by two real clients, curl and Python's requests (keep-alive sessions). Every answer
is checked against the OpenAPI document kept in docs/openapi.json by jsonschema
(Draft 2020-12), an implementation that shares nothing with the gateway.

Every process started here (gateway, centre, sink) is stopped by the test's cleanups.
"""

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

import jsonschema
import requests

from mailsms import BIN, Gateway, free_port, wait_for
from pgcluster import PgCluster
from test_smpp import SOURCE_DIR, Smsc, smpp_settings

sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "peers"))
from webhook_receiver import WebhookReceiver  # noqa: E402

WAIT = 20.0
DOC_PATH = os.path.join(SOURCE_DIR, "docs", "openapi.json")
with open(DOC_PATH) as f:
    DOC = json.load(f)


def operation(path, method):
    """The document's operation for a concrete path ("/api/v1/messages/17")."""
    for template, item in DOC["paths"].items():
        pattern = "^" + re.sub(r"\{[^}]+\}", "[^/]+", template) + "$"
        if re.match(pattern, path) and method.lower() in item:
            return item[method.lower()]
    return None


def resolve(node):
    while "$ref" in node:
        target = DOC
        for part in node["$ref"].lstrip("#/").split("/"):
            target = target[part]
        node = target
    return node


def validate(test, method, path, status, content_type, body):
    """The answer is one the document describes: its status listed for the operation
    (paths the document does not name answer with its Error schema), its media type and
    its body valid under the schema (formats such as date-time checked)."""
    path = path.split("?", 1)[0]
    op = operation(path, method)
    if op is None:
        media, schema = "application/json", {"$ref": "#/components/schemas/Error"}
    else:
        responses = op["responses"]
        test.assertIn(str(status), responses, "%s %s answered %d, undocumented" % (method, path, status))
        content = resolve(responses[str(status)])["content"]
        media = (content_type or "").split(";")[0].strip()
        test.assertIn(media, content, "%s %s %d answered as %r" % (method, path, status, media))
        schema = content[media]["schema"]
    if media == "application/json":
        instance = json.loads(body)
    else:
        instance = body
    # The schema inside a root that holds the document's components, so that its
    # "#/components/..." references resolve there.
    root = {"$schema": "https://json-schema.org/draft/2020-12/schema",
            "components": DOC["components"], "allOf": [schema]}
    jsonschema.Draft202012Validator(root, format_checker=jsonschema.FormatChecker()).validate(instance)
    return instance


class Api(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")

    def start(self, **settings):
        self.smsc = Smsc(self)
        self.api_port = free_port()
        s = smpp_settings(self.smsc, api_port=str(self.api_port), api_listen="127.0.0.1",
                          sender_ids="shop ACME", **settings)
        self.gw = Gateway(self, s, start=False)
        self.key_file = os.path.join(self.gw.home, "api_keys.dat")
        with open(self.gw.ini, "a") as f:
            f.write("api_key_file %s\n" % self.key_file)
        self.key = self.make_key("shop")
        self.gw.start()
        self.gw.wait_log("HTTP API listening")
        if s.get("send_mode") != "none":
            self.smsc.wait_event("bind_transmitter")
        self.base = "%s://127.0.0.1:%d" % ("https" if s.get("api_tls") == "true" else "http",
                                           self.api_port)
        self.http = requests.Session()
        self.addCleanup(self.http.close)

    def make_key(self, name, *more):
        out = subprocess.run([BIN, "-config", self.gw.ini, "-apikey", name, *more],
                             capture_output=True, text=True, timeout=WAIT)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        lines = out.stdout.splitlines()
        if more:
            return None
        # The key, then the secret its delivery reports are signed with.
        self.secrets = getattr(self, "secrets", {})
        self.secrets[name] = lines[3]
        return lines[1]

    # ---- the two clients ----
    def req(self, method, path, body=None, headers=None, key=True, raw=None):
        h = {"Authorization": "Bearer " + self.key} if key is True else (
            {"Authorization": "Bearer " + key} if key else {})
        h.update(headers or {})
        data = raw if raw is not None else (json.dumps(body) if body is not None else None)
        if data is not None and "Content-Type" not in h:
            h["Content-Type"] = "application/json"
        r = self.http.request(method, self.base + path, data=data, headers=h, timeout=WAIT,
                              verify=False)
        validate(self, method, path, r.status_code, r.headers.get("Content-Type"), r.text)
        return r

    def curl(self, method, path, body=None, headers=None, key=True, raw=None):
        """curl's status, headers and body."""
        args = ["curl", "-sS", "-k", "-i", "-X", method, self.base + path, "--max-time", str(WAIT)]
        if key:
            args += ["-H", "Authorization: Bearer " + (self.key if key is True else key)]
        h = dict(headers or {})
        data = raw if raw is not None else (json.dumps(body) if body is not None else None)
        if data is not None:
            h.setdefault("Content-Type", "application/json")
            args += ["--data-binary", "@-"]
        for k, v in h.items():
            args += ["-H", "%s: %s" % (k, v)]
        out = subprocess.run(args, input=(data or "").encode(), capture_output=True, timeout=WAIT + 5)
        self.assertEqual(out.returncode, 0, out.stderr)
        text = out.stdout.decode("utf-8", "replace")
        # A 100 Continue comes first for a large body.
        while text.startswith("HTTP/1.1 100"):
            text = text.split("\r\n\r\n", 1)[1]
        head, _, rest = text.partition("\r\n\r\n")
        lines = head.split("\r\n")
        status = int(lines[0].split()[1])
        hdrs = {l.split(":", 1)[0].lower(): l.split(":", 1)[1].strip() for l in lines[1:] if ":" in l}
        validate(self, method, path, status, hdrs.get("content-type"), rest)
        return status, hdrs, rest

    def status_of(self, mid):
        return self.req("GET", "/api/v1/messages/" + mid).json()

    def wait_status(self, mid, want):
        return wait_for(lambda: self.status_of(mid) if self.status_of(mid)["status"] == want else None,
                        WAIT, what="message %s %s" % (mid, want))

    # ---- the tests ----
    def test_send_is_submitted_its_status_follows_the_send_and_the_receipt(self):
        self.start(webpath=os.path.join(SOURCE_DIR, "etc", "web"), metrics_open="true")
        hooks = WebhookReceiver(self.secrets["shop"])
        self.addCleanup(hooks.close)
        r = self.req("POST", "/api/v1/messages", {
            "to": ["0412 000 001", "+61412000002"], "text": "Your code is 1234", "from": "ACME",
            "reference": "order-7", "callback_url": hooks.url})
        self.assertEqual(r.status_code, 202)
        msgs = r.json()["messages"]
        self.assertEqual([m["to"] for m in msgs], ["+61412000001", "+61412000002"])
        self.assertEqual({m["parts"] for m in msgs}, {1})
        self.smsc.wait_event("submit_sm", 2)
        subs = {e["destination_addr"]: e for e in self.smsc.all("submit_sm")}
        self.assertEqual(set(subs), {"61412000001", "61412000002"})
        self.assertEqual({e["source_addr"] for e in subs.values()}, {"ACME"})
        self.assertEqual({e["text"] for e in subs.values()}, {"Your code is 1234"})
        self.assertTrue(all(e["registered_delivery"] for e in subs.values()))
        first = self.wait_status(msgs[0]["id"], "sent")
        self.assertEqual((first["transport"], first["attempts"], first["reference"], first["error"]),
                         ("smpp", 1, "order-7", None))
        # A receipt finds its message only once the gateway has taken the centre's answer.
        self.wait_status(msgs[1]["id"], "sent")
        # The centre's receipts: one delivered, one not.
        self.smsc.command(cmd="receipt", message_id=subs["61412000001"]["message_id"],
                          stat="DELIVRD", source_addr="61412000001")
        self.smsc.command(cmd="receipt", message_id=subs["61412000002"]["message_id"],
                          stat="UNDELIV", source_addr="61412000002")
        self.wait_status(msgs[0]["id"], "delivered")
        second = self.wait_status(msgs[1]["id"], "failed")
        self.assertEqual(second["error"], "UNDELIVERED")
        # Each change is reported to the callback_url, signed with the key's secret: the
        # send, then the receipt, of each message, and nothing twice.
        posts = hooks.wait(4)
        self.assertTrue(all(p["signed"] for p in posts))
        seen = sorted((p["body"]["id"], p["body"]["status"]) for p in posts)
        self.assertEqual(seen, sorted([(msgs[0]["id"], "sent"), (msgs[0]["id"], "delivered"),
                                       (msgs[1]["id"], "sent"), (msgs[1]["id"], "failed")]))
        for p in posts:
            self.assertEqual(set(p["body"]), {"id", "status", "error", "at", "reference"})
            self.assertEqual(p["body"]["reference"], "order-7")
        failed = [p["body"] for p in posts if p["body"]["status"] == "failed"]
        self.assertEqual(failed[0]["error"], "UNDELIVERED")
        self.assertEqual(len({p["delivery"] for p in posts}), 4)
        # curl sends and asks too, on the same calls.
        status, _, body = self.curl("POST", "/api/v1/messages", {"to": "+61412000003", "text": "hi"})
        self.assertEqual(status, 202)
        mid = json.loads(body)["messages"][0]["id"]
        status, _, body = self.curl("GET", "/api/v1/messages/" + mid)
        self.assertEqual((status, json.loads(body)["id"]), (200, mid))
        # Another key sees none of this key's messages.
        other = self.make_key("crm")
        self.assertEqual(self.req("GET", "/api/v1/messages/" + mid, key=other).status_code, 404)
        # The served document is the one kept in the repository.
        served = self.req("GET", "/api/v1/openapi.json", key=False)
        self.assertEqual(served.json(), DOC)
        status, _, body = self.curl("GET", "/api/v1/openapi.json", key=False)
        self.assertEqual((status, json.loads(body)), (200, DOC))
        metrics = requests.get("http://127.0.0.1:%s/metrics" % self.web_port(), timeout=WAIT).text
        self.assertRegex(metrics, r'tolvane_api_requests_total\{route="send",code="202"\} 2')

    def web_port(self):
        with open(self.gw.ini) as f:
            return re.search(r"(?m)^web_port (\d+)", f.read()).group(1)

    def test_every_refusal_by_both_clients(self):
        self.start(to_limit="1")
        big = json.dumps({"to": "+61412000009", "text": "x" * 70000})
        rows = [
            # method, path, body or raw, headers, key, status, code, field
            ("POST", "/api/v1/messages", None, "{", {}, True, 400, "invalid_json", None),
            ("POST", "/api/v1/messages", {"to": ["+61412000010", "12ab"], "text": "x"}, None, {},
             True, 400, "invalid_number", "to[1]"),
            ("POST", "/api/v1/messages", {"to": "+61412000010", "text": ""}, None, {}, True, 400,
             "empty_text", "text"),
            ("POST", "/api/v1/messages", {"to": "+61412000010", "text": "x"}, None, {}, False, 401,
             "unauthorized", None),
            ("POST", "/api/v1/messages", {"to": "+61412000010", "text": "x"}, None, {},
             "tv_" + "0" * 64, 401, "unauthorized", None),
            ("GET", "/api/v1/messages/1", None, None, {}, False, 401, "unauthorized", None),
            ("POST", "/api/v1/messages", {"to": "+61412000010", "text": "x", "from": "BANK"}, None,
             {}, True, 403, "sender_not_allowed", "from"),
            ("POST", "/api/v1/messages", None, big, {}, True, 413, "too_large", None),
            ("POST", "/api/v1/messages", None, "to=1", {"Content-Type": "text/plain"}, True, 415,
             "unsupported_media_type", None),
            ("GET", "/api/v1/messages/999999", None, None, {}, True, 404, "not_found", None),
            ("GET", "/api/v1/messages", None, None, {}, True, 405, "method_not_allowed", None),
            ("GET", "/nothing", None, None, {}, True, 404, "not_found", None),
        ]
        for method, path, body, raw, headers, key, status, code, field in rows:
            with self.subTest(client="requests", status=status, code=code):
                r = self.req(method, path, body, headers, key, raw)
                self.assertEqual(r.status_code, status, r.text)
                err = r.json()["error"]
                self.assertEqual((err["code"], err.get("field")), (code, field))
                if status == 401:
                    self.assertEqual(r.headers.get("WWW-Authenticate"), "Bearer")
            with self.subTest(client="curl", status=status, code=code):
                got, hdrs, text = self.curl(method, path, body, headers, key, raw)
                self.assertEqual(got, status, text)
                self.assertEqual(json.loads(text)["error"]["code"], code)
        # A rate limit: to_limit 1 lets one SMS to a number through, then 429 with when to
        # try again, for either client.
        one = {"to": "+61412000011", "text": "first"}
        self.assertEqual(self.req("POST", "/api/v1/messages", one).status_code, 202)
        r = self.req("POST", "/api/v1/messages", one)
        self.assertEqual((r.status_code, r.json()["error"]["code"]), (429, "rate_limited"))
        self.assertGreater(int(r.headers["Retry-After"]), 0)
        got, hdrs, _ = self.curl("POST", "/api/v1/messages", one)
        self.assertEqual(got, 429)
        self.assertIn("retry-after", hdrs)
        # A revoked key is refused from then on.
        self.make_key("shop", "-revoke")
        self.assertEqual(self.req("POST", "/api/v1/messages", one).status_code, 401)
        self.smsc.wait_event("submit_sm", 1)
        self.assertEqual(len(self.smsc.all("submit_sm")), 1)  # only the first of them all

    def test_a_key_count_of_its_own_limits_each_key(self):
        self.start(limit='name="perkey" key="2" period="24"')
        r = self.req("POST", "/api/v1/messages", {"to": ["+61412000050", "+61412000051"], "text": "a"})
        self.assertEqual(r.status_code, 202)
        r = self.req("POST", "/api/v1/messages", {"to": "+61412000052", "text": "b"})
        self.assertEqual((r.status_code, r.json()["error"]["code"]), (429, "rate_limited"))
        self.assertIn("perkey", r.json()["error"]["message"])
        # Another key has its own count.
        other = self.make_key("crm")
        r = self.req("POST", "/api/v1/messages", {"to": "+61412000052", "text": "b"}, key=other)
        self.assertEqual(r.status_code, 202)
        self.smsc.wait_event("submit_sm", 3)
        path = os.path.join(self.gw.work, "perkey.key")

        def counts():
            return open(path).read() if os.path.exists(path) else ""
        wait_for(lambda: "crm|" in counts() and "shop|0000000002" in counts(), WAIT,
                 what="each key counted in perkey.key")
        self.assertIn("crm|0000000001", counts())

    def test_a_message_answered_202_survives_a_kill_9_before_its_send(self):
        self.start()
        port = self.smsc.port
        # The centre goes away: the message is answered once it is stored, and waits.
        self.smsc.proc.kill()
        self.smsc.proc.wait(timeout=WAIT)
        r = self.req("POST", "/api/v1/messages", {"to": "+61412000060", "text": "kept",
                                                  "reference": "k9"})
        self.assertEqual(r.status_code, 202)
        mid = r.json()["messages"][0]["id"]
        self.gw.proc.send_signal(signal.SIGKILL)
        self.gw.proc.wait(timeout=WAIT)
        self.gw.proc = None
        # Back with a centre on the same port: sent once, and its status says so.
        centre = Smsc(self, "--port", str(port))
        # The log still holds the first run's lines: the restarted API is waited for by
        # the log line counted twice.
        self.gw.start()
        wait_for(lambda: sum("HTTP API listening" in l for l in self.gw.log()) >= 2, WAIT,
                 what="the API listening again")
        centre.wait_event("submit_sm", 1)
        got = self.wait_status(mid, "sent")
        self.assertEqual((got["to"], got["reference"]), ("+61412000060", "k9"))
        time.sleep(1.0)
        subs = centre.all("submit_sm")
        self.assertEqual([(e["destination_addr"], e["text"]) for e in subs],
                         [("61412000060", "kept")])

    def test_without_a_transport_sends_are_refused_503(self):
        self.start(delivery_mode="none", send_mode="none", recv_mode="none")
        body = {"to": "+61412000012", "text": "x"}
        r = self.req("POST", "/api/v1/messages", body)
        self.assertEqual((r.status_code, r.json()["error"]["code"]), (503, "unavailable"))
        self.assertEqual(self.curl("POST", "/api/v1/messages", body)[0], 503)

    def test_twenty_identical_requests_at_once_send_one_message(self):
        self.start()
        body = {"to": "+61412000020", "text": "once only"}
        answers = []
        lock = threading.Lock()

        def post():
            with requests.Session() as s:
                r = s.post(self.base + "/api/v1/messages", json=body, timeout=WAIT,
                           headers={"Authorization": "Bearer " + self.key, "Idempotency-Key": "k-20"})
                validate(self, "POST", "/api/v1/messages", r.status_code,
                         r.headers.get("Content-Type"), r.text)
                with lock:
                    answers.append((r.status_code, r.text))

        threads = [threading.Thread(target=post) for _ in range(20)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual({a[0] for a in answers}, {202}, answers)
        self.assertEqual(len({a[1] for a in answers}), 1)  # the same answer for all
        self.smsc.wait_event("submit_sm", 1)
        mid = json.loads(answers[0][1])["messages"][0]["id"]
        self.wait_status(mid, "sent")
        self.assertEqual(len(self.smsc.all("submit_sm")), 1)
        # curl repeating it gets the first answer; the same key with another body is refused.
        status, hdrs, text = self.curl("POST", "/api/v1/messages", body, {"Idempotency-Key": "k-20"})
        self.assertEqual((status, text, hdrs.get("idempotent-replayed")), (202, answers[0][1], "true"))
        r = self.req("POST", "/api/v1/messages", {"to": "+61412000020", "text": "other"},
                     {"Idempotency-Key": "k-20"})
        self.assertEqual((r.status_code, r.json()["error"]["code"]), (422, "idempotency_conflict"))
        self.assertEqual(len(self.smsc.all("submit_sm")), 1)

    def test_classic_sendsms_by_get_and_post(self):
        self.start()
        q = "/cgi-bin/sendsms?username=shop&password=%s&to=%%2B61412000030&text=caf%%E9&charset=ISO-8859-1&from=ACME" % self.key
        status, _, text = self.curl("GET", q, key=False)
        self.assertEqual((status, text.strip()), (202, "0: Accepted for delivery"))
        r = self.http.post(self.base + "/cgi-bin/sendsms", timeout=WAIT, data={
            "username": "shop", "password": self.key, "to": "+61412000031", "text": "hello there"})
        validate(self, "POST", "/cgi-bin/sendsms", r.status_code, r.headers.get("Content-Type"), r.text)
        self.assertEqual((r.status_code, r.text.strip()), (202, "0: Accepted for delivery"))
        self.smsc.wait_event("submit_sm", 2)
        texts = {e["destination_addr"]: e["text"] for e in self.smsc.all("submit_sm")}
        # é is 0x05 in the GSM alphabet the centre's text shows as it is.
        self.assertEqual(texts, {"61412000030": "caf\x05", "61412000031": "hello there"})
        # A wrong password, a bad number, either client.
        bad = "/cgi-bin/sendsms?username=shop&password=nope&to=%2B61412000032&text=x"
        self.assertEqual(self.curl("GET", bad, key=False)[0], 403)
        r = self.http.get(self.base + bad, timeout=WAIT)
        validate(self, "GET", "/cgi-bin/sendsms", r.status_code, r.headers.get("Content-Type"), r.text)
        self.assertEqual(r.status_code, 403)
        r = self.http.get(self.base + "/cgi-bin/sendsms", timeout=WAIT, params={
            "username": "shop", "password": self.key, "to": "x1", "text": "x"})
        validate(self, "GET", "/cgi-bin/sendsms", r.status_code, r.headers.get("Content-Type"), r.text)
        self.assertEqual(r.status_code, 400)
        self.assertEqual(self.curl("GET", "/cgi-bin/sendsms?username=shop&password=%s&to=x1&text=x" % self.key,
                                   key=False)[0], 400)

    def test_tls_with_keys_in_the_shared_database(self):
        """api_tls over the web channel's self-made key and certificate, keys in
        tv_api_keys of a PostgreSQL store: a key made while the gateway runs is taken
        within the refresh time, a revoked one refused."""
        import urllib3
        urllib3.disable_warnings(urllib3.exceptions.InsecureRequestWarning)
        pg = PgCluster(self)
        self.start(api_tls="true", store="postgresql", store_dsn=pg.dsn(pg.fresh_database()),
                   recv_mode="none")
        self.assertFalse(os.path.exists(self.key_file))  # the key went to the database
        r = self.req("POST", "/api/v1/messages", {"to": "+61412000040", "text": "over TLS"})
        self.assertEqual(r.status_code, 202, r.text)
        status, _, _ = self.curl("POST", "/api/v1/messages", {"to": "+61412000041", "text": "curl"})
        self.assertEqual(status, 202)
        self.smsc.wait_event("submit_sm", 2)
        later = self.make_key("later")
        wait_for(lambda: self.req("GET", "/api/v1/messages/1", key=later).status_code == 404,
                 WAIT, what="the new key known")
        self.make_key("shop", "-revoke")
        wait_for(lambda: self.req("GET", "/api/v1/messages/1").status_code == 401,
                 WAIT, what="the revoked key refused")
        # Plain HTTP on the TLS port gets no answer.
        with self.assertRaises(requests.exceptions.RequestException):
            requests.get("http://127.0.0.1:%d/api/v1/openapi.json" % self.api_port, timeout=5)


class ApiSharedStore(unittest.TestCase):
    """Two gateways on one PostgreSQL store: a message sent through one is known to the
    other, and an Idempotency-Key used on one is kept for both."""

    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")
        pg = PgCluster(self)
        self.pg = pg
        self.db = pg.fresh_database()
        self.smscs, self.bases = [], []
        for _ in range(2):
            smsc = Smsc(self)
            port = free_port()
            gw = Gateway(self, smpp_settings(smsc, api_port=str(port), api_listen="127.0.0.1",
                                             recv_mode="none", store="postgresql",
                                             store_dsn=pg.dsn(self.db)))
            gw.wait_log("HTTP API listening")
            smsc.wait_event("bind_transmitter")
            self.smscs.append(smsc)
            self.bases.append("http://127.0.0.1:%d" % port)
        self.ini = gw.ini
        out = subprocess.run([BIN, "-config", gw.ini, "-apikey", "shop"], capture_output=True,
                             text=True, timeout=WAIT)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.key = out.stdout.splitlines()[1]
        self.http = requests.Session()
        self.addCleanup(self.http.close)
        # Both gateways know the key (read from the store within its refresh time).
        for gw_at in (0, 1):
            wait_for(lambda: self.get(gw_at, "/api/v1/messages/999999").status_code == 404,
                     WAIT, what="the key known to gateway %d" % gw_at)

    def call(self, at, method, path, body=None, headers=None):
        h = {"Authorization": "Bearer " + self.key}
        h.update(headers or {})
        r = self.http.request(method, self.bases[at] + path, json=body, headers=h, timeout=WAIT)
        validate(self, method, path, r.status_code, r.headers.get("Content-Type"), r.text)
        return r

    def get(self, at, path):
        return self.call(at, "GET", path)

    def submits(self):
        return sum(len(s.all("submit_sm")) for s in self.smscs)

    def test_status_of_a_message_is_answered_by_every_gateway(self):
        r = self.call(0, "POST", "/api/v1/messages",
                      {"to": "+61412000060", "text": "seen by both", "reference": "r-60"})
        self.assertEqual(r.status_code, 202, r.text)
        mid = r.json()["messages"][0]["id"]
        for at in (0, 1):
            got = wait_for(lambda: (lambda m: m if m["status"] == "sent" else None)(
                self.get(at, "/api/v1/messages/" + mid).json()), WAIT,
                what="message %s sent, asked on gateway %d" % (mid, at))
            self.assertEqual((got["id"], got["to"], got["reference"], got["transport"]),
                             (mid, "+61412000060", "r-60", "smpp"))
            self.assertEqual(got["attempts"], 1)
        self.assertEqual(self.pg.psql("SELECT status FROM tv_api_messages WHERE id = '%s'" % mid,
                                      self.db), "sent")
        # Another key, and an id nobody sent, are not found on either.
        other = subprocess.run([BIN, "-config", self.ini, "-apikey", "other"],
                               capture_output=True, text=True, timeout=WAIT).stdout.splitlines()[1]
        for at in (0, 1):
            wait_for(lambda: self.http.get(self.bases[at] + "/api/v1/messages/" + mid, timeout=WAIT,
                                           headers={"Authorization": "Bearer " + other}
                                           ).status_code == 404,
                     WAIT, what="the other key refused the message on gateway %d" % at)
            self.assertEqual(self.get(at, "/api/v1/messages/%d" % (int(mid) + 1000)).status_code,
                             404)

    def test_an_idempotency_key_sends_once_across_gateways(self):
        body = {"to": "+61412000061", "text": "once across both"}
        first = self.call(0, "POST", "/api/v1/messages", body, {"Idempotency-Key": "x-61"})
        self.assertEqual(first.status_code, 202, first.text)
        again = self.call(1, "POST", "/api/v1/messages", body, {"Idempotency-Key": "x-61"})
        self.assertEqual((again.status_code, again.text), (202, first.text))
        self.assertEqual(again.headers.get("Idempotent-Replayed"), "true")
        conflict = self.call(1, "POST", "/api/v1/messages", {"to": "+61412000061", "text": "no"},
                             {"Idempotency-Key": "x-61"})
        self.assertEqual((conflict.status_code, conflict.json()["error"]["code"]),
                         (422, "idempotency_conflict"))
        # Ten at once on both gateways with a new key: one message, one answer for all.
        answers, lock = [], threading.Lock()
        twin = {"to": "+61412000062", "text": "raced"}

        def post(at):
            with requests.Session() as s:
                r = s.post(self.bases[at] + "/api/v1/messages", json=twin, timeout=WAIT,
                           headers={"Authorization": "Bearer " + self.key,
                                    "Idempotency-Key": "x-62"})
                with lock:
                    answers.append((r.status_code, r.text))

        threads = [threading.Thread(target=post, args=(i % 2,)) for i in range(10)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual({a[0] for a in answers}, {202}, answers)
        self.assertEqual(len({a[1] for a in answers}), 1, answers)
        wait_for(lambda: self.submits() >= 2, WAIT, what="both messages submitted")
        time.sleep(1.0)
        self.assertEqual(self.submits(), 2)
        self.assertEqual(self.pg.psql("SELECT count(*) FROM tv_api_idempotency", self.db), "2")
        # A refused send keeps no key: the key is free for a send that is taken.
        bad = self.call(1, "POST", "/api/v1/messages",
                        {"to": "+61412000063", "text": "x", "from": "BANK"},
                        {"Idempotency-Key": "x-63"})
        self.assertEqual((bad.status_code, bad.json()["error"]["code"]),
                         (403, "sender_not_allowed"))
        self.assertEqual(self.pg.psql("SELECT count(*) FROM tv_api_idempotency", self.db), "2")
        good = self.call(0, "POST", "/api/v1/messages", {"to": "+61412000063", "text": "x"},
                         {"Idempotency-Key": "x-63"})
        self.assertEqual(good.status_code, 202, good.text)
        self.assertIsNone(good.headers.get("Idempotent-Replayed"))
        wait_for(lambda: self.submits() >= 3, WAIT, what="the third message submitted")


if __name__ == "__main__":
    unittest.main()
