#!/usr/bin/python3
"""Reads for filter-check.sh what the filters and a delivered message say.

  filter_report.py envelope MESSAGE  rspamc options, one a line, from the headers the delivering
                                     Postfix added (Return-Path, X-Original-To, Received)
  filter_report.py sa OUTPUT         SpamAssassin's score, every rule hit with its score, and
                                     its own report table
  filter_report.py rspamd JSON       rspamd's action and score, and every symbol with its score

Exit status 1, with the reason on stderr, when the filter's output is unusable.
"""
import email.parser
import email.policy
import json
import re
import sys


def fail(reason):
    sys.exit("filter_report: " + reason)


def header(raw, name):
    """The first header field `name` of a message, unfolded, or ""."""
    msg = email.parser.BytesHeaderParser(policy=email.policy.compat32).parsebytes(raw)
    return re.sub(r"\r?\n[ \t]+", " ", str(msg.get(name, ""))).strip()


def envelope(path):
    raw = open(path, "rb").read()
    options = []
    sender = re.search(r"<([^<>]+)>", header(raw, "Return-Path"))
    if sender:
        options += ["-F", sender.group(1)]
    recipient = header(raw, "X-Original-To") or header(raw, "Delivered-To")
    if recipient:
        options += ["-r", recipient.strip("<>")]
    # Postfix writes "from HELO (NAME [IP]) by ..."; the topmost Received is the receiving server's.
    client = re.match(r"from (\S+) \((\S+) \[([0-9A-Fa-f.:]+)\]\)", header(raw, "Received"))
    if client:
        options += ["--helo", client.group(1), "--hostname", client.group(2), "-i", client.group(3)]
    print("\n".join(options))


def sa(path):
    raw = open(path, "rb").read()
    status, tests = header(raw, "X-Spam-Status"), header(raw, "X-Spam-Tests")
    m = re.search(r"score=(-?[0-9.]+) required=(-?[0-9.]+)", status)
    if not m or not tests:
        fail("SpamAssassin's output has no score in X-Spam-Status or no X-Spam-Tests")
    score = float(m.group(1))
    hits = [] if tests == "none" else [t.partition("=")[::2] for t in tests.replace(" ", "").split(",")]
    try:
        hits = [(name, float(value)) for name, value in hits]
    except ValueError:
        fail("cannot read the rule scores in X-Spam-Tests: " + tests)
    if abs(sum(v for _, v in hits) - score) > 0.06 + 0.0005 * len(hits):
        fail("the rule scores do not add up to SpamAssassin's score %.1f" % score)
    lines = raw.decode("utf-8", "replace").splitlines()
    start = next((i for i, l in enumerate(lines) if l.startswith("Content analysis details:")), None)
    if start is None:
        fail("SpamAssassin's output has no 'Content analysis details' report")
    report = lines[start:start + 4]
    for l in lines[start + 4:]:
        if not l.strip():
            break
        report.append(l)
    print("score %.1f / required %.1f   (%s)" % (score, float(m.group(2)), status.split(",")[0]))
    print("rules hit (%d):" % len(hits))
    for name, value in sorted(hits, key=lambda h: (-abs(h[1]), h[0])):
        print("  %7.3f  %s" % (value, name))
    print("report:")
    for l in report:
        print("  | " + l)


def rspamd(path):
    try:
        res = json.load(open(path, encoding="utf-8"))
    except ValueError as e:
        fail("rspamd's reply is not JSON: %s" % e)
    if "error" in res or res.get("is_skipped") or "action" not in res or "symbols" not in res:
        fail("rspamd gave no result: %s" % res.get("error", "skipped or incomplete"))
    symbols = res["symbols"]
    if abs(sum(s.get("score", 0.0) for s in symbols.values()) - res["score"]) > 0.01:
        fail("the symbol scores do not add up to rspamd's score %.3f" % res["score"])
    print("action: %s   score %.2f / required %.2f" % (res["action"], res["score"], res["required_score"]))
    print("symbols (%d):" % len(symbols))
    for name, s in sorted(symbols.items(), key=lambda kv: (-abs(kv[1].get("score", 0)), kv[0])):
        options = "[" + ", ".join(s["options"]) + "] " if s.get("options") else ""
        print("  %7.3f  %-28s %s%s" % (s.get("score", 0.0), name, options, s.get("description", "")))
    if res.get("messages"):
        print("messages: %s" % json.dumps(res["messages"], ensure_ascii=False))


if __name__ == "__main__":
    commands = {"envelope": envelope, "sa": sa, "rspamd": rspamd}
    if len(sys.argv) != 3 or sys.argv[1] not in commands:
        fail("usage: filter_report.py envelope|sa|rspamd FILE")
    commands[sys.argv[1]](sys.argv[2])
