#!/bin/sh
# Answers help2man's --help and --version for the kiv program named by $KIV, marking up kiv's usage text as help2man
# reads it: the two usage lines as the synopsis, the filter list as a FILTERS section and each option line indented,
# so that the manual page sets every filter and every option as a tagged paragraph. The words are kiv's own.
set -eu
if [ "${1:-}" = --version ]; then
  exec "$KIV" --version
fi
"$KIV" --help | awk '
  /^usage: / { sub(/^usage: /, "Usage: "); print; next }
  /^ +kiv / { sub(/^ +/, "  or:  "); print; next }
  /^options:$/ { print "Options:"; next }
  /^-/ { print "  " $0; next }
  /^[a-z0-9]+  +[^ ]/ { if (!filters) { print "*Filters*"; filters = 1 } print "  " $0; next }
  { print }'
