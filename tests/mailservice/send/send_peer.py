"""An aiosmtpd server for the SEND tests: a mail exchanger or relay on one address and port.

Usage: send_peer.py HOST PORT OUTDIR [--starttls CERT KEY] [--tls CERT KEY] [--auth USER:PASS]
       [--reject-rcpt ADDR]... [--defer-rcpt ADDR]... [--defer-mail] [--data-delay SECONDS]
       [--defer-while-exists PATH] [--print-rcpt]
Each accepted mail is written to OUTDIR/<n>.json (envelope, TLS, login, message). Prints
"ready" once listening and runs until killed; with --data-delay it also prints "holding DATA"
when it starts holding back an answer to DATA. --defer-while-exists answers every RCPT with a
temporary failure for as long as PATH exists, so a test can turn acceptance on by removing it.
--print-rcpt prints "RCPT <address>" for every RCPT it answers.
"""
import argparse
import asyncio
import base64
import itertools
import json
import os
import ssl
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("outdir")
    parser.add_argument("--starttls", nargs=2)
    parser.add_argument("--tls", nargs=2)
    parser.add_argument("--tls-max", choices=["1.1"], help="STARTTLS no newer than this version")
    parser.add_argument("--auth")
    parser.add_argument("--reject-rcpt", action="append", default=[])
    parser.add_argument("--defer-rcpt", action="append", default=[])
    parser.add_argument("--defer-mail", action="store_true")
    parser.add_argument("--data-delay", type=float, default=0.0)
    parser.add_argument("--defer-while-exists")
    parser.add_argument("--print-rcpt", action="store_true")
    args = parser.parse_args()
    counter = itertools.count(1)

    class Handler:
        async def handle_MAIL(self, server, session, envelope, address, options):
            if args.defer_mail:
                return "451 4.3.0 try again later"
            envelope.mail_from = address
            envelope.mail_options.extend(options)
            return "250 OK"

        async def handle_RCPT(self, server, session, envelope, address, options):
            if args.print_rcpt:
                print("RCPT <%s>" % address, flush=True)
            if address in args.reject_rcpt:
                return "550 5.1.1 no such user here"
            if address in args.defer_rcpt or (
                    args.defer_while_exists and os.path.exists(args.defer_while_exists)):
                return "451 4.2.0 mailbox busy"
            envelope.rcpt_tos.append(address)
            return "250 OK"

        async def handle_DATA(self, server, session, envelope):
            if args.data_delay:
                print("holding DATA", flush=True)
                await asyncio.sleep(args.data_delay)
            record = {
                "from": envelope.mail_from,
                "to": envelope.rcpt_tos,
                "options": envelope.mail_options,
                "tls": session.ssl is not None,
                "login": session.auth_data.login.decode() if session.auth_data else "",
                "message": base64.b64encode(envelope.original_content or envelope.content).decode(),
            }
            name = os.path.join(args.outdir, f"{next(counter)}.json")
            with open(name + ".tmp", "w") as out:
                json.dump(record, out)
            os.rename(name + ".tmp", name)
            return "250 2.0.0 OK queued"

    def authenticator(server, session, envelope, mechanism, auth_data):
        user, password = args.auth.split(":", 1)
        ok = auth_data.login.decode() == user and auth_data.password.decode() == password
        return AuthResult(success=ok, handled=False, auth_data=auth_data)

    kwargs = {}
    if args.starttls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(*args.starttls)
        if args.tls_max:
            context.minimum_version = ssl.TLSVersion.MINIMUM_SUPPORTED
            context.maximum_version = ssl.TLSVersion.TLSv1_1
        kwargs["tls_context"] = context
    if args.tls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(*args.tls)
        kwargs["ssl_context"] = context
    if args.auth:
        kwargs["authenticator"] = authenticator
        kwargs["auth_required"] = True
        kwargs["auth_require_tls"] = False
    controller = Controller(Handler(), hostname=args.host, port=args.port,
                            server_hostname="peer.test", ready_timeout=10, **kwargs)
    controller.start()
    print("ready", flush=True)
    try:
        while True:
            time.sleep(3600)
    finally:
        controller.stop()


if __name__ == "__main__":
    sys.exit(main())
