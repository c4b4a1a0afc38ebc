#!/bin/sh
# Junkward for Evolution: its Bogofilter junk module runs junkward-bogofilter.
# Run once as the user, with Evolution closed; Evolution then judges new mail
# with Junkward, and "Mark as Junk" / "Mark as Not Junk" train it.
set -e
command=$(command -v junkward-bogofilter)
gsettings set org.gnome.evolution.bogofilter command "$command"
gsettings set org.gnome.evolution.mail junk-default-plugin 'Bogofilter'
gsettings set org.gnome.evolution.mail junk-check-incoming true
