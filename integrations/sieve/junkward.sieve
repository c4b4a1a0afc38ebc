# Junkward for Dovecot's Sieve (the extprograms plugin): spam is filed into
# Junk. "junkward check" reads the message and exits 0 for spam.
# Needs, in Dovecot's configuration (see 90-junkward.conf):
#   sieve_plugins = sieve_extprograms
#   sieve_global_extensions = +vnd.dovecot.execute
#   sieve_execute_bin_dir = a folder holding a link named "junkward" to the tool
require ["vnd.dovecot.execute", "fileinto", "mailbox"];

if execute :pipe "junkward" ["check"] {
    fileinto :create "Junk";
    stop;
}
