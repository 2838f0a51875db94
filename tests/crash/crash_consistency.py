#!/usr/bin/env python3
"""Kills `update` with SIGKILL at random moments and checks that no target is
ever anything but its old or its new content, and that a last run converges.
Then kills `update-catalog` as often: the served catalog and signature must
stay a pair that one whole run wrote, and the next run must list and keep
nothing that a killed one left. The catalog is renamed into place first, so a
kill between the two renames leaves the new catalog beside the old signature:
clients refuse that pair, and the next run mends it. Only that state is let
through, counted; any other mix fails.

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
SERVED = ("updater-catalog.sha3", "updater-catalog.sig")


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


def served_pair(root):
    paths = [os.path.join(root, name) for name in SERVED]
    return tuple(open(path, "rb").read() if os.path.exists(path) else None for path in paths)


def publish_under_kills(client, published, environment, rng, kills, current):
    """Switches the tree between `current` and a second version and kills each
    update-catalog that publishes the switch."""
    large = min(path for path, content in current.items() if len(content) >= 1 << 20)
    versions = (current, {path: bytes(reversed(content))
                          if len(content) < 1 << 20 or path == large else content
                          for path, content in current.items()})
    pairs = [served_pair(published)]
    publish = lambda: subprocess.Popen([client, "update-catalog"], cwd=published, env=environment,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def switch(version):
        write_tree(published, {path: content for path, content in versions[version].items()
                               if content != versions[1 - version][path]})

    # One undisturbed publish, with the served pair sampled as a client would
    # fetch it, bounds the moments to kill at.
    switch(1)
    samples, started, process = [], time.monotonic(), publish()
    while process.poll() is None:
        samples.append(served_pair(published))
        time.sleep(0.005)
    duration = time.monotonic() - started
    pairs.append(served_pair(published))
    print("publisher: %d of %d samples during a %.2f s publish were no signed pair"
          % (sum(pair not in pairs for pair in samples), len(samples), duration))

    torn, between, shown = 0, 0, 1
    for _ in range(kills):
        version = 1 - shown
        switch(version)
        process = publish()
        time.sleep(rng.uniform(0, duration * 1.1))
        process.send_signal(signal.SIGKILL)
        status, pair = process.wait(), served_pair(published)
        if pair == pairs[version]:
            shown = version
        elif status != 0 and pair == (pairs[version][0], pairs[shown][1]):
            between += 1
            if publish().wait() != 0 or served_pair(published) != pairs[version]:
                raise SystemExit("FAIL: the run after a kill between the renames left no whole pair")
            shown = version
        elif pair != pairs[shown] or status == 0:
            torn += 1
            for name, content in zip(SERVED, pairs[shown]):
                with open(os.path.join(published, name), "wb") as restored:
                    restored.write(content)
    print("publisher: %d of %d kills left a torn pair, %d fell between the renames"
          % (torn, kills, between))
    if torn:
        raise SystemExit("FAIL: kills of update-catalog left torn pairs")

    # A last run publishes what an undisturbed one does, and leaves nothing but
    # the tree, the pair, the indexes of the large files, and copies, patches,
    # descriptions, the release history and the served catalog's release
    # description and bundle (no temporary file of any).
    if publish().wait() != 0 or served_pair(published) != pairs[version]:
        raise SystemExit("FAIL: the run after the kills published another catalog")
    expected = {path.split("/")[0] for path in current} | set(SERVED) | {".tolvex-index"}
    # The publisher indexes files of 16 KiB and more.
    indexes = {digest(content) for content in versions[version].values() if len(content) >= 16 << 10}
    folder = set(os.listdir(os.path.join(published, ".tolvex-index")))
    catalog = digest(pairs[version][0])
    release = {catalog + ".release.zst", catalog + ".patches"}
    others = {name for name in folder if len(name) != 64} - release
    if (set(os.listdir(published)) != expected or folder - others != indexes | release
            or any(".tmp." in name for name in others)
            or not all(name == "releases" or name.endswith((".zst", ".desc")) for name in others)
            or any(name.endswith((".release.zst", ".patches")) for name in others)):
        raise SystemExit("FAIL: update-catalog left files that are not the tree's")


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
            try:
                # A run that ends before its moment is not waited out: resumed
                # runs have less to do and often do.
                status = process.wait(timeout=rng.uniform(0, full_run * 1.1))
            except subprocess.TimeoutExpired:
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
        print("%d kills of update (%d runs finished first), every target old or new, then "
              "converged" % (args.kills, completed))

        publish_under_kills(client, published, environment, rng, args.kills, new)
        print("PASS: every kill left every target old or new and the served pair whole or mended by the next run")
    finally:
        if server is not None:
            server.shutdown()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
