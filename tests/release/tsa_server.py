#!/usr/bin/python3
"""A time-stamping authority on 127.0.0.1 for the release test, so that
osslsigncode's own -ts road is taken as a shipper takes it: RFC 3161
requests over HTTP, answered by `openssl ts -reply` with the throwaway
authority's key.

  tsa_server.py CONFIG SIGNER KEY CHAIN PORT_FILE

writes the port it listens on into PORT_FILE and answers until killed.
"""
import http.server
import subprocess
import sys

config, signer, key, chain, port_file = sys.argv[1:]


class TimeStampHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-config", config,
             "-queryfile", "/dev/stdin", "-signer", signer, "-inkey", key,
             "-chain", chain, "-out", "/dev/stdout"],
            input=query, capture_output=True).stdout
        self.send_response(200 if reply else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *_):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), TimeStampHandler)
with open(port_file, "w") as out:
    out.write(f"{server.server_address[1]}\n")
server.serve_forever()
