#!/usr/bin/python3
"""A scripted SMTP client built on Python's smtplib, for the service tests.

Usage: smtp_peer.py HOST PORT STEPS_JSON
STEPS_JSON is a list of steps; each prints one line "<code> <text>" (code -1: the connection
failed or was closed). Steps:
  ["ehlo", name]              ["helo", name]          ["starttls"]
  ["auth", mechanism, user, password]                 (smtplib's own PLAIN/LOGIN)
  ["mail", sender, "OPTIONS"] ["rcpt", recipient]     ["data", text]   (smtplib's data())
  ["cmd", line]               ["rset"]                ["noop"]         ["quit"]
  ["raw", text]               send bytes as they are (latin-1), no reply read
  ["read"]                    read one reply (all its lines)
  ["features"]                the EHLO keywords, space separated, code 0
  ["expect_close"]            code 0 when the server closed the connection, 1 otherwise
"""
import json
import smtplib
import socket
import ssl
import sys


def reply_line(code, text):
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    print("%d %s" % (code, " ".join(str(text).split())), flush=True)


def main():
    host, port, steps = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3])
    client = smtplib.SMTP(timeout=20)
    client._host = host  # the TLS layer wants a server name; connect() alone does not set it
    try:
        code, text = client.connect(host, port)
    except (OSError, smtplib.SMTPException) as error:
        reply_line(-1, error)
        return
    reply_line(code, text)
    for step in steps:
        kind, args = step[0], step[1:]
        try:
            if kind == "ehlo":
                code, text = client.ehlo(args[0])
            elif kind == "helo":
                code, text = client.helo(args[0])
            elif kind == "starttls":
                context = ssl.create_default_context()
                context.check_hostname = False
                context.verify_mode = ssl.CERT_NONE
                code, text = client.starttls(context=context)
            elif kind == "auth":
                mechanism, user, password = args
                client.user, client.password = user, password
                method = {"PLAIN": client.auth_plain, "LOGIN": client.auth_login}[mechanism]
                try:
                    code, text = client.auth(mechanism, method, initial_response_ok=False)
                except smtplib.SMTPAuthenticationError as error:
                    code, text = error.smtp_code, error.smtp_error
            elif kind == "mail":
                code, text = client.mail(args[0], args[1].split() if len(args) > 1 else [])
            elif kind == "rcpt":
                code, text = client.rcpt(args[0])
            elif kind == "data":
                code, text = client.data(args[0].encode("utf-8"))
            elif kind == "cmd":
                code, text = client.docmd(args[0])
            elif kind in ("rset", "noop", "quit"):
                code, text = getattr(client, kind)()
            elif kind == "raw":
                client.sock.sendall(args[0].encode("latin-1"))
                continue
            elif kind == "read":
                code, text = client.getreply()
            elif kind == "features":
                code, text = 0, " ".join(sorted(client.esmtp_features))
            elif kind == "expect_close":
                client.sock.settimeout(5)
                try:
                    data = client.sock.recv(1)
                    code, text = (0, "closed") if data == b"" else (1, data)
                except socket.timeout:
                    code, text = 1, "still open"
                except OSError:
                    code, text = 0, "closed"
            else:
                raise ValueError("unknown step " + kind)
        except smtplib.SMTPServerDisconnected as error:
            code, text = -1, error
        except smtplib.SMTPResponseException as error:
            code, text = error.smtp_code, error.smtp_error
        except (OSError, ValueError, smtplib.SMTPException) as error:
            code, text = -1, error
        reply_line(code, text)


if __name__ == "__main__":
    main()
