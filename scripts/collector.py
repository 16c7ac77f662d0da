"""A statistics collector on 127.0.0.1 for the demos: accepts every batch, appends each body to a
file, and prints the port it listens on (chosen by the system) as its first line."""
import http.server
import sys


class Collector(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with open(sys.argv[1], "ab") as record:
            record.write(body + b"\n")
        accepted = b'{"error":0}'
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(accepted)))
        self.end_headers()
        self.wfile.write(accepted)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Collector)
print(server.server_address[1], flush=True)
server.serve_forever()
