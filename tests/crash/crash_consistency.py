#!/usr/bin/env python3
"""Kills `update` with SIGKILL at random moments and checks that no target is
ever anything but its old or its new content, and that a last run converges.

Usage: crash_consistency.py CLIENT [--kills N] [--seed S]

CLIENT is a client built to trust the RFC 8032 test vector 1 key (the test
client of the build tree). The published tree is served on 127.0.0.1 by a small
server of this script that honours "Range: bytes=N-" and "bytes=A-B", so killed
downloads resume and the large files, whose new versions are edits of the old
ones, come by delta from the block indexes that update-catalog writes.
"""
import argparse
import base64
import hashlib
import http.server
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SEED_HEX = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"
PUBLIC_KEY = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo="
PENDING = ".tolvex-pending"


def key_file_text():
    # The key file holds the expanded private key: SHA-512 of the seed, clamped.
    expanded = bytearray(hashlib.sha512(bytes.fromhex(SEED_HEX)).digest())
    expanded[0] &= 248
    expanded[31] = (expanded[31] & 63) | 64
    return '{"public_key":"%s","private_key":"%s"}' % (
        PUBLIC_KEY, base64.b64encode(bytes(expanded)).decode())


def tree(rng):
    """Relative path -> content: sizes from a few bytes to tens of MiB."""
    sizes = [3, 100, 4096, 70000, 300000, 1 << 20, 5 << 20, 20 << 20]
    files = {}
    for index in range(40):
        size = sizes[index % len(sizes)] + rng.randrange(1000)
        files["d%d/f%02d.bin" % (index % 4, index)] = rng.randbytes(size)
    return files


def new_release(rng, old):
    """The new tree: small files replaced, large ones edited (a rewrite and an
    insertion each), and one file added."""
    files = {}
    for path, content in old.items():
        if len(content) < 1 << 20:
            files[path] = rng.randbytes(len(content))
            continue
        edited = bytearray(content)
        at = rng.randrange(len(edited) - 100000)
        edited[at:at + 100000] = rng.randbytes(100000)
        at = rng.randrange(len(edited))
        edited[at:at] = rng.randbytes(rng.randint(1, 300))
        files[path] = bytes(edited)
    files["added/only-new.txt"] = b"only in the new version\n"
    return files


def write_tree(root, files):
    for path, content in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as out:
            out.write(content)


class RangeHandler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        path = self.translate_path(self.path)
        if not os.path.isfile(path):
            self.send_error(404)
            return
        size = os.path.getsize(path)
        start, end = 0, size - 1
        ranged = self.headers.get("Range", "")
        if ranged.startswith("bytes=") and "," not in ranged:
            first, _, last = ranged[6:].partition("-")
            start = int(first)
            end = min(int(last), size - 1) if last else size - 1
            if start >= size:
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % size)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        else:
            self.send_response(200)
        self.send_header("Content-Length", str(end - start + 1))
        self.end_headers()
        try:
            with open(path, "rb") as source:
                source.seek(start)
                remaining = end - start + 1
                while remaining > 0:
                    chunk = source.read(min(remaining, 1 << 20))
                    if not chunk:
                        break
                    self.wfile.write(chunk)
                    remaining -= len(chunk)
        except (BrokenPipeError, ConnectionResetError):
            pass


class QuietServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a killed client resets its connections: expected here


def digest(data):
    return hashlib.sha3_256(data).hexdigest()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("client")
    parser.add_argument("--kills", type=int, default=20)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parser.parse_args()
    client = os.path.abspath(args.client)
    rng = random.Random(args.seed)
    print("seed %d, %d kills" % (args.seed, args.kills))

    work = tempfile.mkdtemp(prefix="tolvex-crash-")
    server = None
    try:
        home, published, client_dir = (os.path.join(work, name)
                                       for name in ("home", "published", "client"))
        for directory in (home, published, client_dir):
            os.makedirs(directory)
        with open(os.path.join(home, ".tolvex-signer-keypair"), "w") as key:
            key.write(key_file_text())
        old = tree(random.Random(1))
        new = new_release(random.Random(2), old)
        write_tree(published, new)
        environment = {"HOME": home, "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        subprocess.run([client, "update-catalog"], cwd=published, env=environment, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        handler = lambda *a, **k: RangeHandler(*a, directory=published, **k)
        server = QuietServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        with open(os.path.join(client_dir, "updater-source.json"), "w") as descriptor:
            descriptor.write('{"public_key":"%s","url":"http://127.0.0.1:%d/"}'
                             % (PUBLIC_KEY, server.server_address[1]))
        allowed = {path: {digest(new[path])} for path in new}
        for path in old:
            allowed[path].add(digest(old[path]))

        def reset_client():
            for entry in os.listdir(client_dir):
                # The run lock stays, as it does in every client directory.
                if entry not in ("updater-source.json", ".tolvex-lock"):
                    shutil.rmtree(os.path.join(client_dir, entry))
            write_tree(client_dir, old)

        def check_targets():
            for path, digests in allowed.items():
                full = os.path.join(client_dir, path)
                if not os.path.exists(full):
                    if path in old:
                        raise SystemExit("FAIL: %s vanished" % path)
                    continue
                with open(full, "rb") as target:
                    if digest(target.read()) not in digests:
                        raise SystemExit("FAIL: %s is neither its old nor its new content" % path)

        # How long an undisturbed run takes bounds the moments to kill at.
        reset_client()
        started = time.monotonic()
        undisturbed = subprocess.run([client, "update", "-v"], cwd=client_dir, env=environment,
                                     check=True, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        full_run = time.monotonic() - started
        deltas = undisturbed.stdout.count("\nDelta: ") + undisturbed.stdout.startswith("Delta: ")
        print("an undisturbed run takes %.2f s, %d files by delta" % (full_run, deltas))
        if deltas == 0:
            raise SystemExit("FAIL: no file came by delta, so no kill can hit one")
        reset_client()

        completed = 0
        for kill in range(args.kills):
            process = subprocess.Popen([client, "update"], cwd=client_dir, env=environment,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0, full_run * 1.1))
            process.send_signal(signal.SIGKILL)
            status = process.wait()
            check_targets()
            if status == 0:
                # It finished first: start over from the old versions.
                completed += 1
                reset_client()
            elif status != -signal.SIGKILL:
                raise SystemExit("FAIL: run %d ended with status %d" % (kill, status))

        final = subprocess.run([client, "update"], cwd=client_dir, env=environment,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if final.returncode != 0:
            raise SystemExit("FAIL: the last run ended with %d: %s" % (final.returncode, final.stderr))
        check_targets()
        for path, content in new.items():
            with open(os.path.join(client_dir, path), "rb") as target:
                if target.read() != content:
                    raise SystemExit("FAIL: %s did not converge" % path)
        leftovers = [os.path.join(root, name) for root, _, names in os.walk(client_dir)
                     for name in names if name.endswith(PENDING)]
        if leftovers:
            raise SystemExit("FAIL: staged files left: %s" % leftovers)
        print("PASS: %d kills (%d runs finished first), every target old or new, then converged"
              % (args.kills, completed))
    finally:
        if server is not None:
            server.shutdown()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
