# IMAPSieve: a message the user moves (or copies) into Junk is learned as spam.
require ["vnd.dovecot.pipe", "copy", "imapsieve"];

pipe :copy "junkward-bogofilter" ["-s"];
