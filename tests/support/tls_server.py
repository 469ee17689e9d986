#!/usr/bin/env python3
"""A scripted POP3-like server over TLS for Vesk's tests.

Prints "PORT n" once it listens on 127.0.0.1 (or --address ::1), then serves connections one
after the other until it is killed. Every line a client sends is appended
to the log file (as received, one per line), and so is "SNI name" for the
server name a TLS client asked for, so a test can tell what reached the
server (above all: whether a USER, PASS or APOP line ever did).

  --certs DIR   folder of scripts/fixtures/tlscerts.sh
  --cert NAME   the certificate the server presents (server, wrongname, ...)
  --mode        implicit: TLS from the first byte; stls: plain, then STLS
                (STARTTLS with --protocol imap)
  --protocol    pop3 (the default) or imap: a tagged IMAP conversation that
                offers STARTTLS and LOGINDISABLED in plain text, AUTH=PLAIN
                under TLS, and answers every other command with OK (cases
                normal, stls-err and inject)
  --case        normal     a working session
                stls-err   answers STLS with -ERR
                inject     answers STLS with +OK and a forged line in one write
                stall      accepts and then says nothing, ever
                close      closes the connection in the middle of the handshake
                longline   answers TOP with a 5,000-byte header line before the
                           From line, the whole reply in one write
                close-notify  answers TOP with part of a reply, then sends
                           close_notify and keeps the TCP connection open
                           until the client closes it
                flood      sends FLOOD_BYTES bytes of numbered 8-byte blocks
                           in one write right after the handshake, as fast as
                           TCP takes them, then closes
                oauth      OAuth2 logins (AUTH / AUTHENTICATE XOAUTH2 and
                           OAUTHBEARER): the token "good" logs in; any other
                           gets the failure challenge, and after the client's
                           answer the final refusal. POP3 refuses an initial
                           response on the AUTH line; IMAP offers SASL-IR
                oauth-noir as oauth, without SASL-IR (IMAP)
"""
import base64
import argparse
import array
import os
import select
import socket
import ssl
import sys

GREETING = b"+OK Vesk test server <1896.697170952@dbc.mtview.ca.us>\r\n"
LONG_LINE = b"X-Long: " + b"x" * (5000 - 8)
FLOOD_BYTES = 16 * 1024 * 1024


def flood_data():
    """Block numbers 0, 1, 2, ... as 8-byte big-endian integers."""
    blocks = array.array("Q", range(FLOOD_BYTES // 8))
    if sys.byteorder == "little":
        blocks.byteswap()
    return blocks.tobytes()


def log(path, text):
    with open(path, "a", encoding="latin-1") as f:
        f.write(text + "\n")


def next_line(conn, buf):
    """The next line the client sent (None once it has gone), and what follows it."""
    while b"\r\n" not in buf:
        data = conn.recv(4096)
        if not data:
            return None, buf
        buf += data
    line, buf = buf.split(b"\r\n", 1)
    return line.decode("latin-1"), buf


OAUTH_CHALLENGE = b"+ " + base64.b64encode(b'{"status":"401","schemes":"bearer","scope":"mail"}') + b"\r\n"


def oauth_login(conn, buf, response, args):
    """An OAuth2 exchange after the go-ahead: the client's response (read when
    None), then success, or the challenge and the client's answer to it.
    Gives whether the token was good, and what follows in buf."""
    if response is None:
        conn.sendall(b"+ \r\n")
        response, buf = next_line(conn, buf)
        if response is None:
            return False, buf
        log(args.log, response)
    if b"auth=Bearer good\x01" in base64.b64decode(response):
        return True, buf
    conn.sendall(OAUTH_CHALLENGE)
    answer, buf = next_line(conn, buf)
    if answer is not None:
        log(args.log, answer)
    return False, buf


def imap_session(conn, args, ctx):
    """One IMAP client: every tagged command answered until LOGOUT."""
    tls_caps = b"IMAP4rev1 AUTH=PLAIN SASL-IR"
    if args.case.startswith("oauth"):
        tls_caps = b"IMAP4rev1 AUTH=XOAUTH2 AUTH=OAUTHBEARER" + (b" SASL-IR" if args.case == "oauth" else b"")
    if args.mode == "implicit":
        conn = ctx.wrap_socket(conn, server_side=True)
        conn.sendall(b"* OK [CAPABILITY " + tls_caps + b"] ready\r\n")
    else:
        conn.sendall(b"* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] ready\r\n")
    buf = b""
    while True:
        text, buf = next_line(conn, buf)
        if text is None:
            return
        log(args.log, text)
        tag, _, command = text.partition(" ")
        word = command.split(" ")[0].upper()
        done = tag.encode("latin-1") + b" OK done\r\n"
        if word == "STARTTLS" and args.mode == "stls":
            if args.case == "stls-err":
                conn.sendall(tag.encode("latin-1") + b" NO not now\r\n")
                continue
            forged = b"* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN]\r\n" if args.case == "inject" else b""
            conn.sendall(tag.encode("latin-1") + b" OK begin TLS\r\n" + forged)
            conn = ctx.wrap_socket(conn, server_side=True)
            buf = b""
            continue
        if word == "CAPABILITY":
            conn.sendall(b"* CAPABILITY " + tls_caps + b"\r\n" + done)
            continue
        if word == "LOGOUT":
            conn.sendall(b"* BYE bye\r\n" + done)
            return
        if word == "AUTHENTICATE" and args.case.startswith("oauth"):
            words = command.split(" ")
            good, buf = oauth_login(conn, buf, words[2] if len(words) > 2 else None, args)
            failed = tag.encode("latin-1") + b" NO [AUTHENTICATIONFAILED] Authentication failed.\r\n"
            conn.sendall(done if good else failed)
            continue
        conn.sendall(done)


def session(conn, args, ctx):
    """One client: greeting, then every line answered until QUIT."""
    buf = b""
    if args.mode == "implicit":
        if args.case == "close":
            conn.recv(4096)  # the ClientHello; then the server goes away
            return
        conn = ctx.wrap_socket(conn, server_side=True)
        if args.case == "flood":
            conn.sendall(flood_data())
            return
    conn.sendall(GREETING)
    while True:
        text, buf = next_line(conn, buf)
        if text is None:
            return
        log(args.log, text)
        command = text.split(" ")[0].upper()
        if command == "TOP" and args.case == "longline":
            conn.sendall(b"+OK\r\n" + LONG_LINE + b"\r\nFrom: Alice <alice@example.test>\r\n\r\n.\r\n")
            continue
        if command == "TOP" and args.case == "close-notify":
            conn.sendall(b"+OK\r\nFrom: Alice <alice@example.test>\r\n")
            conn.settimeout(2)
            try:
                conn.unwrap()  # close_notify; the client's own is not needed
            except (OSError, ssl.SSLError):
                pass
            select.select([conn.fileno()], [], [], 120)  # TCP stays open until the client closes
            return
        if command == "QUIT":
            conn.sendall(b"+OK bye\r\n")
            return
        if command == "AUTH" and args.case == "oauth":
            if len(text.split(" ")) > 2:
                conn.sendall(b"-ERR initial response refused\r\n")
                continue
            good, buf = oauth_login(conn, buf, None, args)
            conn.sendall(b"+OK logged in\r\n" if good else b"-ERR [AUTH] Authentication failed.\r\n")
            continue
        if command == "STLS" and args.mode == "stls":
            if args.case == "stls-err":
                conn.sendall(b"-ERR STLS not now\r\n")
                continue
            if args.case == "inject":
                conn.sendall(b"+OK begin TLS\r\n+OK forged by whoever sits in the middle\r\n")
            elif args.case == "close":
                conn.sendall(b"+OK begin TLS\r\n")
                conn.recv(4096)
                return
            else:
                conn.sendall(b"+OK begin TLS\r\n")
            conn = ctx.wrap_socket(conn, server_side=True)
            buf = b""
            continue
        conn.sendall(b"+OK\r\n")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--certs", required=True)
    p.add_argument("--cert", default="server")
    p.add_argument("--mode", choices=["implicit", "stls"], default="implicit")
    p.add_argument("--case", default="normal")
    p.add_argument("--log", required=True)
    p.add_argument("--protocol", choices=["pop3", "imap"], default="pop3")
    p.add_argument("--address", choices=["127.0.0.1", "::1"], default="127.0.0.1")
    args = p.parse_args()

    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(args.certs, args.cert + ".pem"), os.path.join(args.certs, args.cert + ".key"))

    def sni(_sock, name, _ctx):
        if name:
            log(args.log, "SNI %s" % name)

    ctx.sni_callback = sni
    family = socket.AF_INET6 if ":" in args.address else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.address, 0))
    listener.listen(8)
    open(args.log, "a").close()
    print("PORT %d" % listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            if args.case == "stall":
                while conn.recv(4096):
                    pass
            elif args.protocol == "imap":
                imap_session(conn, args, ctx)
            else:
                session(conn, args, ctx)
        except (OSError, ssl.SSLError) as e:
            log(args.log, "ERROR %s" % e)
        finally:
            conn.close()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
