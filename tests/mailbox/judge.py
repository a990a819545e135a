# The independent reading of the test messages by Python's email package: for each file given, one
# JSON line with its decoded Subject, the address of its From, and what a delivery report says
# (each recipient's fields, the returned header's Message-ID). Used by MailboxTest.
import email, email.parser, email.utils, json, sys
from email.header import decode_header, make_header


def words(value):
    return " ".join(value.split()) if value is not None else ""


def address(typed):  # "rfc822; <a@b>" -> "a@b"
    if not typed:
        return ""
    return email.utils.parseaddr(typed.split(";", 1)[-1].strip())[1]


for path in sys.argv[1:]:
    msg = email.message_from_bytes(open(path, "rb").read())
    subject = msg["Subject"]
    out = {
        "subject": str(make_header(decode_header(subject))) if subject is not None else "",
        "from": email.utils.parseaddr(msg["From"] or "")[1],
        "report": msg.get_content_type() == "multipart/report"
        and (msg.get_param("report-type") or "").lower() == "delivery-status",
        "recipients": [],
        "message_id": "",
    }
    returned = None
    for part in msg.walk():
        kind = part.get_content_type()
        if kind == "message/delivery-status" and not out["recipients"]:
            for block in part.get_payload():
                if block["Final-Recipient"] is None and block["Action"] is None:
                    continue
                out["recipients"].append([
                    address(block["Final-Recipient"]), address(block["Original-Recipient"]),
                    (block["Action"] or "").strip().lower(),
                    (block["Status"] or "").split()[0] if block["Status"] else "",
                    words(block["Diagnostic-Code"])])
        elif kind == "message/rfc822" and returned is None:
            returned = part.get_payload(0)
        elif kind == "text/rfc822-headers" and returned is None:
            returned = email.parser.BytesHeaderParser().parsebytes(part.get_payload(decode=True))
    if out["report"] and returned is not None and returned["Message-ID"] is not None:
        out["message_id"] = "".join(returned["Message-ID"].split())
    print(json.dumps(out, ensure_ascii=False))
