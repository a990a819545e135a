# Fills the sender's mailbox of scripts/mail-server/with_mailbox.sh as a mailing would, through
# the real servers: four newsletters sent through 587 (STARTTLS, login) to far.test, two of them
# to addresses the far server refuses, so that Postfix itself writes the two delivery reports;
# the sender's own copy; then, through port 25, an unsubscribe request made exactly as the
# newsletter's List-Unsubscribe says, an out-of-office reply and an ordinary reply; and an old
# request, dated before the mailing, put into the Maildir directly. Waits until all have arrived.
# Prints one line per newsletter: "ADDRESS MESSAGE-ID TOKEN".
import email.utils, os, random, smtplib, ssl, sys, time, urllib.parse
from email.header import Header

env = os.environ
news = env["BREVANT_E2E_NEWS_MAILDIR"]
ctx = ssl.create_default_context(cafile=env["BREVANT_E2E_CA"])


def newsletter(to, token):
    mid = "<%s.%s@example.test>" % (time.strftime("%Y%m%d%H%M%S", time.gmtime()), token)
    return mid, (
        "From: news@example.test\r\nTo: %s\r\nDate: %s\r\nMessage-ID: %s\r\n"
        "Subject: =?windows-1251?B?zO7w5SDx6+7i?=\r\n"
        "List-Unsubscribe: <mailto:news@example.test?subject=unsubscribe%%20%s>\r\n"
        "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=windows-1251\r\n"
        "Content-Transfer-Encoding: 8bit\r\n\r\n\xc7\xe4\xf0\xe0\xe2\xf1\xf2\xe2\xf3\xe9\xf2\xe5!\r\n"
        % (to, email.utils.formatdate(localtime=True), mid, token)).encode("latin-1")


def count():
    return sum(len(os.listdir(os.path.join(news, d))) for d in ("new", "cur"))


def wait_for(n):
    for _ in range(300):
        if count() >= n:
            return
        time.sleep(0.1)
    sys.exit("mailbox_fill: %d messages in the mailbox, %d awaited" % (count(), n))


sent = {}
with smtplib.SMTP(env["BREVANT_E2E_HOST"], 587) as s:
    s.starttls(context=ctx)
    s.login(env["BREVANT_E2E_LOGIN"], env["BREVANT_E2E_PASSWORD"])
    for to in ("alive1@far.test", "dead1@far.test", "alive2@far.test", "dead2@far.test",
               "news@example.test"):
        token = "%016X" % random.getrandbits(64)
        mid, data = newsletter(to, token)
        s.sendmail("news@example.test", [to], data)
        sent[to] = (mid, token)
wait_for(3)  # two reports and the own copy

# The request as a mail program makes it from the List-Unsubscribe of alive1's newsletter.
unsubscribe = "mailto:news@example.test?subject=unsubscribe%%20%s" % sent["alive1@far.test"][1]
url = urllib.parse.urlparse(unsubscribe)
subject = urllib.parse.parse_qs(url.query)["subject"][0]
replies = [
    ("alive1@far.test", "From: alive1@far.test\r\nTo: %s\r\nSubject: %s\r\n\r\n\r\n"
     % (url.path, subject)),
    ("alive2@far.test", "From: alive2@far.test\r\nTo: news@example.test\r\nAuto-Submitted: "
     "auto-replied\r\nSubject: %s\r\n\r\nI am away.\r\n"
     % Header("Автоответ: Море слов", "utf-8").encode()),
    ("alive2@far.test", "From: alive2@far.test\r\nTo: news@example.test\r\nSubject: %s\r\n"
     "In-Reply-To: %s\r\n\r\nThanks.\r\n" % (Header("Re: Море слов", "utf-8").encode(),
                                            sent["alive2@far.test"][0])),
]
with smtplib.SMTP(env["BREVANT_E2E_HOST"], 25) as s:
    for sender, data in replies:
        s.sendmail(sender, ["news@example.test"], data.encode())
wait_for(6)

# A request from before the mailing: Dovecot dates a Maildir message by its file's time.
old = os.path.join(news, "cur", "1000000000.M1P1.old:2,S")
with open(old, "wb") as f:
    f.write(b"From: old@far.test\r\nSubject: unsubscribe 00000000000000FF\r\n\r\n\r\n")
os.chown(old, int(env.get("NOBODY_UID", "65534")), -1)
os.chmod(old, 0o600)
os.utime(old, (time.time() - 30 * 86400,) * 2)

for to, (mid, token) in sent.items():
    print(to, mid, token)
