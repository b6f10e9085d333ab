"""/health and /metrics of the real gateway follow the SMS centre: 200 while it is bound,
503 naming the SMPP transport while the centre is gone, 200 again once the transport has
bound to the centre that came back on the same port."""

import http.client
import os
import re
import unittest

from mailsms import BIN, Gateway, free_port, wait_for
from test_smpp import Smsc, smpp_settings

WAIT = 30.0


def get(port, target):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        c.request("GET", target)
        r = c.getresponse()
        return r.status, r.read().decode("utf-8", "replace")
    finally:
        c.close()


class HealthFollowsTheSmsCentre(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.skipTest("TOLVANE_BIN is not set to the built gateway")

    def test_503_while_the_centre_is_down_and_200_after_it_returns(self):
        smsc = Smsc(self)
        web = free_port()
        gw = Gateway(self, smpp_settings(smsc, web_port=str(web), metrics_open="true"))
        smsc.wait_event("bind_receiver")
        gw.wait_log("SMPP transport ready")
        self.assertEqual(get(web, "/health"), (200, "ok\n"))

        port = smsc.port
        smsc.stop()
        status, body = wait_for(lambda: (lambda r: r if r[0] == 503 else None)(
            get(web, "/health")), timeout=WAIT, what="/health 503 with the centre gone")
        self.assertRegex(body, r"^smpp: .+\n$")
        metrics = get(web, "/metrics")[1]
        self.assertIn('tolvane_transport_up{transport="smpp",role="send and receive"} 0\n',
                      metrics)

        back = Smsc(self, "--port", str(port))
        back.wait_event("bind_transmitter", timeout=WAIT)
        wait_for(lambda: get(web, "/health") == (200, "ok\n"), timeout=WAIT,
                 what="/health 200 once bound again")
        metrics = get(web, "/metrics")[1]
        self.assertIn('tolvane_transport_up{transport="smpp",role="send and receive"} 1\n',
                      metrics)
        reconnects = re.search(r'^tolvane_transport_reconnects_total\{transport="smpp"\} (\d+)$',
                               metrics, re.M)
        self.assertIsNotNone(reconnects, metrics)
        self.assertGreaterEqual(int(reconnects.group(1)), 1)


if __name__ == "__main__":
    unittest.main()
