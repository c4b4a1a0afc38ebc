# Junkward for Dovecot's Sieve, keeping the verdict in the message: the message
# passes through "junkward filter", which adds the X-Junkward-Status header,
# and spam is filed into Junk. Needs +vnd.dovecot.filter and
# sieve_filter_bin_dir with a link named "junkward" (see 90-junkward.conf).
require ["vnd.dovecot.filter", "fileinto", "mailbox"];

filter "junkward" ["filter"];

if header :matches "X-Junkward-Status" "Yes,*" {
    fileinto :create "Junk";
    stop;
}
