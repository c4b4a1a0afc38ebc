# IMAPSieve: a message the user moves out of Junk is learned as good mail,
# unless it goes to the Trash.
require ["vnd.dovecot.pipe", "copy", "imapsieve", "environment", "variables"];

if environment :matches "imap.mailbox" "*" {
    set "mailbox" "${1}";
}
if string :comparator "i;ascii-casemap" "${mailbox}" ["Trash", "Deleted Messages", "Deleted Items"] {
    stop;
}
pipe :copy "junkward-bogofilter" ["-Sn"];
