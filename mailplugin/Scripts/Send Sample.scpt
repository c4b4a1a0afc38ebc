#!/bin/sh
# Send Spam Sample: the selected messages as attachments of a new mail in the
# user's mail composer; without one, copies in "Junkward Spam Samples" of the
# home folder.
set -f
selection=$(junkward-mail selection) || exit 1
[ -n "$selection" ] || exit 0
IFS='
'
if command -v xdg-email >/dev/null 2>&1; then
  attachments=
  for message in $selection; do attachments="$attachments
--attach
$message"; done
  xdg-email --subject "Junkward spam sample" $attachments && exit 0
fi
folder="${HOME:-/tmp}/Junkward Spam Samples"
mkdir -p "$folder" || exit 1
for message in $selection; do
  cp -- "$message" "$folder/$(basename -- "$message" | tr ':' '_').eml" || exit 1
done
echo "Spam samples saved in $folder"
