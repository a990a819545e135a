# Fills a Maildir with COUNT messages of which REPORTS are delivery reports, as a sender's inbox
# looks after a mailing: Postfix's report of a dead address (tests/mailbox/messages/
# postfix-bounce.eml, each about another Message-ID and address) among replies, out-of-office
# answers, unsubscribe requests and other mail. Usage: make_mailbox.py MAILDIR COUNT REPORTS
import os, random, sys, time

maildir, count, reports = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
here = os.path.dirname(os.path.abspath(__file__))
template = open(os.path.join(here, "../tests/mailbox/messages/postfix-bounce.eml"), "rb").read()
random.seed(7)
now = time.time()
uid = 65534
for i in range(count):
    if i % (count // reports) == 0 and i // (count // reports) < reports:
        token = b"%016X" % random.getrandbits(64)
        data = (template.replace(b"0123456789ABCDEF", token)
                .replace(b"dead1@far.test", b"dead%d@far.test" % i))
    elif i % 97 == 1:
        data = (b"From: reader%d@far.test\r\nTo: news@example.test\r\nSubject: unsubscribe "
                b"%016X\r\nDate: Mon, 7 Dec 2026 12:00:00 +0300\r\n\r\n\r\n" % (i, random.getrandbits(64)))
    elif i % 13 == 2:
        data = (b"From: away%d@far.test\r\nTo: news@example.test\r\nAuto-Submitted: auto-replied\r\n"
                b"Subject: Out of office\r\n\r\nBack on Monday.\r\n" % i)
    else:
        data = (b"From: someone%d@far.test\r\nTo: news@example.test\r\nSubject: Re: news %d\r\n"
                b"Date: Mon, 7 Dec 2026 12:00:00 +0300\r\nMessage-ID: <m%d@far.test>\r\n"
                b"Content-Type: text/plain; charset=utf-8\r\n\r\n" % (i, i, i) + b"Thanks!\r\n" * 40)
    name = os.path.join(maildir, "cur", "%d.M%dP1.bench:2,S" % (int(now) - count + i, i))
    with open(name, "wb") as f:
        f.write(data)
    os.chown(name, uid, -1)
    os.utime(name, (now - 3600 + i * 0.1,) * 2)
