#!/usr/bin/python3
"""End-to-end tests of vardek-agent, driven by an independent SSH client
library (asyncssh) and raw agent-protocol sockets, on throwaway SoftHSM2
tokens.

    agent_test.py BUILD_DIR SOURCE_DIR CASE

Exit status 0 on success, 77 when the case cannot run here, 1 on failure.
"""
import asyncio
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import warnings

warnings.simplefilter("ignore")
import asyncssh  # noqa: E402

SKIP = 77
# Long, so that a copy left in freed memory keeps its tail past the
# allocator's own bookkeeping, where the memory check finds it.
PIN = "agent-test-pin-0123456789-abcdefghij"
LOCK = "agent-test-lock-9876543210-zyxwvuts"

BUILD, SOURCE, CASE = sys.argv[1], sys.argv[2], sys.argv[3]
AGENT = os.path.join(BUILD, "vardek-agent")
MKTOKEN = os.path.join(SOURCE, "tools", "mktoken.sh")

FAILURE = b"\x00\x00\x00\x01\x05"
SUCCESS = b"\x00\x00\x00\x01\x06"


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def ssh_string(b):
    return struct.pack(">I", len(b)) + b


def frame(payload):
    return struct.pack(">I", len(payload)) + payload


def read_strings(b):
    out = []
    while b:
        (n,) = struct.unpack(">I", b[:4])
        out.append(b[4 : 4 + n])
        b = b[4 + n :]
    return out


class Token:
    """A SoftHSM2 token with keys LABEL -> TYPE made by tools/mktoken.sh."""

    def __init__(self, work, keys):
        self.dir = os.path.join(work, "token")
        args = [MKTOKEN, "--pin", PIN, "--token", "agent-test"]
        for i, (label, kind) in enumerate(keys.items(), 1):
            args += ["--key", f"{kind}:{label}:{i:02x}"]
        out = subprocess.run(args + [self.dir], capture_output=True, text=True)
        check(out.returncode == 0, "mktoken failed: " + out.stderr)
        env = dict(line.split("=", 1) for line in out.stdout.split())
        self.module = env["MODULE"]
        os.environ["SOFTHSM2_CONF"] = env["SOFTHSM2_CONF"]
        # The SSH public key of each label, from the key files mktoken wrote.
        self.keys = {}
        for label in keys:
            with open(os.path.join(self.dir, label + ".pub.pem"), "rb") as f:
                self.keys[label] = asyncssh.import_public_key(f.read())


class Agent:
    """vardek-agent -D -v on SOCK, its log in a file."""

    def __init__(self, work, sock=None, args=()):
        self.sock = sock or os.path.join(work, "agent.sock")
        self.logpath = os.path.join(work, "agent.log")
        self.log = open(self.logpath, "wb")
        self.proc = subprocess.Popen([AGENT, "-D", "-v", "-a", self.sock, *args],
                                     stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=self.log)
        self.wait_log(r"listening on ")

    def log_text(self):
        with open(self.logpath, errors="replace") as f:
            return f.read()

    def wait_log(self, pattern, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            m = re.search(pattern, self.log_text())
            if m:
                return m
            check(self.proc.poll() is None, "agent exited:\n" + self.log_text())
            time.sleep(0.02)
        raise AssertionError(f"no log line /{pattern}/ in:\n" + self.log_text())

    def vardek_pids(self):
        return re.findall(r"started vardek \(pid (\d+)\)", self.log_text())

    def stop(self):
        """SIGTERM: the agent must exit 0 (no sanitizer report) and remove its socket."""
        self.proc.send_signal(signal.SIGTERM)
        rc = self.proc.wait(30)
        check(rc == 0, f"agent exit status {rc}:\n" + self.log_text())
        check(not os.path.exists(self.sock), "socket left behind")


class Raw:
    """A bare agent-protocol connection, for byte-exact answers."""

    def __init__(self, path):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.s.settimeout(20)
        self.s.connect(path)

    def send(self, data):
        self.s.sendall(data)

    def recv(self):
        """One whole reply frame, or None at end of stream."""
        head = self._exact(4)
        if head is None:
            return None
        (n,) = struct.unpack(">I", head)
        body = self._exact(n)
        check(body is not None, "stream ended inside a reply")
        return head + body

    def _exact(self, n):
        b = b""
        while len(b) < n:
            try:
                got = self.s.recv(n - len(b))
            except ConnectionResetError:  # closed with our bytes unread
                got = b""
            if not got:
                return None if not b else b
            b += got
        return b

    def call(self, payload):
        self.send(frame(payload))
        return self.recv()

    def close(self):
        self.s.close()


def secret_in_memory(pid, secret):
    """True when `secret` is anywhere in the writable memory of process pid
    (regions of up to 64 MiB: heap, stacks, the allocator's arenas)."""
    found = False
    with open(f"/proc/{pid}/maps") as maps, open(f"/proc/{pid}/mem", "rb", 0) as mem:
        for line in maps:
            fields = line.split()
            start, end = (int(x, 16) for x in fields[0].split("-"))
            if not fields[1].startswith("rw") or end - start > 64 << 20:
                continue
            try:
                mem.seek(start)
                found = found or secret in mem.read(end - start)
            except OSError:
                pass
    return found


def identities_answer(reply):
    """[(blob, label)] of an identities answer frame, checked byte by byte."""
    check(reply[4] == 12, f"not an identities answer: {reply!r}")
    (count,) = struct.unpack(">I", reply[5:9])
    fields = read_strings(reply[9:])
    check(len(fields) == 2 * count, "count and entries disagree")
    return list(zip(fields[::2], fields[1::2]))


def add_request(module, pin):
    return bytes([20]) + ssh_string(module.encode()) + ssh_string(pin.encode())


def sign_request(blob, data, flags):
    return bytes([13]) + ssh_string(blob) + ssh_string(data) + struct.pack(">I", flags)


def verify_signature(key, data, reply, want_alg):
    """reply is a sign response frame; its SSH signature must carry
    want_alg and verify with key."""
    check(reply[4] == 14, f"sign answered {reply!r}")
    (sig,) = read_strings(reply[5:])
    alg = read_strings(sig)[0]
    check(alg == want_alg, f"signature algorithm {alg!r}, want {want_alg!r}")
    check(key.verify(data, sig), f"{want_alg.decode()} signature does not verify")


# The cases ----------------------------------------------------------------

ALL_KEYS = {"rsa": "rsa2048", "p256": "ec256", "p384": "ec384", "p521": "ec521"}
# flags and the algorithm each gives, per key
SIGN_TABLE = [
    ("rsa", 0, b"ssh-rsa"),
    ("rsa", 2, b"rsa-sha2-256"),
    ("rsa", 4, b"rsa-sha2-512"),
    ("rsa", 6, b"rsa-sha2-256"),
    ("p256", 0, b"ecdsa-sha2-nistp256"),
    ("p384", 4, b"ecdsa-sha2-nistp384"),
    ("p521", 0, b"ecdsa-sha2-nistp521"),
]


async def case_keys(work):
    """Add, list, sign with every key type, remove, remove all, lock and
    unlock, through asyncssh and raw frames."""
    tok = Token(work, ALL_KEYS)
    agent = Agent(work)
    client = await asyncssh.connect_agent(agent.sock)
    raw = Raw(agent.sock)
    blob = {label: k.public_data for label, k in tok.keys.items()}

    check(raw.call(add_request(tok.module, "9999")) == FAILURE, "wrong PIN accepted")
    check(raw.call(bytes([11])) == b"\x00\x00\x00\x05\x0c\x00\x00\x00\x00", "keys without add")
    await client.add_smartcard_keys(tok.module, PIN)
    check(not secret_in_memory(agent.proc.pid, PIN[-16:].encode()), "the PIN is kept in memory")
    ids = identities_answer(raw.call(bytes([11])))
    check(sorted(ids) == sorted((blob[l], l.encode()) for l in ALL_KEYS), f"identities {ids}")

    data = os.urandom(200)
    for label, flags, alg in SIGN_TABLE:
        verify_signature(tok.keys[label], data, raw.call(sign_request(blob[label], data, flags)), alg)
    # asyncssh's own sign path, with the algorithms it negotiates
    for k in await client.get_keys():
        for alg in k.sig_algorithms:
            k.set_sig_algorithm(alg)
            sig = await k.sign_async(data)
            check(tok.keys[k.get_comment()].verify(data, sig), f"asyncssh {alg} sign")

    other = asyncssh.generate_private_key("ecdsa-sha2-nistp256").public_data
    refused = [
        sign_request(other, data, 0),  # a key the agent does not have
        bytes([17]) + ssh_string(b"ssh-ed25519"),  # add a plain key
        bytes([26]) + add_request(tok.module, PIN)[1:] + b"\x01\x00\x00\x00\x3c",  # constrained
        bytes([27]) + ssh_string(b"query"),  # extension
        bytes([99]),
    ]
    for req in refused:
        check(raw.call(req) == FAILURE, f"request {req[:1].hex()} not refused")

    # lock: no keys, no signatures, no adds; a wrong password keeps it locked
    await client.lock(LOCK)
    check(not secret_in_memory(agent.proc.pid, LOCK[-16:].encode()), "the lock password is kept")
    check(raw.call(bytes([22]) + ssh_string(b"again")) == FAILURE, "locked twice")
    check(identities_answer(raw.call(bytes([11]))) == [], "keys shown while locked")
    check(raw.call(sign_request(blob["p256"], data, 0)) == FAILURE, "signed while locked")
    check(raw.call(add_request(tok.module, PIN)) == FAILURE, "added while locked")
    check(raw.call(bytes([23]) + ssh_string(b"wrong")) == FAILURE, "wrong password unlocked")
    check(identities_answer(raw.call(bytes([11]))) == [], "unlocked by a wrong password")
    await client.unlock(LOCK)
    check(raw.call(bytes([23]) + ssh_string(LOCK.encode())) == FAILURE, "unlocked twice")
    verify_signature(tok.keys["p384"], data, raw.call(sign_request(blob["p384"], data, 0)),
                     b"ecdsa-sha2-nistp384")

    # remove: its keys go and no longer sign; remove of an unknown provider fails
    await client.remove_smartcard_keys(tok.module)
    check(identities_answer(raw.call(bytes([11]))) == [], "keys left after remove")
    check(raw.call(sign_request(blob["rsa"], data, 2)) == FAILURE, "removed key signed")
    check(raw.call(bytes([21]) + ssh_string(b"/no/such.so") + ssh_string(b"")) == FAILURE,
          "remove of an unknown provider")
    # remove all, with the provider added again under a second name
    await client.add_smartcard_keys(tok.module, PIN)
    await client.add_smartcard_keys("pkcs11:?module-path=" + tok.module, PIN)
    check(len(identities_answer(raw.call(bytes([11])))) == 8, "two providers, eight keys")
    await client.remove_all()
    check(identities_answer(raw.call(bytes([11]))) == [], "keys left after remove all")
    check(raw.call(bytes([19])) == SUCCESS, "remove all with nothing to remove")
    check(LOCK not in agent.log_text() and PIN not in agent.log_text(), "secret in the log")
    client.close()
    raw.close()
    agent.stop()


class Shell(asyncssh.SSHServer):
    pass


async def case_login(work):
    """Real SSH logins on a loopback server that knows only the token key,
    the client signing through the agent."""
    tok = Token(work, {"rsa": "rsa2048", "p256": "ec256", "p384": "ec384"})
    agent = Agent(work)
    client = await asyncssh.connect_agent(agent.sock)
    await client.add_smartcard_keys(tok.module, PIN)
    agent_keys = {k.get_comment(): k for k in await client.get_keys()}

    def shell(process):
        process.stdout.write(f"hello {process.get_extra_info('username')}: {process.command}\n")
        process.exit(0)

    logins = [("rsa", "rsa-sha2-256"), ("rsa", "rsa-sha2-512"),
              ("p256", "ecdsa-sha2-nistp256"), ("p384", "ecdsa-sha2-nistp384")]
    for label, alg in logins:
        authorized = asyncssh.import_authorized_keys(
            tok.keys[label].export_public_key().decode())
        # The server takes this one algorithm only, so a login proves it.
        server = await asyncssh.listen("127.0.0.1", 0, server_host_keys=[
            asyncssh.generate_private_key("ssh-ed25519")], authorized_client_keys=authorized,
            signature_algs=[alg], process_factory=shell, server_factory=Shell)
        port = server.sockets[0].getsockname()[1]
        async with asyncssh.connect("127.0.0.1", port, username="tester", known_hosts=None,
                                    agent_path=None, client_keys=[agent_keys[label]],
                                    signature_algs=[alg], preferred_auth="publickey") as conn:
            result = await conn.run("echo " + alg, check=True)
            check(result.stdout == f"hello tester: echo {alg}\n", f"output {result.stdout!r}")
        server.close()
        await server.wait_closed()
    client.close()
    agent.stop()


async def case_two_clients(work):
    """Two clients signing at the same time each get their own answers."""
    tok = Token(work, {"rsa": "rsa2048", "p256": "ec256"})
    agent = Agent(work)
    a = await asyncssh.connect_agent(agent.sock)
    b = await asyncssh.connect_agent(agent.sock)
    await a.add_smartcard_keys(tok.module, PIN)

    async def signer(client, label, n):
        (key,) = [k for k in await client.get_keys() if k.get_comment() == label]
        for i in range(n):
            data = f"{label} message {i}".encode()
            check(tok.keys[label].verify(data, await key.sign_async(data)), f"{label} #{i}")

    await asyncio.gather(signer(a, "rsa", 20), signer(b, "p256", 20))
    a.close()
    b.close()
    agent.stop()


def case_other_uid(work):
    """A client of another uid (nobody) is refused by the peer check, and the
    agent's own user is still served."""
    if os.getuid() != 0:
        print("needs root to connect as nobody; skipping")
        return SKIP
    # Let nobody reach the socket: the refusal must come from the uid check.
    os.chmod(work, 0o711)
    agent = Agent(work)
    os.chmod(agent.sock, 0o666)
    pid = os.fork()
    if pid == 0:
        try:
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
            r = Raw(agent.sock)
            try:
                r.send(frame(bytes([11])))
            except (BrokenPipeError, ConnectionResetError):
                pass  # already closed
            os._exit(0 if r.recv() is None else 3)
        except BaseException as e:  # noqa: B902
            print(f"nobody's client: {e!r}", file=sys.stderr)
            os._exit(2)
    _, status = os.waitpid(pid, 0)
    check(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0,
          f"nobody's connection was not closed without an answer (status {status})")
    agent.wait_log(r"refused a connection from uid 65534 \(pid \d+\): not the agent's user")
    check(Raw(agent.sock).call(bytes([11])) == b"\x00\x00\x00\x05\x0c\x00\x00\x00\x00",
          "the agent's user is not served")
    agent.stop()


async def case_malformed(work):
    """Each malformed message closes its own connection only."""
    tok = Token(work, {"p256": "ec256"})
    agent = Agent(work)
    good = Raw(agent.sock)
    check(good.call(add_request(tok.module, PIN)) == SUCCESS, "add")
    listing = good.call(bytes([11]))
    blob = identities_answer(listing)[0][0]
    bad = [
        frame(b""),                                           # empty message
        struct.pack(">I", 256 * 1024 + 1),                    # over the length limit
        frame(bytes([13]) + ssh_string(blob)[:-3]),          # string runs past the end
        frame(sign_request(blob, b"x", 0)[:-1]),             # flags cut short
        frame(sign_request(blob, b"x", 0) + b"\x00"),        # trailing byte
        frame(bytes([20]) + ssh_string(tok.module.encode())),  # add without a PIN
        frame(bytes([11, 0])),                                # list with a body
        frame(bytes([22])),                                   # lock without a password
    ]
    for i, msg in enumerate(bad):
        r = Raw(agent.sock)
        r.send(msg)
        check(r.recv() is None, f"malformed message {i} answered")
        r.close()
        check(good.call(bytes([11])) == listing, f"the other connection after message {i}")
    check(agent.log_text().count("closing connection") == len(bad), "closes not logged")
    data = b"still signing"
    verify_signature(tok.keys["p256"], data, good.call(sign_request(blob, data, 0)),
                     b"ecdsa-sha2-nistp256")
    good.close()
    agent.stop()


def case_stalled(work):
    """A client stalled inside a message does not hold up another, and is
    served once it finishes."""
    tok = Token(work, {"p256": "ec256"})
    agent = Agent(work)
    stalled, other = Raw(agent.sock), Raw(agent.sock)
    msg = frame(add_request(tok.module, PIN))
    stalled.send(msg[:7])
    check(other.call(add_request(tok.module, PIN)) == SUCCESS, "add behind a stalled client")
    blob = identities_answer(other.call(bytes([11])))[0][0]
    data = b"not blocked"
    verify_signature(tok.keys["p256"], data, other.call(sign_request(blob, data, 0)),
                     b"ecdsa-sha2-nistp256")
    stalled.send(msg[7:])
    check(stalled.recv() in (SUCCESS, FAILURE), "the stalled client is not answered")
    check(identities_answer(stalled.call(bytes([11])))[0][0] == blob, "keys after both adds")
    agent.stop()


def case_vardek_killed(work):
    """vardek killed while idle and while signing: logged, its keys dropped,
    the request in flight failed, and a new vardek serves the next add."""
    tok = Token(work, {"p256": "ec256"})
    agent = Agent(work)
    c = Raw(agent.sock)
    check(c.call(add_request(tok.module, PIN)) == SUCCESS, "add")
    blob = identities_answer(c.call(bytes([11])))[0][0]
    (first,) = agent.vardek_pids()
    os.kill(int(first), signal.SIGKILL)
    agent.wait_log(rf"vardek \(pid {first}\) was killed by signal 9")
    agent.wait_log(r"provider .* is gone with vardek")
    check(identities_answer(c.call(bytes([11]))) == [], "keys of a dead vardek listed")
    check(c.call(sign_request(blob, b"x", 0)) == FAILURE, "a dead vardek's key signed")

    check(c.call(add_request(tok.module, PIN)) == SUCCESS, "add after the restart")
    second = agent.vardek_pids()[-1]
    check(second != first, "no new vardek")
    # killed with a request in flight: that request fails
    os.kill(int(second), signal.SIGSTOP)
    c.send(frame(sign_request(blob, b"in flight", 0)))
    time.sleep(0.2)
    os.kill(int(second), signal.SIGKILL)
    check(c.recv() == FAILURE, "the request in flight did not fail")
    check(identities_answer(c.call(bytes([11]))) == [], "keys after the second death")
    check(c.call(add_request(tok.module, PIN)) == SUCCESS, "add after the second restart")
    data = b"back again"
    verify_signature(tok.keys["p256"], data, c.call(sign_request(blob, data, 0)),
                     b"ecdsa-sha2-nistp256")
    check(len(agent.vardek_pids()) == 3, "vardek started other than three times")
    agent.stop()


def case_detach(work):
    """Without -D: a private socket under XDG_RUNTIME_DIR, the shell lines,
    and a clean stop."""
    env = dict(os.environ, XDG_RUNTIME_DIR=work)
    out = subprocess.run([AGENT], env=env, capture_output=True, text=True, timeout=20)
    check(out.returncode == 0, "agent failed: " + out.stderr)
    m = re.fullmatch(r"SSH_AUTH_SOCK=(\S+); export SSH_AUTH_SOCK;\n"
                     r"SSH_AGENT_PID=(\d+); export SSH_AGENT_PID;\n"
                     r"echo Agent pid \2;\n", out.stdout)
    check(m, "shell lines: " + out.stdout)
    sock, pid = m.group(1), int(m.group(2))
    sockdir = os.path.dirname(sock)
    check(os.path.dirname(sockdir) == work, f"socket {sock} not under XDG_RUNTIME_DIR")
    check(os.stat(sockdir).st_mode & 0o777 == 0o700, "directory mode")
    check(os.stat(sock).st_mode & 0o777 == 0o600, "socket mode")
    check(Raw(sock).call(bytes([11])) == b"\x00\x00\x00\x05\x0c\x00\x00\x00\x00", "not served")
    os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + 20
    while os.path.exists(sockdir) and time.monotonic() < deadline:
        time.sleep(0.05)
    check(not os.path.exists(sockdir), "socket directory left behind")


def main():
    case = globals().get("case_" + CASE)
    if case is None:
        print(f"no case {CASE}", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory(prefix="vardek-agent-test-") as work:
        result = case(work)
        if asyncio.iscoroutine(result):
            result = asyncio.run(result)
    if result == SKIP:
        return SKIP
    print(f"{CASE}: OK")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except AssertionError as e:
        print(f"{CASE}: FAILED: {e}", file=sys.stderr)
        sys.exit(1)
