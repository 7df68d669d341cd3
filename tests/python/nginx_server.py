"""Debian's nginx on a loopback port, serving files from a temporary folder,
with an access log that records each request's Range header, status and body
bytes. Used by the remote-reading tests and benchmark."""

import os
import shutil
import socket
import subprocess
import tempfile
import time

NGINX = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class NginxServer:
    """Start with `with NginxServer() as srv:`; `srv.publish(name, data)`
    returns the URL, `srv.log_lines()` the access log split into fields:
    method, uri, "range", status, body bytes."""

    def __init__(self):
        if NGINX is None:
            raise FileNotFoundError("nginx is not installed")
        self.root = tempfile.mkdtemp(prefix="zarv-nginx-", dir="/tmp")
        os.chmod(self.root, 0o755)  # the worker runs as an unprivileged user
        self.www = os.path.join(self.root, "www")
        os.mkdir(self.www)
        os.chmod(self.www, 0o755)
        self.port = _free_port()
        self.base = f"http://127.0.0.1:{self.port}"
        self.log = os.path.join(self.root, "access.log")
        self.proc = None

    def _config(self):
        r = self.root
        user = "user nobody nogroup;" if os.geteuid() == 0 else ""
        return f"""
{user}
worker_processes 1;
daemon off;
pid {r}/nginx.pid;
error_log {r}/error.log;
events {{ worker_connections 64; }}
http {{
    log_format counts '$request_method $uri "$http_range" $status $body_bytes_sent';
    access_log {self.log} counts;
    client_body_temp_path {r}/body;
    proxy_temp_path {r}/proxy;
    fastcgi_temp_path {r}/fastcgi;
    uwsgi_temp_path {r}/uwsgi;
    scgi_temp_path {r}/scgi;
    server {{
        listen 127.0.0.1:{self.port};
        root {self.www};
        location /norange/ {{ max_ranges 0; }}
    }}
}}
"""

    def __enter__(self):
        conf = os.path.join(self.root, "nginx.conf")
        with open(conf, "w") as f:
            f.write(self._config())
        self.proc = subprocess.Popen([NGINX, "-p", self.root, "-c", conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        deadline = time.time() + 10
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    return self
            except OSError:
                if self.proc.poll() is not None or time.time() > deadline:
                    err = self.proc.stderr.read().decode(errors="replace") if self.proc.poll() is not None else ""
                    self.__exit__(None, None, None)
                    raise RuntimeError(f"nginx did not start: {err}")
                time.sleep(0.05)

    def __exit__(self, *exc):
        if self.proc is not None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)
        return False

    def publish(self, name, data=None, path=None):
        """Serve `data` (or a link to the file at `path`) as `name`."""
        dest = os.path.join(self.www, name)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        os.chmod(os.path.dirname(dest), 0o755)
        if path is not None:
            shutil.copyfile(path, dest)
        else:
            with open(dest, "wb") as f:
                f.write(data)
        os.chmod(dest, 0o644)
        return f"{self.base}/{name}"

    def log_lines(self):
        time.sleep(0.05)  # nginx writes the line after the response
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [line.split() for line in f.read().splitlines()]
