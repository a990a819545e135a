#!/bin/bash
# Runs COMMAND [ARGS...] beside the mail provider's server of with_submission.sh (everything it
# says holds) with the sender's mailbox and a far server besides:
#   143, 993   Dovecot IMAP for news@example.test (its login and password as for submission):
#              STARTTLS required on 143 (LOGINDISABLED before it), TLS from the first byte on
#              993, the same certificate as 587 and 465; its mail is BREVANT_E2E_NEWS_MAILDIR
#              (news@example.test has its own line in vmailbox before the @example.test one)
#   2525       the "far" server for far.test: whatever is relayed to far.test goes there; it
#              answers "550 5.1.1" to every address whose local part begins with "dead", so that
#              Postfix writes a delivery report to the sender, and stores the others in
#              BREVANT_E2E_FAR_MAILDIR
# Exit status: the command's; 77 (skipped) when not root.
HERE=$(cd "$(dirname "$0")" && pwd -P)
BREVANT_E2E_MAILBOX=1 exec "$HERE/with_submission.sh" "$@"
