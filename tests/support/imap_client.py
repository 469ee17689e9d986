#!/usr/bin/env python3
"""A second mail program for the tests: Python's own IMAP client (imaplib)
doing to a mailbox of the private Dovecot what another reader would, while
Vesk watches it.

Usage: imap_client.py PORT USER PASSWORD COMMAND [ARG...] (on 127.0.0.1)
  seen FOLDER SET        marks the messages SET (sequence numbers, "1:3")
                         \\Seen
  flags FOLDER           prints "UID FLAGS" for every message, one a line;
                         read-only (EXAMINE), so nothing changes, not even
                         \\Recent
  fill FOLDER FILE...    makes FOLDER afresh holding the FILEs, unseen
FOLDER goes on the wire as given: a name beyond ASCII in modified UTF-7.
A command the server refuses ends the program with status 1 and its words.
"""
import imaplib
import re
import sys


def check(reply):
    typ, data = reply
    if typ != "OK":
        sys.exit(f"imap_client.py: {typ} {data!r}")
    return data


def quoted(folder):
    return '"' + folder.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main():
    port, user, password, command, *args = sys.argv[1:]
    imap = imaplib.IMAP4("127.0.0.1", int(port))
    check(imap.login(user, password))
    if command == "seen":
        folder, messages = args
        check(imap.select(quoted(folder)))
        check(imap.store(messages, "+FLAGS", "\\Seen"))
    elif command == "flags":
        (folder,) = args
        count = int(check(imap.select(quoted(folder), readonly=True))[0])
        if count:
            for line in check(imap.fetch("1:*", "(UID FLAGS)")):
                uid = re.search(rb"UID (\d+)", line).group(1).decode()
                flags = re.search(rb"FLAGS \(([^)]*)\)", line).group(1).decode().split()
                print(uid, " ".join(sorted(flags)))
    elif command == "fill":
        folder, *files = args
        if imap.select(quoted(folder))[0] == "OK":
            check(imap.close())
            check(imap.delete(quoted(folder)))
        check(imap.create(quoted(folder)))
        for name in files:
            with open(name, "rb") as f:
                check(imap.append(quoted(folder), "", None, f.read()))
    else:
        sys.exit(f"imap_client.py: unknown command {command}")
    imap.logout()


if __name__ == "__main__":
    main()
