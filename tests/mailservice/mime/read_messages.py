#!/usr/bin/python3
"""Reads messages as a mail reader would (Python's email package, default policy) and prints what
it found, one fact per line: a name, then values in hex so that any text passes unchanged."""
import email
import email.policy
import sys


def out(name, *values):
    print(name, *[(v if isinstance(v, bytes) else str(v).encode('utf-8')).hex() or '-' for v in values])


def read(path):
    with open(path, 'rb') as f:
        raw = f.read()
    out('file', path)
    out('longest_header_line', max(len(line) for line in raw.split(b'\r\n\r\n', 1)[0].split(b'\r\n')))
    out('longest_line', max(len(line) for line in raw.split(b'\r\n')))
    out('bare_lf', raw.replace(b'\r\n', b'').count(b'\n'))
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    for part in msg.walk():
        for defect in part.defects:
            out('defect', repr(defect))
        for name, value in part.items():
            for defect in getattr(value, 'defects', ()):
                out('defect', name + ': ' + repr(defect))
    for name in msg.keys():
        out('header_name', name)
    out('mime_version', msg.get('MIME-Version', ''))
    out('has_date', msg['Date'] is not None and msg['Date'].datetime is not None)
    out('message_id', msg.get('Message-ID', ''))
    out('subject', msg.get('Subject', ''))
    for a in msg['From'].addresses:
        out('from', a.display_name, a.addr_spec)
    for a in msg['To'].addresses:
        out('to', a.display_name, a.addr_spec)
    body = msg.get_body(preferencelist=('plain',))
    out('body_charset', body.get_content_charset())
    out('body_encoding', body.get('Content-Transfer-Encoding', '7bit'))
    out('body', body.get_content())
    for part in msg.iter_attachments():
        out('attachment', part.get_filename(), part.get_content_type(),
            part.get('Content-Transfer-Encoding', ''), part.get_payload(decode=True))
    out('end')


for p in sys.argv[1:]:
    read(p)
