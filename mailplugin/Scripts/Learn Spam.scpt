#!/bin/sh
# Learn Spam: every filter learns the selected messages as spam; they then go to
# the Spam mailbox.
set -f
selection=$(junkward-mail selection) || exit 1
[ -n "$selection" ] || exit 0
IFS='
'
junkward learn-spam $selection || exit 1
junkward-mail move Spam $selection >/dev/null || echo "Learn Spam: the messages stay where they are" >&2
exit 0
