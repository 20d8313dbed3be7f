"""A scripted SMTP server for the delivery tests.

It listens on 127.0.0.1 on a port the system picks, takes connections one
after another, and answers each step of the dialogue as the test says:

    server = ScriptedSmtpServer(pipelining=True, rcpt=["250 ok", "550 5.1.1 no"])
    server.start()
    ...                       # run the program with "smtp 127.0.0.1:<port>"
    server.stop()

Steps: "greeting", "EHLO", "HELO", "MAIL", "RCPT", "DATA", "message" (the
first bytes of the message data after a 354), "end" (the reply to the
end-of-data line "."), "QUIT", and "other" for any other command. What a
step gets is an action:

    "250 ok"                  a reply; CR LF is added to every line that lacks it
    Reply(text, pieces=[...], pause=0.1, delay=0.5)
                              the same split into pieces sent in separate writes
                              with a pause between them, after a delay
    CLOSE                     the server closes the connection
    STALL                     the server falls silent and stops reading, but
                              keeps the connection open until stop()

"RCPT" may also take a list: one action per recipient in order (the last
one repeats). `delay` holds back every reply given as a text by that many
seconds, and `trickle` sends every such reply a byte at a time with that
many seconds between the bytes: a slow server, each reply within any one
time limit, all of them together well past it. Steps are given by their lower-case keyword (ehlo="...") or
by their own name (**{"EHLO": ...}). `receive_buffer` makes the server's
socket receive buffer that small, so that a server that stops reading
soon blocks the client's writes. Every byte received is recorded with its arrival time, and
every reply with the time it went out, so that tests can tell whether the
client waited for a reply before writing.

TLS and authentication (Python's ssl module, server side):

    ScriptedSmtpServer(tls=certificates.server, auth=("PLAIN", "LOGIN"))

`tls` (a pair with .cert and .key files) makes EHLO announce STARTTLS until
the session is secure; "STARTTLS" is then a step (default "220 2.0.0 Ready
to start TLS"): a 220 reply (its first line) starts the handshake right after it, any other
keeps the session in clear. Everything in the 220 action goes out in one
write before the handshake, so bytes after its line end are what an
attacker in the middle would inject (RFC 3207 5). "handshake" is a step
too: STALL answers nothing once the client has started it. With
`implicit=True` the handshake comes first and the greeting after it (RFC
8314). `auth` lists the mechanisms EHLO announces once the session is
secure (or always, with `auth_in_clear=True`); "AUTH" is the step that
answers the credentials (default "235 2.7.0 Authentication successful"),
after the 334 challenges of LOGIN and of PLAIN without an initial response.
The decoded exchanges are kept in `auth_exchanges` ((mechanism, [decoded
lines])), the command lines received over TLS in `secure_commands`, the
plain bytes of each TLS record in `secure_records`, and the handshake's
failures in `tls_errors`.
"""

import base64
import select
import socket
import ssl
import threading
import time


class _Token:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


CLOSE = _Token("CLOSE")
STALL = _Token("STALL")


class Reply:
    """A reply sent in `pieces` (texts, or byte offsets into `text`) with
    `pause` seconds between them, after `delay` seconds."""

    def __init__(self, text, pieces=None, pause=0.15, delay=0.0):
        self.text = _wire(text)
        self.pause = pause
        self.delay = delay
        if pieces is None:
            self.pieces = [self.text]
        elif all(isinstance(p, int) for p in pieces):
            cuts = [0] + list(pieces) + [len(self.text)]
            self.pieces = [self.text[a:b] for a, b in zip(cuts, cuts[1:]) if b > a]
        else:
            self.pieces = [_wire(p) if isinstance(p, str) else p for p in pieces]

    def __repr__(self):
        return "Reply(%r)" % self.text


def _wire(text):
    """Reply text as bytes, every line ended by CR LF (a text that already
    holds its own line ends, bare or not, is sent as it stands)."""
    if isinstance(text, bytes):
        return text
    if "\n" in text:
        return text.encode("latin-1")
    return (text + "\r\n").encode("latin-1")


def _code(action, line=-1):
    """The code of the last line (or the given one) of an action's reply
    (None for no reply)."""
    if isinstance(action, Reply):
        text = action.text
    elif isinstance(action, (str, bytes)):
        text = _wire(action)
    else:
        return None
    lines = text.rstrip(b"\r\n").split(b"\n")
    return lines[line][:3]


DEFAULT_HOST = "script.test"
LOGIN_CHALLENGES = ("334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6")  # "Username:", "Password:"


class ScriptedSmtpServer:
    def __init__(self, greeting="220 %s ESMTP scripted" % DEFAULT_HOST, pipelining=False, ehlo=None,
                 helo="250 %s" % DEFAULT_HOST, mail="250 2.1.0 Ok", rcpt="250 2.1.5 Ok",
                 data="354 End data with <CR><LF>.<CR><LF>", message=None, end="250 2.0.0 Ok: queued as 4711",
                 quit="221 2.0.0 Bye", other="502 5.5.2 Error: command not recognized", receive_buffer=None,
                 delay=0.0, trickle=None, tls=None, implicit=False, auth=(), auth_in_clear=False,
                 starttls="220 2.0.0 Ready to start TLS", handshake=None,
                 auth_reply="235 2.7.0 Authentication successful", **steps):
        self.pipelining = pipelining
        self.tls = tls
        self.implicit = implicit
        self.auth = tuple(auth)
        self.auth_in_clear = auth_in_clear
        self.actions = {"greeting": greeting, "EHLO": ehlo, "HELO": helo, "MAIL": mail, "RCPT": rcpt,
                        "DATA": data, "message": message, "end": end, "QUIT": quit, "other": other,
                        "STARTTLS": starttls, "handshake": handshake, "AUTH": auth_reply}
        for step, action in steps.items():
            if step not in self.actions:
                raise TypeError("no step %r" % step)
            self.actions[step] = action
        self.receive_buffer = receive_buffer
        self.delay = delay
        self.trickle = trickle
        self.listener = None
        self.port = None
        self.thread = None
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.connections = []      # the open server sockets, closed by stop()
        self.received = []         # (arrival time, bytes) of every read
        self.sent = []             # (time, step, bytes) of every write
        self.commands = []         # (arrival time, command line without CR LF)
        self.messages = []         # the message data of each DATA, as on the wire
        self.closed_by_client = []  # arrival times of the client's end of the connection
        self.sessions = 0
        self.secure_commands = []  # command lines (and AUTH lines) that came over TLS
        self.secure_records = []   # the plain bytes of each TLS record received
        self.auth_exchanges = []   # (mechanism, [each client line decoded from base64])
        self.tls_errors = []       # why a handshake failed, as Python's ssl module says
        self.context = None
        if tls is not None:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(tls.cert, tls.key)

    # ---- running ----

    def start(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if self.receive_buffer is not None:
            # Set before listen, so accepted connections inherit it and the
            # kernel does not grow it.
            self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.receive_buffer)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        self.stopping.set()
        if self.thread is not None:
            self.thread.join(10)
        with self.lock:
            for connection in self.connections:
                _close(connection)
            self.connections = []
        if self.listener is not None:
            _close(self.listener)
            self.listener = None

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def _serve(self):
        while not self.stopping.is_set():
            ready, _, _ = select.select([self.listener], [], [], 0.05)
            if not ready:
                continue
            connection, _ = self.listener.accept()
            with self.lock:
                self.connections.append(connection)
                self.sessions += 1
            self._session(connection)

    # ---- one connection ----

    def _ehlo_reply(self, link):
        """The default EHLO reply: what the session offers as it stands."""
        lines = ["250-" + DEFAULT_HOST, "250-SIZE 10240000"]
        if self.pipelining:
            lines.append("250-PIPELINING")
        if self.tls is not None and not link.secure:
            lines.append("250-STARTTLS")
        if self.auth and (link.secure or self.auth_in_clear):
            lines.append("250-AUTH " + " ".join(self.auth))
        lines.append("250 8BITMIME")
        return "".join(line + "\r\n" for line in lines)

    def _session(self, connection):
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        link = _Link(self, connection)
        outbox = _Sender(self, link)
        state = {"silent": False, "reading": True, "over": False, "recipients": 0, "auth": None}

        def act(step):
            """Carries out the step's action; False when the session is over."""
            action = self.actions[step]
            if step == "EHLO" and action is None:
                action = self._ehlo_reply(link)
            if step == "RCPT" and isinstance(action, list):
                action = action[min(state["recipients"], len(action) - 1)]
            if action is None:
                return True
            if action is STALL:
                state["silent"] = True
                return True
            if action is CLOSE:
                state["silent"] = True
                outbox.put(step, CLOSE)
                return False
            if step == "STARTTLS":
                # In clear, in one write, whatever follows it (see start_tls).
                outbox.put(step, _Raw(action.text if isinstance(action, Reply) else _wire(action)))
                return True
            outbox.put(step, action if isinstance(action, Reply) else self._paced(action))
            return True

        def start_tls():
            """From here on the bytes in both directions are TLS records;
            the client's next bytes start the handshake."""
            link.start(self.context)
            if self.actions["handshake"] is STALL:
                state["silent"] = True

        def handshake_done():
            """After a completed handshake (an implicit TLS session's first)."""
            if self.implicit and not act("greeting"):
                state["over"] = True

        pending = b""
        data = None  # the message data while in DATA, else None
        if self.implicit:
            start_tls()
        elif not act("greeting"):
            state["over"] = True
        while not state["over"] and not self.stopping.is_set():
            if not state["reading"]:
                self.stopping.wait(0.05)
                continue
            ready, _, _ = select.select([connection], [], [], 0.05)
            if not ready:
                continue
            try:
                raw = connection.recv(65536)
            except OSError:
                raw = b""
            now = time.monotonic()
            if not raw:
                with self.lock:
                    self.closed_by_client.append(now)
                break
            if state["silent"]:
                with self.lock:
                    self.received.append((now, raw))
                continue
            was_secure = link.secure
            chunk, closed, failure = link.receive(raw, outbox)
            if failure is not None:
                with self.lock:
                    self.tls_errors.append(failure)
                break
            if link.secure and not was_secure:
                handshake_done()
            if chunk:
                with self.lock:
                    self.received.append((now, chunk))
            if closed:
                break
            pending += chunk
            while pending and not state["silent"]:
                if data is not None:
                    if not data and self.actions["message"] is not None:
                        # The first bytes of the message are a step of their own.
                        if not act("message"):
                            state["over"] = True
                            break
                        if self.actions["message"] is STALL:
                            state["reading"] = False
                            break
                    data += pending
                    pending = b""
                    if data.startswith(b".\r\n"):
                        message, pending = b"", bytes(data[3:])
                    else:
                        end = data.find(b"\r\n.\r\n")
                        if end < 0:
                            break
                        message, pending = bytes(data[:end + 2]), bytes(data[end + 5:])
                    with self.lock:
                        self.messages.append(message)
                    data = None
                    if not act("end"):
                        state["over"] = True
                    continue
                line_end = pending.find(b"\n")
                if line_end < 0:
                    break
                line = pending[:line_end].rstrip(b"\r").decode("latin-1")
                pending = pending[line_end + 1:]
                with self.lock:
                    self.commands.append((now, line))
                    if link.secure:
                        self.secure_commands.append(line)
                if state["auth"] is not None:
                    # A line of an AUTH exchange: base64, or "*" to cancel it.
                    mechanism, lines, wanted = state["auth"]
                    lines.append(_decoded(line))
                    if line == "*":
                        state["auth"] = None
                        outbox.put("AUTH", self._paced("501 5.7.0 Authentication cancelled"))
                    elif len(lines) < wanted:
                        outbox.put("AUTH", self._paced(LOGIN_CHALLENGES[len(lines)]))
                    else:
                        state["auth"] = None
                        if not act("AUTH"):
                            state["over"] = True
                            break
                    continue
                verb = line.split(" ", 1)[0].upper()
                step = verb if verb in ("EHLO", "HELO", "MAIL", "RCPT", "DATA", "QUIT", "STARTTLS",
                                        "AUTH") else "other"
                if step == "STARTTLS" and (self.tls is None or link.secure):
                    step = "other"
                if step == "AUTH":
                    words = line.split()
                    mechanism = words[1].upper() if len(words) > 1 else ""
                    lines = [_decoded(word) for word in words[2:3]]
                    wanted = 2 if mechanism == "LOGIN" else 1
                    with self.lock:
                        self.auth_exchanges.append((mechanism, lines))
                    if len(lines) < wanted:
                        state["auth"] = (mechanism, lines, wanted)
                        challenge = LOGIN_CHALLENGES[len(lines)] if mechanism == "LOGIN" else "334 "
                        outbox.put("AUTH", self._paced(challenge))
                        continue
                going_on = act(step)
                if step == "STARTTLS" and going_on and _code(self.actions["STARTTLS"], 0) == b"220":
                    # Whatever the client sent after STARTTLS, before the
                    # handshake, is dropped, as a server must (RFC 3207 5).
                    pending = b""
                    start_tls()
                    break
                if step == "RCPT":
                    state["recipients"] += 1
                if not going_on:
                    state["over"] = True
                    break
                if step == "DATA" and not state["silent"] and _code(self.actions["DATA"]) == b"354":
                    data = bytearray()
                if step == "QUIT" and not state["silent"]:
                    # After its reply to QUIT a server closes the connection.
                    outbox.put(None, CLOSE)
                    state["over"] = True
                    break
        outbox.finish()

    def _paced(self, text):
        """A reply given as a text, held back and split as the server says."""
        if self.trickle is None:
            return Reply(text, delay=self.delay)
        return Reply(text, pieces=list(range(1, len(_wire(text)))), pause=self.trickle, delay=self.delay)

    # ---- what the tests read ----

    def bytes_received(self):
        with self.lock:
            return b"".join(chunk for _, chunk in self.received)

    def command_lines(self):
        with self.lock:
            return [line for _, line in self.commands]

    def arrival(self, prefix):
        """When the first command line beginning with `prefix` arrived."""
        with self.lock:
            for when, line in self.commands:
                if line.startswith(prefix):
                    return when
        raise AssertionError("no command %r in %r" % (prefix, self.command_lines()))

    def first_arrival(self):
        with self.lock:
            return self.received[0][0] if self.received else None

    def arrival_of_byte(self, offset):
        """When the byte at `offset` of everything received arrived."""
        with self.lock:
            seen = 0
            for when, chunk in self.received:
                seen += len(chunk)
                if seen > offset:
                    return when
        raise AssertionError("only %d bytes received" % seen)

    def sent_time(self, step):
        """When the last piece of the (first) reply of `step` began to go out."""
        with self.lock:
            for when, sent_step, _ in self.sent:
                if sent_step == step:
                    return when
        raise AssertionError("no reply sent for %s" % step)


def _decoded(text):
    try:
        return base64.b64decode(text.encode("latin-1"), validate=True).decode("latin-1")
    except ValueError:
        return None


class _Link:
    """A connection's bytes, in clear or, once start() was called, through a
    TLS session (an ssl.SSLObject over memory buffers, so that the reading
    and the sending thread each take its lock only briefly)."""

    def __init__(self, server, connection):
        self.server = server
        self.connection = connection
        self.lock = threading.Lock()
        self.tls = None
        self.incoming = None
        self.outgoing = None
        self.secure = False  # the handshake is complete

    def start(self, context):
        with self.lock:
            self.incoming = ssl.MemoryBIO()
            self.outgoing = ssl.MemoryBIO()
            self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)

    def receive(self, raw, outbox):
        """The plain bytes in what arrived: (bytes, client ended the session,
        why the handshake failed or None). Handshake messages to send go
        into the outbox in order."""
        if self.tls is None:
            return raw, False, None
        plain, closed, failure = b"", False, None
        with self.lock:
            self.incoming.write(raw)
            try:
                if not self.secure:
                    self.tls.do_handshake()
                    self.secure = True
                while True:
                    record = self.tls.read(65536)  # one record's bytes at most
                    self.server.secure_records.append(record)
                    plain += record
            except ssl.SSLWantReadError:
                pass
            except ssl.SSLZeroReturnError:
                closed = True
            except ssl.SSLError as error:
                failure = str(error)
            answer = self.outgoing.read()
        if answer:
            outbox.put(None, _Raw(answer))
        return plain, closed, failure

    def send(self, data):
        """Sends `data` in clear, or as TLS records once the session is secure."""
        if self.tls is not None:
            with self.lock:
                self.tls.write(data)
                data = self.outgoing.read()
        self.connection.sendall(data)

    def send_raw(self, data):
        self.connection.sendall(data)


class _Raw:
    """Bytes that go out as they are: the handshake's own messages."""

    def __init__(self, data):
        self.data = data


class _Sender:
    """Sends a connection's replies in order from its own thread, so that a
    delayed or split reply never stops the server from reading (and timing)
    what the client writes meanwhile."""

    def __init__(self, server, link):
        self.server = server
        self.link = link
        self.connection = link.connection
        self.queue = []
        self.condition = threading.Condition()
        self.closed = False
        self.done = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def put(self, step, action):
        with self.condition:
            self.queue.append((step, action))
            self.condition.notify()

    def finish(self):
        with self.condition:
            self.done = True
            self.condition.notify()
        self.thread.join(10)

    def _run(self):
        while True:
            with self.condition:
                while not self.queue and not self.done and not self.server.stopping.is_set():
                    self.condition.wait(0.05)
                if not self.queue:
                    return
                step, action = self.queue.pop(0)
            if self.closed:
                continue
            if isinstance(action, _Raw):
                try:
                    if step is not None:
                        with self.server.lock:
                            self.server.sent.append((time.monotonic(), step, action.data))
                    self.link.send_raw(action.data)
                except OSError:
                    self.closed = True
                continue
            if action is CLOSE:
                self.closed = True
                try:
                    self.connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                continue
            if action.delay and self.server.stopping.wait(action.delay):
                return
            try:
                for index, piece in enumerate(action.pieces):
                    if index > 0 and self.server.stopping.wait(action.pause):
                        return
                    if index == len(action.pieces) - 1:
                        # Stamped before the last piece leaves: a client that
                        # waits for the whole reply writes only after this.
                        with self.server.lock:
                            self.server.sent.append((time.monotonic(), step, action.text))
                    self.link.send(piece)
            except (OSError, ssl.SSLError):
                self.closed = True


def _close(sock):
    try:
        sock.close()
    except OSError:
        pass
