#!/usr/bin/env bash
# Prepare step of the file suite: folders a user could have made before the service first ran, of
# the kinds only the Unix side can make under Wine, each with a script planted in it: two open to
# everyone (mode 0777, which Wine shows as write access for Everyone), one of them inside the
# prefix's drive so that it can be moved into the scripts folder's place; and a symbolic link (Wine's
# stand-in for a junction) to a folder.
set -euo pipefail
suite=$1
mkdir -p "$suite/premade/open-to-all" "$suite/premade/link-target" "$WINEPREFIX/drive_c/premade-scripts"
for folder in "$suite/premade/open-to-all" "$suite/premade/link-target" "$WINEPREFIX/drive_c/premade-scripts"; do
  printf planted >"$folder/planted.aas"
done
chmod 0777 "$suite/premade/open-to-all" "$WINEPREFIX/drive_c/premade-scripts"
ln -sfn link-target "$suite/premade/linked"
