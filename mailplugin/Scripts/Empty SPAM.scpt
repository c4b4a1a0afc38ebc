#!/bin/sh
# Empty SPAM Mailbox: removes every message of the Spam mailbox.
junkward-mail empty Spam >/dev/null
