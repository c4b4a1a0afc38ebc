#!/bin/sh
# Learn Good E-mail: every filter learns the selected messages as good mail; those
# in the Spam mailbox go back to INBOX.
set -f
selection=$(junkward-mail selection) || exit 1
[ -n "$selection" ] || exit 0
IFS='
'
junkward learn-ham $selection || exit 1
spam=$(junkward-mail messages Spam) || exit 0
for message in $selection; do
  for s in $spam; do
    [ "$s" = "$message" ] && junkward-mail move INBOX "$message" >/dev/null
  done
done
exit 0
