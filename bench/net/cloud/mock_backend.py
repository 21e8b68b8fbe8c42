#!/usr/bin/env python3
"""The cloud back end for the transfer benchmarks: answers the claim, upload and completion calls
(discarding upload bodies as they stream in), the signed-URL call, and serves /files/<bytes>
(that many bytes, generated in 1 MiB chunks). Binds 127.0.0.1 on an ephemeral port and prints it."""
import json
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = b"q" * (1 << 20)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def drain(self):
        """Reads the body; keeps it only when small (the JSON calls)."""
        left = int(self.headers.get("Content-Length", "0"))
        kept = b""
        while left > 0:
            got = self.rfile.read(min(left, 1 << 20))
            if not got:
                break
            if len(kept) < 65536:
                kept += got
            left -= len(got)
        return kept

    def answer(self, status, body, content_type="application/json"):
        data = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    def do_POST(self):
        body = self.drain()
        if self.path.endswith("/rpc/claim_audio_file"):
            self.answer(200, json.dumps({"id": "srv-1", "upload_status": "pending"}))
        elif self.path.endswith("-download-url"):
            host, port = self.server.server_address
            size = json.loads(body or b"{}").get("audioFileId", "0")
            self.answer(200, json.dumps({"signedUrl": "http://%s:%d/files/%s" % (host, port, size)}))
        else:
            self.answer(200, "{}")

    def do_GET(self):
        if not self.path.startswith("/files/"):
            self.answer(404, "{}")
            return
        size = int(self.path[len("/files/"):])
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(size))
        self.send_header("Connection", "close")
        self.end_headers()
        left = size
        while left > 0:
            n = min(left, len(CHUNK))
            self.wfile.write(CHUNK[:n])
            left -= n


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
