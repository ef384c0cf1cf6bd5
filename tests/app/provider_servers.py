"""The servers of the provider lookup tests: a DNS server (dnslib) on port 53 of a loopback
address of its own, and an HTTPS server (a certificate the test made) that serves configuration
files by host name and path.

    provider_servers.py CONFIG.json

CONFIG holds {"records": [zone lines], "dns_delay": {name: seconds},
"cert": file, "key": file, "routes": {"host/path": route}} where a route is
{"status": 200, "body": text, "size": n (a body of n bytes), "chunked": bool,
"trickle": bool (one byte every half second), "location": url}.

Prints one JSON line: {"dns": address, "https": port}, or {"skip": reason} when port 53 cannot
be bound for lack of rights. Requests are appended to CONFIG.log. Stops when its standard input
closes (the test ended) or after two minutes.
"""
import json
import os
import random
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from dnslib import DNSRecord, QTYPE, RCODE, RR

config_path = sys.argv[1]
with open(config_path) as f:
    config = json.load(f)
log_lock = threading.Lock()


def log(line):
    with log_lock, open(config_path + ".log", "a") as f:
        f.write(line + "\n")


# ---- DNS -------------------------------------------------------------------------------------

zone = RR.fromZone("\n".join(config.get("records", [])))
delays = {k.lower().rstrip("."): v for k, v in config.get("dns_delay", {}).items()}


def bind_dns():
    """A free loopback address other than the ones the system uses, port 53."""
    last = None
    for _ in range(40):
        address = "127.%d.%d.%d" % (random.randint(60, 250), random.randint(0, 255), random.randint(2, 250))
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            s.bind((address, 53))
            return s, address
        except PermissionError as e:
            s.close()
            print(json.dumps({"skip": "binding port 53 on a loopback address needs root or "
                                      "CAP_NET_BIND_SERVICE (%s)" % e}), flush=True)
            sys.exit(0)
        except OSError as e:
            s.close()
            last = e
    print(json.dumps({"skip": "no free loopback address for port 53 (%s)" % last}), flush=True)
    sys.exit(0)


def answer(sock, data, peer):
    try:
        q = DNSRecord.parse(data)
    except Exception:
        return
    name = str(q.q.qname).lower().rstrip(".")
    log("dns %s %s" % (QTYPE[q.q.qtype], name))
    if name in delays:
        time.sleep(delays[name])
    r = q.reply()
    for rr in zone:
        if str(rr.rname).lower().rstrip(".") == name and rr.rtype == q.q.qtype:
            r.add_answer(rr)
    if not r.rr:
        known = any(str(rr.rname).lower().rstrip(".") == name for rr in zone)
        r.header.rcode = RCODE.NOERROR if known else RCODE.NXDOMAIN
    try:
        sock.sendto(r.pack(), peer)
    except OSError:
        pass


def serve_dns(sock):
    while True:
        data, peer = sock.recvfrom(4096)
        threading.Thread(target=answer, args=(sock, data, peer), daemon=True).start()


# ---- HTTPS -----------------------------------------------------------------------------------

routes = {k.lower(): v for k, v in config.get("routes", {}).items()}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        host = (self.headers.get("Host") or "").split(":")[0].lower()
        path = self.path.split("?")[0]
        log("https %s %s" % (host, self.path))
        route = routes.get(host + path)
        if route is None:
            body = b"not here"
            self.send_response(404)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        status = route.get("status", 200)
        self.send_response(status)
        if "location" in route:
            self.send_header("Location", route["location"])
        body = route["body"].encode() if "body" in route else b"x" * route.get("size", 0)
        self.send_header("Content-Type", "text/xml")
        if route.get("trickle"):
            # A server that never finishes: one byte every half second.
            self.send_header("Content-Length", "1000")
            self.end_headers()
            for _ in range(240):
                self.wfile.write(b" ")
                self.wfile.flush()
                time.sleep(0.5)
            return
        if route.get("chunked"):
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for i in range(0, len(body), 4096):
                chunk = body[i:i + 4096]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            self.wfile.write(b"0\r\n\r\n")
            return
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def serve_https():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(config["cert"], config["key"])
    server.socket = ctx.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def main():
    dns_sock, dns_address = bind_dns()
    threading.Thread(target=serve_dns, args=(dns_sock,), daemon=True).start()
    port = serve_https() if "cert" in config else 0
    print(json.dumps({"dns": dns_address, "https": port}), flush=True)
    # Ends with the test (its end of our standard input) or after two minutes.
    watcher = threading.Thread(target=lambda: sys.stdin.read(), daemon=True)
    watcher.start()
    watcher.join(120)
    os._exit(0)


main()
